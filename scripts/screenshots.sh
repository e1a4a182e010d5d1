#!/bin/bash
# Screenshots of the window (English, German), the tray menu and the paused icon.
# Usage: scripts/screenshots.sh [BUILD_DIR]; needs Xvfb, trayer, xdotool and ImageMagick. Display :87.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd); BIN=${1:-$ROOT/build}/ui
DOCS=$ROOT/docs
W=$(mktemp -d); mkdir -p $W/xdg $W/cfg; chmod 700 $W/xdg
export DISPLAY=:87 XDG_RUNTIME_DIR=$W/xdg XDG_CONFIG_HOME=$W/cfg
Xvfb :87 -screen 0 640x480x24 >/dev/null 2>&1 & XPID=$!
sleep 1

shoot() { # lang outfile
  rm -rf $W/app; mkdir -p $W/app; cp $BIN/pixkeep $BIN/*.ini $W/app/
  [ -n "$1" ] && printf '[Language]\nLangFile=%s\n' "$W/app/$1" > $W/app/pixkeep.ini
  (cd $W/app && exec ./pixkeep >/dev/null 2>&1) & P=$!
  for i in $(seq 50); do id=$(xdotool search --pid $P --onlyvisible 2>/dev/null | head -1); [ -n "$id" ] && break; sleep 0.2; done
  sleep 1; import -window "$id" "$2"
  kill $P; wait $P 2>/dev/null
}
shoot "" $DOCS/window-collapsed.png
shoot deutsch.ini $DOCS/window-collapsed-deutsch.png
# The tray menu and the paused icon, under trayer.
trayer --edge top --align right --widthtype request --height 24 --SetDockType false >/dev/null 2>&1 & T=$!
sleep 1
rm -rf $W/app; mkdir -p $W/app; cp $BIN/pixkeep $BIN/*.ini $W/app/
(cd $W/app && exec ./pixkeep -hide >/dev/null 2>&1) & P=$!
sleep 3
# The icon is at the right end of the panel at the top.
xdotool mousemove 628 12 click 3; sleep 1
import -window root -crop 200x130+440+0 $DOCS/tray-menu.png
xdotool key p; sleep 1
xdotool mousemove 300 300; sleep 0.5
import -window root -crop 28x24+612+0 png:- | convert png:- -filter point -resize 400% $DOCS/tray-paused.png
kill $P; wait $P 2>/dev/null; kill $T; kill $XPID
rm -rf "$W"
