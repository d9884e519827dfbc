#!/usr/bin/python3
"""dbus-intake: messages per second submitted through the automation interface on D-Bus,
beside the same load over TCP (intake-load).

    dbus-run-session -- /usr/bin/python3 bench/dbus-intake.py \
        --server build/release/src/VoxmitServer2 --intake-load build/release/bench/intake-load \
        [--clients 4] [--messages 500]

Starts the server in a temporary home on the session bus. Each D-Bus client is a process of
its own with its own bus connection and a VoxmitServerEx object: it logs on and, once all are
logged on, submits its messages one at a time, each after the MessageAcceptSuccess of the one
before (the shape of intake-load). Prints both figures; exit code 0 when every message was
accepted.
"""

import argparse
import multiprocessing
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def dbus_client(messages, ready, go, results):
    import dbus
    import voxmit_dbus as vx
    client = vx.AutomationClient()
    ex = client.create("VoxmitServerEx")
    ex.iface.Logon("", "dbus-intake")
    ex.wait_event("LogonSuccess", timeout=60)
    ex.set("CarrierType", 7)
    ex.set("CarrierSettings", "a,b,c")
    ex.set("PagerID", "100")
    ex.set("MessageText", "bench message")
    ready.release()
    go.wait()
    latencies = []
    for rid in range(1, messages + 1):
        sent = time.monotonic()
        ex.iface.SendMessage(dbus.Int32(rid))
        ex.wait_event("MessageAcceptSuccess", rid, timeout=60)
        latencies.append(time.monotonic() - sent)
    ex.release()
    results.put(latencies)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--intake-load", required=True)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--messages", type=int, default=500)
    args = parser.parse_args()

    home = tempfile.mkdtemp(prefix="voxmit-bench-")
    subprocess.run([args.server, "--create-database", "--home", home], check=True,
                   stdout=subprocess.DEVNULL)
    port = free_port()
    # No device serves the carrier: the figure is intake alone (store and accept).
    with open(os.path.join(home, "Settings.ini"), "w") as f:
        f.write(f"[Connections]\nPortNo={port}\n")
    os.makedirs(os.path.join(home, "run"))
    env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(home, "run"))
    out = open(os.path.join(home, "stdout.txt"), "w")
    server = subprocess.Popen([args.server, "--headless", "--home", home], env=env, stdout=out,
                              stderr=subprocess.STDOUT)
    try:
        import dbus
        bus = dbus.SessionBus(private=True)
        bus.set_exit_on_disconnect(False)
        deadline = time.monotonic() + 60
        while not bus.name_has_owner("VoxmitServer2.Server"):
            if time.monotonic() > deadline or server.poll() is not None:
                print("the server did not start", file=sys.stderr)
                return 1
            time.sleep(0.05)
        bus.close()

        ctx = multiprocessing.get_context("spawn")
        ready, go, results = ctx.Semaphore(0), ctx.Event(), ctx.Queue()
        procs = [ctx.Process(target=dbus_client, args=(args.messages, ready, go, results))
                 for _ in range(args.clients)]
        for p in procs:
            p.start()
        for _ in procs:
            ready.acquire()
        start = time.monotonic()
        go.set()
        latencies = sorted(x for _ in procs for x in results.get(timeout=600))
        elapsed = time.monotonic() - start
        for p in procs:
            p.join()
        accepted = len(latencies)
        total = args.clients * args.messages
        p50 = latencies[len(latencies) // 2] * 1000
        p99 = latencies[min(len(latencies) - 1, len(latencies) * 99 // 100)] * 1000
        print(f"D-Bus: {args.clients} clients, {accepted}/{total} accepted, "
              f"{accepted / elapsed:.1f} messages/s, acceptance latency p50 {p50:.3f} ms, "
              f"p99 {p99:.3f} ms")

        tcp = subprocess.run([args.intake_load, "--port", str(port), "--clients",
                              str(args.clients), "--messages", str(args.messages),
                              "--carrier-type", "7", "--settings", "a,b,c"],
                             capture_output=True, text=True)
        print("TCP:  " + tcp.stdout.strip().replace("\n", "\n      "))
        return 0 if accepted == total and tcp.returncode == 0 else 1
    finally:
        server.terminate()
        server.wait(60)
        out.close()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
