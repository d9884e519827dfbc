#!/usr/bin/python3
"""The automation interface of the built server, driven by a real D-Bus client.

Runs inside a private session bus (CTest starts it with dbus-run-session); the activation
test starts a bus of its own. VOXMIT_SERVER_EXE names the program; the client module is
tools/voxmit_dbus.py (VOXMIT_DBUS_CLIENT_DIR).
"""

import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

sys.path.insert(0, os.environ["VOXMIT_DBUS_CLIENT_DIR"])
import dbus  # noqa: E402
import voxmit_dbus as vx  # noqa: E402

EXE = os.environ["VOXMIT_SERVER_EXE"]
START_TIMEOUT = 60
with open(EXE, "rb") as exe_file:
    SANITIZED = b"__asan_init" in exe_file.read()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_home():
    home = tempfile.mkdtemp(prefix="voxmit-dbus-")
    subprocess.run([EXE, "--create-database", "--home", home], check=True,
                   stdout=subprocess.DEVNULL)
    with sqlite3.connect(os.path.join(home, "ServerData.db")) as db:
        # An IP network device: it serves carrier types 5 to 10. No modem exists.
        db.execute("INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '', 'net1')")
    with open(os.path.join(home, "Settings.ini"), "w") as f:
        f.write(f"[Connections]\nPortNo={free_port()}\n[Threads]\nSchedulerRequeryPeriod=300\n"
                "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n"
                "[Channels]\nMessageRetries=1\n")
    os.makedirs(os.path.join(home, "run"), mode=0o700)
    return home


def server_env(home):
    env = dict(os.environ)
    env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
    env["VOXMIT_TEST_CHANNELS"] = "5"  # carrier type 5 goes to the scripted test channel
    return env


def thread_count(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^Threads:\s+(\d+)", f.read(), re.M).group(1))


def process_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M).group(1))


class ServerFixture:
    """The server as a child process on the test's session bus."""

    def __init__(self):
        self.home = make_home()
        self.out = open(os.path.join(self.home, "stdout.txt"), "w+")
        self.proc = subprocess.Popen([EXE, "--headless", "--home", self.home],
                                     env=server_env(self.home), stdout=self.out,
                                     stderr=subprocess.STDOUT)
        bus = dbus.SessionBus(private=True)
        bus.set_exit_on_disconnect(False)
        ok = vx.wait_until(lambda: "VoxmitServer - Running" in self.stdout() and
                           bus.name_has_owner(vx.BUS_NAME), START_TIMEOUT)
        bus.close()
        if not ok:
            raise AssertionError("the server did not start: " + self.stdout())

    def stdout(self):
        with open(self.out.name) as f:
            return f.read()

    def stop(self):
        """Stops the server; its exit code (0 for a clean stop)."""
        if self.proc.poll() is None:
            self.proc.terminate()
        code = self.proc.wait(60)
        self.out.close()
        output = self.stdout()
        shutil.rmtree(self.home, ignore_errors=True)
        return code, output

    def sent_results(self, guid):
        """(ClientRecordID, SendConfirmed) of the client's recorded send results."""
        with sqlite3.connect(os.path.join(self.home, "ServerData.db")) as db:
            return db.execute("SELECT ClientRecordID, SendConfirmed FROM SentMessages "
                              "WHERE ClientGUID = ?", (guid,)).fetchall()

    def messages(self):
        with sqlite3.connect(os.path.join(self.home, "ServerData.db")) as db:
            return db.execute("SELECT ClientGUID, ClientRecordID FROM Messages").fetchall()


server = None


def setUpModule():
    global server
    server = ServerFixture()


def tearDownModule():
    code, output = server.stop()
    if code != 0:
        raise AssertionError(f"the server ended with {code}: {output[-2000:]}")


class AutomationTest(unittest.TestCase):
    def setUp(self):
        self.client = vx.AutomationClient()

    def tearDown(self):
        self.client.close()

    def logged_on_ex(self, guid=""):
        ex = self.client.create("VoxmitServerEx")
        ex.iface.Logon(guid, "test client")
        ex.wait_event("LogonSuccess")
        return ex

    def wait_clients(self, count):
        """Waits until the last count the tray tip showed is count."""
        text = "1 Client connected" if count == 1 else f"{count} Clients connected"

        def last_count():
            shown = re.findall(r"(?:\d+ Clients|1 Client) connected", server.stdout())
            return shown[-1].rstrip() if shown else None
        self.assertTrue(vx.wait_until(lambda: last_count() == text, 15),
                        f"tray tip never showed {text!r}: {server.stdout()[-300:]}")


