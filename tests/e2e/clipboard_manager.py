#!/usr/bin/python3
"""A clipboard manager for the end-to-end tests, written with Qt 5 as desktop
clipboard managers are: it keeps the last picture on the clipboard and puts
it back as soon as the clipboard is empty.

    clipboard_manager.py SECONDS FILE...

It copies the first FILE at once and the next one at every SIGUSR1 (as when
the user picks an entry of its history), and tells on stdout what it does:
"owner" (it copied a picture), "request image/png" (somebody reads its
picture), "restored" (it put its picture back on the empty clipboard). It
ends after SECONDS."""
import ctypes
import signal
import sys

from PyQt5.QtCore import QBuffer, QByteArray, QIODevice, QMimeData, QTimer
from PyQt5.QtGui import QGuiApplication, QImage


def say(line):
    print(line, flush=True)


class Owner:
    """Who owns the clipboard, asked of the X server itself: Qt 5 takes a
    clipboard emptied by another program for its own clear and goes on
    believing that it owns it."""

    def __init__(self):
        x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XGetSelectionOwner.restype = ctypes.c_ulong
        x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11 = x11
        self.display = x11.XOpenDisplay(None)
        self.clipboard = x11.XInternAtom(self.display, b"CLIPBOARD", 0)

    def __call__(self):
        return self.x11.XGetSelectionOwner(self.display, self.clipboard)


class Picture(QMimeData):
    """A picture offered as PNG, encoded when somebody asks for it."""

    def __init__(self, image):
        super().__init__()
        self.image = image

    def formats(self):
        return ["image/png"]

    def hasFormat(self, mime):
        return mime == "image/png"

    def retrieveData(self, mime, kind):
        if mime != "image/png":
            return None
        say("request image/png")
        data = QByteArray()
        buffer = QBuffer(data)
        buffer.open(QIODevice.WriteOnly)
        self.image.save(buffer, "PNG")
        return data


def main():
    app = QGuiApplication(sys.argv[:1])
    seconds, files = int(sys.argv[1]), sys.argv[2:]
    clipboard = app.clipboard()
    owner = Owner()
    state = {"last": None, "next": 0, "mine": 0, "setting": False}

    def offer(image, line):
        state["last"] = image
        state["setting"] = True  # Qt tells of its own change at once
        clipboard.setMimeData(Picture(image))
        state["setting"] = False
        state["mine"] = owner()
        say(line)

    def copy_next():
        if state["next"] < len(files):
            offer(QImage(files[state["next"]]), "owner")
            state["next"] += 1

    def changed():
        if state["setting"]:
            return
        now = owner()
        if now == state["mine"] and now:
            return
        if now:
            # Another program copied something: a picture goes into the history.
            data = clipboard.mimeData()
            if data is not None and "image/png" in data.formats():
                image = QImage.fromData(data.data("image/png"), "PNG")
                if not image.isNull():
                    state["last"] = image
            state["mine"] = -1  # looked at
        elif state["last"] is not None:
            offer(state["last"], "restored")

    clipboard.dataChanged.connect(changed)
    pending = {"copy": False}
    signal.signal(signal.SIGUSR1, lambda *_: pending.update(copy=True))
    # Python handles signals only while it runs: look every few milliseconds.
    poll = QTimer()
    def look():
        if pending["copy"]:
            pending["copy"] = False
            copy_next()
        elif not owner():
            changed()

    poll.timeout.connect(look)
    poll.start(20)
    QTimer.singleShot(seconds * 1000, app.quit)
    copy_next()
    return app.exec_()


if __name__ == "__main__":
    sys.exit(main())
