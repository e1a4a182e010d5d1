#!/usr/bin/python3
"""Puts a picture on the clipboard with GTK 3, as GTK programs copy pictures:
GTK offers it in several types, encodes it when asked, and hands anything
larger than 256 KiB over in INCR chunks. Says "owner" once it owns the
clipboard; ends after SECONDS.

With "window" it shows a window and copies once that has the keyboard
focus, as a program on a Wayland desktop does (there only a focused window
may take the clipboard); with GDK_BACKEND=wayland it is a native window.

    gtk_owner.py FILE SECONDS [window]"""
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GdkPixbuf, GLib, Gtk  # noqa: E402


def main():
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(sys.argv[1])

    def copy(*_):
        Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD).set_image(pixbuf)
        print("owner", flush=True)
        return False

    if sys.argv[3:] == ["window"]:
        window = Gtk.Window(title="gtk_owner")
        window.set_default_size(200, 100)

        def focused(*_):
            # Once: the window may get the focus again later.
            window.disconnect(handler)
            return copy()

        handler = window.connect("focus-in-event", focused)
        window.show_all()
    else:
        copy()
    GLib.timeout_add_seconds(int(sys.argv[2]), Gtk.main_quit)
    Gtk.main()


if __name__ == "__main__":
    main()
