#!/usr/bin/python3
"""Gives a headless mutter's seat a keyboard: without one, no Wayland client
may take the clipboard. Opens a remote-desktop session on mutter's own
D-Bus name (on the session bus it runs on), presses and releases a key in
it, says "keyboard", and keeps the session open until it is ended (the
session goes with its D-Bus connection).

    mutter_seat.py"""
from gi.repository import Gio, GLib

NAME = "org.gnome.Mutter.RemoteDesktop"
SHIFT_L = 0xFFE1


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)

    def proxy(path, interface):
        return Gio.DBusProxy.new_sync(bus, Gio.DBusProxyFlags.NONE, None, NAME, path, interface, None)

    remote = proxy("/org/gnome/Mutter/RemoteDesktop", NAME)
    path = remote.call_sync("CreateSession", None, Gio.DBusCallFlags.NONE, -1, None).unpack()[0]
    session = proxy(path, NAME + ".Session")
    session.call_sync("Start", None, Gio.DBusCallFlags.NONE, -1, None)
    for pressed in (True, False):
        session.call_sync("NotifyKeyboardKeysym", GLib.Variant("(ub)", (SHIFT_L, pressed)),
                          Gio.DBusCallFlags.NONE, -1, None)
    print("keyboard", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
