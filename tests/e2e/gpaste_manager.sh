#!/bin/sh
# GPaste, the clipboard manager of GNOME, for the end-to-end tests: with a
# home and settings of its own, on the session bus it is given (the test's
# own), keeping pictures in its history. Like every manager that keeps the
# clipboard's content, it takes each new picture over and puts its last
# entry back when the clipboard is emptied. Says "ready" once it holds its
# name on the bus; ends, and ends GPaste, when it gets SIGTERM.
#
#     gpaste_manager.sh HOME
set -eu
home=$1
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || { echo "no session bus" >&2; exit 1; }
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache"
export GSETTINGS_BACKEND=keyfile
mkdir -p "$XDG_CONFIG_HOME/glib-2.0/settings"
printf '[org/gnome/GPaste]\nimages-support=true\ntrack-changes=true\n' >"$XDG_CONFIG_HOME/glib-2.0/settings/keyfile"

gpaste=
trap 'kill $gpaste 2>/dev/null; wait $gpaste || true; exit 0' TERM INT
/usr/libexec/gpaste/gpaste-daemon &
gpaste=$!
# Ready once it holds its name on the bus (asking for the name does not
# start another one).
while ! dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.gnome.GPaste 2>/dev/null | grep -q "boolean true"; do
  kill -0 $gpaste || exit 1
  sleep 0.1
done
echo ready
wait $gpaste
