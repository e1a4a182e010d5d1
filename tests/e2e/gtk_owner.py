#!/usr/bin/python3
"""Puts a picture on the clipboard with GTK 3, as GTK programs copy pictures:
GTK offers it in several types, encodes it when asked, and hands anything
larger than 256 KiB over in INCR chunks. Says "owner" once it owns the
clipboard; ends after SECONDS.

    gtk_owner.py FILE SECONDS"""
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GdkPixbuf, GLib, Gtk  # noqa: E402


def main():
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(sys.argv[1])
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
    clipboard.set_image(pixbuf)
    print("owner", flush=True)
    GLib.timeout_add_seconds(int(sys.argv[2]), Gtk.main_quit)
    Gtk.main()


if __name__ == "__main__":
    main()