class ExLogonTest(AutomationTest):
    def test_logon_outcomes(self):
        cases = [
            # (GUID given, event, its arguments, LogonError property)
            ("", "LogonSuccess", (), 0),
            ("  {0A1B2C3D-0000-4000-8000-00000000AB01}  ", "LogonSuccess", (), 0),
            ("abc", "LogonError", (7,), 7),
            ("{0A1B2C3D-0000-4000-8000-00000000AB0}", "LogonError", (7,), 7),
        ]
        for guid, event, args, error in cases:
            with self.subTest(guid=guid):
                ex = self.client.create("VoxmitServerEx")
                self.assertFalse(ex.get("LogonProcessed"))
                ex.iface.Logon(guid, "d")
                self.assertEqual(ex.wait_event(event), [args])
                self.assertTrue(ex.get("LogonProcessed"))
                self.assertEqual(ex.get("LogonError"), error)
                ex.release()

    def test_empty_guid_logs_on_with_a_generated_braced_upper_case_guid(self):
        ex = self.logged_on_ex("")
        ex.set("CarrierType", 5)
        ex.set("CarrierSettings", "a=1,b=2,c=3,d=4,e=5")
        ex.set("PagerID", "100")
        ex.set("MessageText", "generated")
        ex.iface.SendMessage(dbus.Int32(41))
        self.assertEqual(ex.wait_event("MessageAcceptSuccess"), [(41,)])
        guids = [g for (g, rid) in server.messages() if rid == 41]
        self.assertEqual(len(guids), 1)
        self.assertRegex(guids[0], r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                   r"[0-9A-F]{12}\}$")
        ex.release()

    def test_a_second_logon_of_the_same_object_is_ignored(self):
        ex = self.logged_on_ex()
        ex.iface.Logon("", "again")
        vx.pump(0.5)
        self.assertFalse(ex.get("LogonProcessed"))
        self.assertEqual(len(ex.named("LogonSuccess")), 1)
        ex.release()


