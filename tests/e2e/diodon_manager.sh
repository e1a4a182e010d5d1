#!/bin/sh
# Diodon, a GTK clipboard manager, for the end-to-end tests: with a home and
# settings of its own, on the session bus it is given (the test's own),
# keeping pictures in its history. When the clipboard is emptied it puts its
# last history entry back. Says "ready" once it holds its name on the bus;
# ends, and ends Diodon, when it gets SIGTERM.
#
#     diodon_manager.sh HOME
set -eu
home=$1
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || { echo "no session bus" >&2; exit 1; }
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache"
export GSETTINGS_BACKEND=keyfile
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
gsettings set net.launchpad.Diodon.clipboard add-images true
gsettings set net.launchpad.Diodon.clipboard keep-clipboard-content true

diodon=
trap 'kill $diodon 2>/dev/null; wait $diodon || true; exit 0' TERM INT
diodon &
diodon=$!
while ! dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:net.launchpad.Diodon 2>/dev/null | grep -q "boolean true"; do
  kill -0 $diodon || exit 1
  sleep 0.1
done
echo ready
wait $diodon
