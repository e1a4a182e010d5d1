#!/bin/sh
# GPaste, the clipboard manager of GNOME, for the end-to-end tests: with a
# home, settings and a session bus of its own, keeping pictures in its
# history. Like every manager that keeps the clipboard's content, it takes
# each new picture over and puts its last entry back when the clipboard is
# emptied. Says "ready" once it runs; ends when it gets SIGTERM.
#
#     gpaste_manager.sh HOME
set -eu
home=$1
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache"
export GSETTINGS_BACKEND=keyfile
mkdir -p "$XDG_CONFIG_HOME/glib-2.0/settings"
printf '[org/gnome/GPaste]\nimages-support=true\ntrack-changes=true\n' >"$XDG_CONFIG_HOME/glib-2.0/settings/keyfile"

bus=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS="$(echo "$bus" | sed -n 1p)"
bus_pid=$(echo "$bus" | sed -n 2p)
gpaste=
trap 'kill $gpaste $bus_pid 2>/dev/null; exit 0' TERM INT
trap 'kill $gpaste $bus_pid 2>/dev/null' EXIT

/usr/libexec/gpaste/gpaste-daemon &
gpaste=$!
# Ready once it holds its name on the bus (asking for the name does not start another one).
while ! dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.gnome.GPaste 2>/dev/null | grep -q "boolean true"; do
  kill -0 $gpaste || exit 1
  sleep 0.1
done
echo ready
wait $gpaste