class ExMessageTest(AutomationTest):
    def test_message_before_logon_is_refused(self):
        ex = self.client.create("VoxmitServerEx")
        ex.iface.SendMessage(dbus.Int32(7))
        self.assertEqual(ex.wait_event("MessageAcceptError"), [(7, 4)])
        self.assertEqual(ex.get("MessageError"), 4)
        self.assertTrue(ex.get("MessageProcessed"))
        ex.release()

    def test_carrier_settings_item_counts(self):
        ex = self.logged_on_ex()
        cases = [
            # (carrier type, settings, accepted)
            (1, "a,b,c,d", False),
            (1, "a,b,c,d,e,f", False),
            (0, "a,b,c,d,e", False),
            (11, "a,b,c,d,e", False),
            (7, "a,b,c", True),
            (2, "a,b,c,d,e,f", True),
            (10, ",,,,,,,,,,", True),
        ]
        for rid, (ctype, settings, accepted) in enumerate(cases, start=100):
            with self.subTest(ctype=ctype, settings=settings):
                ex.set("CarrierType", ctype)
                ex.set("CarrierSettings", settings)
                ex.set("PagerID", "1")
                ex.set("MessageText", "count")
                ex.iface.SendMessage(dbus.Int32(rid))
                if accepted:
                    self.assertIn((rid,), ex.wait_event("MessageAcceptSuccess",
                                                        len(ex.named("MessageAcceptSuccess")) + 1))
                else:
                    self.assertIn((rid, 2), ex.wait_event(
                        "MessageAcceptError", len(ex.named("MessageAcceptError")) + 1))
                    self.assertEqual(ex.get("MessageError"), 2)
        ex.release()

    def test_accepted_message_is_stored_and_its_send_result_reported(self):
        ex = self.logged_on_ex()
        self.assertEqual(ex.get("CarrierType"), 0)
        cases = [
            # (record ID, carrier type, settings, pager, result event, its arguments)
            (1, 5, "a=1,b=2,c=3,d=4,e=5", "200", "MessageSendSuccess", (1,)),
            (2, 5, "abandon=300,b,c,d,e", "300", "MessageSendError", (2, 1)),
            # A TAP carrier with no modem in the device pool.
            (3, 1, "COM1,2400,7,E,1", "400", "MessageSendError", (3, 8)),
        ]
        for rid, ctype, settings, pager, event, args in cases:
            ex.set("CarrierType", ctype)
            ex.set("CarrierSettings", settings)
            ex.set("PagerID", pager)
            ex.set("MessageText", "hello " + pager)
            self.assertEqual(ex.get("CarrierSettings"), settings)
            ex.iface.SendMessage(dbus.Int32(rid))
        self.assertEqual(sorted(ex.wait_event("MessageAcceptSuccess", 3)), [(1,), (2,), (3,)])
        self.assertEqual(ex.get("MessageError"), 0)
        vx.wait_until(lambda: len(ex.named("MessageSendSuccess")) +
                      len(ex.named("MessageSendError")) >= 3, 60)
        for rid, _, _, _, event, args in cases:
            self.assertIn(args, ex.named(event), (rid, ex.events))
        ex.release()

    def test_a_result_that_comes_after_release_reaches_the_next_logon(self):
        guid = "{3A1B2C3D-0000-4000-8000-00000000FF01}"
        ex = self.logged_on_ex(guid)
        ex.set("CarrierType", 5)
        ex.set("CarrierSettings", "delay=1500,b,c,d,e")
        ex.set("PagerID", "500")
        ex.set("MessageText", "slow")
        ex.iface.SendMessage(dbus.Int32(77))
        ex.wait_event("MessageAcceptSuccess")
        ex.release()
        self.wait_clients(0)
        # The send ends while no session of the GUID is logged on: the result waits in the store.
        self.assertTrue(vx.wait_until(lambda: server.sent_results(guid) == [(77, 0)], 30),
                        server.sent_results(guid))
        later = self.logged_on_ex(guid)
        self.assertEqual(later.wait_event("MessageSendSuccess", timeout=30), [(77,)])
        later.release()

    def test_frame_markers_in_a_value_are_refused(self):
        ex = self.logged_on_ex()
        ex.set("CarrierType", 5)
        ex.set("CarrierSettings", "a,b,c,d,e")
        ex.set("PagerID", "1")
        ex.set("MessageText", "cut\r\v\rhere")
        ex.iface.SendMessage(dbus.Int32(9))
        self.assertEqual(ex.wait_event("MessageAcceptError"), [(9, 1)])
        ex.release()


class VoxmitServerTest(AutomationTest):
    def test_protocol_text_in_replies_out(self):
        obj = self.client.create("VoxmitServer2.VoxmitServer")
        self.assertTrue(obj.get("Running"))
        obj.iface.ReportClientHostName("host-a")
        obj.iface.ReportClientIpAddress("127.0.0.9")
        guid = "{5E1B2C3D-0000-4000-8000-00000000CC01}"
        obj.iface.SendMessage(f'\r\n\rLOGON,{guid},"x"\r\v\r')
        self.assertEqual(obj.wait_event("ReplyMessage"), [("\r\n\rLOGON_OK\r\v\r",)])
        vx.pump(0.3)
        self.assertEqual(len(obj.named("ReplyMessage")), 1)
        self.wait_clients(1)
        obj.iface.SendMessage('\r\n\rMESSAGE,5,5,"a,b",77,"raw text"\r\v\r')
        replies = obj.wait_event("ReplyMessage", 2)
        self.assertTrue(replies[1][0].startswith('\r\n\rMESSAGE_ACCEPTED,"5,'), replies)
        obj.release()
        self.wait_clients(0)

    def test_a_wrong_logon_frame_is_denied_and_closed(self):
        obj = self.client.create("{b5f666be-a88f-40c8-85d2-57d8ca96d53a}")
        obj.iface.SendMessage("\r\n\rLOGON\r\v\r")
        self.assertIn("LOGON_DENIED", obj.wait_event("ReplyMessage")[0][0])
        obj.wait_event("CloseConnectionRequest")
        obj.release()


