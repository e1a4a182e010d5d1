#!/usr/bin/python3
"""Puts a picture on the clipboard with Qt 5, as Qt programs copy pictures:
Qt offers it in several types and encodes it when asked. Says "owner" once
it owns the clipboard; ends after SECONDS.

    qt_owner.py FILE SECONDS"""
import sys

from PyQt5.QtCore import QTimer
from PyQt5.QtGui import QGuiApplication, QImage


def main():
    app = QGuiApplication(sys.argv[:1])
    image = QImage(sys.argv[1])
    if image.isNull():
        print("cannot read", sys.argv[1], flush=True)
        return 1
    app.clipboard().setImage(image)
    print("owner", flush=True)
    QTimer.singleShot(int(sys.argv[2]) * 1000, app.quit)
    return app.exec_()


if __name__ == "__main__":
    sys.exit(main())
