#!/usr/bin/python3
"""A small client of the server's automation interface on D-Bus (python3-dbus).

As a module: AutomationClient creates VoxmitServer / VoxmitServerEx objects and records the
events (signals) each object sends to this client. As a program: logs on through a
VoxmitServerEx object and submits one message, printing every event:

    voxmit_dbus.py [--system-bus] [--guid GUID] CARRIER_TYPE SETTINGS PAGER TEXT
"""

import argparse
import sys
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

BUS_NAME = "VoxmitServer2.Server"
FACTORY_PATH = "/VoxmitServer2"
FACTORY = "VoxmitServer2.ClassFactory"
UNKNOWN = "VoxmitServer2.IUnknown"
SERVER = "VoxmitServer2.IVoxmitServer"
SERVER_EVENTS = "VoxmitServer2.IVoxmitServerEvents"
SERVER_EX = "VoxmitServer2.IVoxmitServerEx"
SERVER_EX_EVENTS = "VoxmitServer2.IVoxmitServerExEvents"
PROPERTIES = "org.freedesktop.DBus.Properties"

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)


def pump(seconds=0.0):
    """Dispatches what has arrived (for at least `seconds`)."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while True:
        while context.pending():
            context.iteration(False)
        if time.monotonic() >= deadline:
            return
        time.sleep(0.005)


def wait_until(predicate, timeout=10.0):
    """Dispatches events until predicate() holds; False when the deadline passes first."""
    deadline = time.monotonic() + timeout
    while True:
        pump()
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.005)


class AutomationObject:
    """One object made by the factory, with the events it sent to this client."""

    def __init__(self, bus, path, interface, events_interface):
        self.bus = bus
        self.path = path
        self.proxy = bus.get_object(BUS_NAME, path, introspect=False)
        self.iface = dbus.Interface(self.proxy, interface)
        self.interface = interface
        self.events = []  # (name, args) in arrival order
        self._match = bus.add_signal_receiver(
            self._on_signal, dbus_interface=events_interface, path=path,
            member_keyword="member")

    def _on_signal(self, *args, member=None):
        self.events.append((member, tuple(int(a) if isinstance(a, (dbus.Int32, dbus.Boolean))
                                          else str(a) for a in args)))

    def named(self, name):
        return [args for (member, args) in self.events if member == name]

    def wait_event(self, name, count=1, timeout=10.0):
        """The first `count` events called name; raises AssertionError on timeout."""
        if not wait_until(lambda: len(self.named(name)) >= count, timeout):
            raise AssertionError(f"no {name} event (after {timeout} s); events: {self.events}")
        return self.named(name)[:count]

    def get(self, prop):
        value = self.proxy.Get(self.interface, prop, dbus_interface=PROPERTIES)
        return bool(value) if isinstance(value, dbus.Boolean) else (
            int(value) if isinstance(value, dbus.Int32) else str(value))

    def set(self, prop, value):
        value = (dbus.Int32(value, variant_level=1) if isinstance(value, int)
                 else dbus.String(value, variant_level=1))
        self.proxy.Set(self.interface, prop, value, dbus_interface=PROPERTIES)

    def release(self):
        self._match.remove()
        self.proxy.Release(dbus_interface=UNKNOWN)


class AutomationClient:
    def __init__(self, bus=None):
        self.bus = bus if bus is not None else dbus.SessionBus(private=True)
        # libdbus would otherwise end the whole program when the connection is closed.
        self.bus.set_exit_on_disconnect(False)
        factory = self.bus.get_object(BUS_NAME, FACTORY_PATH, introspect=False)
        self.factory = dbus.Interface(factory, FACTORY)

    def create(self, class_name):
        path = str(self.factory.CreateObject(class_name))
        if "/VoxmitServerEx/" in path:
            return AutomationObject(self.bus, path, SERVER_EX, SERVER_EX_EVENTS)
        return AutomationObject(self.bus, path, SERVER, SERVER_EVENTS)

    def close(self):
        self.bus.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--system-bus", action="store_true")
    parser.add_argument("--guid", default="")
    parser.add_argument("carrier_type", type=int)
    parser.add_argument("settings")
    parser.add_argument("pager")
    parser.add_argument("text")
    args = parser.parse_args()
    bus = dbus.SystemBus(private=True) if args.system_bus else dbus.SessionBus(private=True)
    client = AutomationClient(bus)
    ex = client.create("VoxmitServerEx")
    ex.iface.Logon(args.guid, "voxmit_dbus.py")
    pump(0.2)
    if not ex.get("LogonProcessed") or ex.get("LogonError") != 0:
        print("logon failed:", ex.events)
        return 1
    ex.set("CarrierType", args.carrier_type)
    ex.set("CarrierSettings", args.settings)
    ex.set("PagerID", args.pager)
    ex.set("MessageText", args.text)
    ex.iface.SendMessage(dbus.Int32(1))
    done = wait_until(lambda: ex.named("MessageSendSuccess") or ex.named("MessageSendError")
                      or ex.named("MessageAcceptError"), timeout=120)
    for event in ex.events:
        print(*event)
    ex.release()
    return 0 if done else 1


if __name__ == "__main__":
    sys.exit(main())