class LifetimeTest(AutomationTest):
    def test_second_logon_with_the_same_guid_closes_the_older_object(self):
        guid = "{7E1B2C3D-0000-4000-8000-00000000DD01}"
        other = vx.AutomationClient()
        older = self.logged_on_ex(guid)
        newer = other.create("VoxmitServerEx")
        newer.iface.Logon(guid, "newer")
        newer.wait_event("LogonSuccess")
        older.wait_event("CloseConnectionRequest")
        self.assertEqual(newer.named("CloseConnectionRequest"), [])
        self.wait_clients(1)
        # The older object's session is gone: what it sends now is refused, not lost.
        older.iface.SendMessage(dbus.Int32(5))
        self.assertEqual(older.wait_event("MessageAcceptError"), [(5, 4)])
        older.release()
        newer.release()
        other.close()
        self.wait_clients(0)

    def test_a_client_that_leaves_the_bus_leaves_nothing_behind(self):
        script = textwrap.dedent(f"""
            import sys; sys.path.insert(0, {os.environ['VOXMIT_DBUS_CLIENT_DIR']!r})
            import os, voxmit_dbus as vx
            c = vx.AutomationClient()
            for g in ("{{9E1B2C3D-0000-4000-8000-00000000EE01}}", ""):
                ex = c.create("VoxmitServerEx"); ex.iface.Logon(g, "leaving")
                ex.wait_event("LogonSuccess")
            c.create("VoxmitServer2.VoxmitServer")
            print("ready", flush=True)
            os._exit(0)
            """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=60)
        self.assertIn("ready", out.stdout, out.stderr)
        self.wait_clients(0)

    def test_bad_calls_are_errors(self):
        ex = self.client.create("VoxmitServerEx")
        calls = [
            ("unknown class", lambda: self.client.create("NoSuch.Class"),
             "VoxmitServer2.Error.ClassNotRegistered"),
            ("unknown method", lambda: ex.proxy.Explode(dbus_interface=vx.SERVER_EX),
             "org.freedesktop.DBus.Error.UnknownMethod"),
            ("wrong argument type", lambda: ex.proxy.SendMessage("x", dbus_interface=vx.SERVER_EX),
             "org.freedesktop.DBus.Error.InvalidArgs"),
            ("missing argument", lambda: ex.proxy.Logon("only one", dbus_interface=vx.SERVER_EX),
             "org.freedesktop.DBus.Error.InvalidArgs"),
            ("read-only property", lambda: ex.set("LogonError", 3),
             "org.freedesktop.DBus.Error"),
        ]
        for name, call, error in calls:
            with self.subTest(name):
                with self.assertRaises(dbus.DBusException) as caught:
                    call()
                self.assertTrue(caught.exception.get_dbus_name().startswith(error),
                                caught.exception.get_dbus_name())
        ex.release()
        with self.assertRaises(dbus.DBusException):
            ex.release()
        with self.assertRaises(dbus.DBusException):
            ex.iface.Logon("", "after release")

    def test_thousands_of_create_release_cycles_leave_nothing_behind(self):
        pid = server.proc.pid
        # Warm up, so that the figures below compare like with like.
        for _ in range(50):
            self.client.create("VoxmitServerEx").release()
        threads_before = thread_count(pid)
        rss_before = rss_kb(pid)
        for i in range(2000):
            obj = self.client.create("VoxmitServerEx" if i % 2 else "VoxmitServer2.VoxmitServer")
            obj.release()
        for i in range(100):
            ex = self.client.create("VoxmitServerEx")
            ex.iface.Logon("", "cycle")
            ex.wait_event("LogonSuccess")
            ex.release()
        self.wait_clients(0)
        self.assertTrue(vx.wait_until(lambda: thread_count(pid) <= threads_before, 15),
                        (thread_count(pid), threads_before))
        # Growth beyond allocator slack would mean every cycle leaves something behind. An
        # AddressSanitizer build keeps freed memory in quarantine, so there the leak check at
        # the server's exit (tearDownModule wants exit code 0) stands in for this figure.
        if not SANITIZED:
            self.assertLess(rss_kb(pid) - rss_before, 8 * 1024)


