#!/usr/bin/env python3
"""A GeoClue 2 stand-in on the bus DBUS_SYSTEM_BUS_ADDRESS names: what Qt Positioning's geoclue2
back-end calls. Usage: geoclue_standin.py MODE [LAT LON ACCURACY], MODE one of
  fix          Start answers, then LocationUpdated announces one Location object
  deny-client  GetClient/CreateClient fail with AccessDenied (the agent refused the program)
  deny-start   Start fails with AccessDenied
  silent       Start answers and no location ever comes
Each call the client makes is one line on standard output ("Start", "DesktopId=velmomac", ...),
after "READY" once the name is owned."""

import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.GeoClue2"
ROOT = "/org/freedesktop/GeoClue2"
PROPS = "org.freedesktop.DBus.Properties"
DENIED = "org.freedesktop.DBus.Error.AccessDenied"


def say(line):
    print(line, flush=True)


class Denied(dbus.DBusException):
    _dbus_error_name = DENIED


class PropertyObject(dbus.service.Object):
    """An object whose properties are read and written through org.freedesktop.DBus.Properties."""

    def __init__(self, bus, path, props, writable=()):
        super().__init__(bus, path)
        self.props, self.writable = props, set(writable)

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if name not in self.props:
            raise dbus.exceptions.DBusException("no property " + name,
                                                name="org.freedesktop.DBus.Error.UnknownProperty")
        return self.props[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.props, signature="sv")

    @dbus.service.method(PROPS, in_signature="ssv")
    def Set(self, interface, name, value):
        if name not in self.writable:
            raise dbus.exceptions.DBusException("read-only " + name,
                                                name="org.freedesktop.DBus.Error.PropertyReadOnly")
        self.props[name] = value
        say("%s=%s" % (name, value))


class Location(PropertyObject):
    def __init__(self, bus, path, lat, lon, accuracy):
        now = time.time()
        super().__init__(bus, path, {
            "Latitude": dbus.Double(lat),
            "Longitude": dbus.Double(lon),
            "Accuracy": dbus.Double(accuracy),
            "Altitude": dbus.Double(-1.7976931348623157e308),  # GeoClue's "unknown"
            "Speed": dbus.Double(-1.0),
            "Heading": dbus.Double(-1.0),
            "Description": dbus.String(""),
            "Timestamp": dbus.Struct((dbus.UInt64(int(now)), dbus.UInt64(int(now % 1 * 1e6))), signature="tt"),
        })


class Client(PropertyObject):
    def __init__(self, bus, path, mode, fix):
        super().__init__(bus, path, {
            "Location": dbus.ObjectPath("/"),
            "DistanceThreshold": dbus.UInt32(0),
            "TimeThreshold": dbus.UInt32(0),
            "DesktopId": dbus.String(""),
            "RequestedAccuracyLevel": dbus.UInt32(0),
            "Active": dbus.Boolean(False),
        }, writable=("DistanceThreshold", "TimeThreshold", "DesktopId", "RequestedAccuracyLevel"))
        self.bus, self.mode, self.fix, self.location = bus, mode, fix, None

    @dbus.service.method("org.freedesktop.GeoClue2.Client")
    def Start(self):
        say("Start")
        if self.mode == "deny-start":
            raise Denied("the agent refused " + str(self.props["DesktopId"]))
        self.props["Active"] = dbus.Boolean(True)
        if self.mode == "fix" and self.location is None:
            GLib.timeout_add(50, self.announce)

    @dbus.service.method("org.freedesktop.GeoClue2.Client")
    def Stop(self):
        say("Stop")
        self.props["Active"] = dbus.Boolean(False)

    @dbus.service.signal("org.freedesktop.GeoClue2.Client", signature="oo")
    def LocationUpdated(self, old, new):
        pass

    def announce(self):
        path = str(self.__dbus_object_path__) + "/Location/0"
        self.location = Location(self.bus, path, *self.fix)
        self.props["Location"] = dbus.ObjectPath(path)
        self.LocationUpdated(dbus.ObjectPath("/"), dbus.ObjectPath(path))
        say("LocationUpdated")
        return False


class Manager(PropertyObject):
    def __init__(self, bus, mode, fix):
        super().__init__(bus, ROOT + "/Manager", {
            "InUse": dbus.Boolean(False),
            "AvailableAccuracyLevel": dbus.UInt32(8),
        })
        self.bus, self.mode, self.fix, self.clients = bus, mode, fix, []

    def client(self):
        say("GetClient")
        if self.mode == "deny-client":
            raise Denied("no client for this program")
        client = Client(self.bus, "%s/Client/%d" % (ROOT, len(self.clients) + 1), self.mode, self.fix)
        self.clients.append(client)
        return dbus.ObjectPath(client.__dbus_object_path__)

    @dbus.service.method("org.freedesktop.GeoClue2.Manager", out_signature="o")
    def GetClient(self):
        return self.client()

    @dbus.service.method("org.freedesktop.GeoClue2.Manager", out_signature="o")
    def CreateClient(self):
        return self.client()


def main():
    mode = sys.argv[1]
    fix = tuple(float(v) for v in sys.argv[2:5]) if mode == "fix" else None
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    manager = Manager(bus, mode, fix)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    say("READY")
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    loop.run()
    del name, manager


if __name__ == "__main__":
    main()