class StopStartTest(AutomationTest):
    def test_logon_while_stopped_and_start_stop_through_the_object(self):
        ex = self.client.create("VoxmitServerEx")
        ex.iface.Stop()
        self.assertTrue(vx.wait_until(lambda: not ex.get("Active"), 30))
        ex.iface.Logon("", "stopped")
        self.assertEqual(ex.wait_event("LogonError"), [(6,)])
        self.assertTrue(ex.get("LogonProcessed"))
        raw = self.client.create("VoxmitServer2.VoxmitServer")
        with self.assertRaises(dbus.DBusException) as caught:
            raw.iface.SendMessage('\r\n\rLOGON,{5E1B2C3D-0000-4000-8000-00000000CC09},""\r\v\r')
        self.assertEqual(caught.exception.get_dbus_name(), "VoxmitServer2.Error.ServerNotActive")
        raw.iface.Start()
        self.assertTrue(vx.wait_until(lambda: raw.get("Running"), 60))
        ex.iface.Logon("", "started")
        ex.wait_event("LogonSuccess")
        ex.release()
        raw.release()

    def test_a_stop_closes_logged_on_objects(self):
        ex = self.logged_on_ex()
        ex.iface.Stop()
        ex.wait_event("CloseConnectionRequest", timeout=30)
        self.assertTrue(vx.wait_until(lambda: not ex.get("Active"), 30))
        ex.iface.Start()
        self.assertTrue(vx.wait_until(lambda: ex.get("Active"), 60))
        ex.iface.SendMessage(dbus.Int32(3))
        self.assertEqual(ex.wait_event("MessageAcceptError"), [(3, 4)])
        ex.iface.Logon("", "again")
        ex.wait_event("LogonSuccess", 2)
        ex.release()


class RegistrationTest(unittest.TestCase):
    def test_switch_forms_install_and_remove_the_service_file(self):
        home = make_home()
        data = tempfile.mkdtemp(prefix="voxmit-xdg-")
        env = dict(os.environ, XDG_DATA_HOME=data)
        service = os.path.join(data, "dbus-1", "services", "VoxmitServer2.Server.service")
        try:
            for reg, unreg in [("--regserver", "--unregserver"), ("/RegServer", "/UnregServer"),
                               ("-REGSERVER", "-UNREGSERVER")]:
                with self.subTest(reg):
                    subprocess.run([EXE, reg, "--home", home], env=env, check=True,
                                   capture_output=True)
                    with open(service) as f:
                        text = f.read()
                    self.assertIn("Name=VoxmitServer2.Server\n", text)
                    self.assertIn(f"--embedding --home '{home}'", text)
                    subprocess.run([EXE, unreg, "--home", home], env=env, check=True,
                                   capture_output=True)
                    self.assertFalse(os.path.exists(service))
        finally:
            shutil.rmtree(home, ignore_errors=True)
            shutil.rmtree(data, ignore_errors=True)

    def test_releasing_the_first_object_of_an_activated_process_ends_it(self):
        home = make_home()
        data = tempfile.mkdtemp(prefix="voxmit-xdg-")
        env = server_env(home)
        env["XDG_DATA_HOME"] = data
        subprocess.run([EXE, "--regserver", "--home", home], env=env, check=True,
                       capture_output=True)
        daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                  env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True)
        try:
            address = daemon.stdout.readline().strip()
            bus = dbus.bus.BusConnection(address)
            client = vx.AutomationClient(bus)  # the call starts the server
            first = client.create("VoxmitServerEx")
            second = client.create("VoxmitServerEx")
            pid = int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                        "s", (vx.BUS_NAME,)))
            self.assertTrue(vx.wait_until(lambda: second.get("Active"), START_TIMEOUT))
            second.release()  # not the first: the process stays
            vx.pump(0.5)
            self.assertTrue(bus.name_has_owner(vx.BUS_NAME))
            third = client.create("VoxmitServerEx")
            first.release()
            self.assertTrue(vx.wait_until(lambda: not process_alive(pid), 60),
                            "the activated server did not end")
            self.assertFalse(bus.name_has_owner(vx.BUS_NAME))
            del third
            bus.close()
        finally:
            daemon.terminate()
            daemon.wait(30)
            daemon.stdout.close()
            shutil.rmtree(home, ignore_errors=True)
            shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
