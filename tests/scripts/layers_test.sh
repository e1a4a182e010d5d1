#!/usr/bin/env bash
# The folders are layers, lowest first: platform, config, raster, codecs,
# capture, ui. A source file includes headers of its own layer and of lower
# ones only, and only ui/, platform/qt and platform/wayland use Qt.
# Usage: layers_test.sh SOURCE_DIR
set -uo pipefail
cd "${1:?source directory}"
rank() {
  case "$1" in
    platform) echo 0 ;; config) echo 1 ;; raster) echo 2 ;; codecs) echo 3 ;; capture) echo 4 ;; ui) echo 5 ;;
    *) echo -1 ;;
  esac
}
faults=0
while IFS= read -r file; do
  top=${file%%/*}
  own=$(rank "$top")
  while IFS= read -r included; do
    layer=${included%%/*}
    r=$(rank "$layer")
    if [ "$r" -gt "$own" ]; then
      echo "$file includes $included: $layer is above $top"
      faults=$((faults + 1))
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
  case "$file" in
    ui/* | platform/qt/* | platform/wayland/*) ;;
    *)
      if grep -qE '^#include <Q[A-Za-z]*>' "$file"; then
        echo "$file uses Qt"
        faults=$((faults + 1))
      fi
      ;;
  esac
done < <(find platform config raster codecs capture ui -name '*.cpp' -o -name '*.h' | sort)
[ "$faults" -eq 0 ] && echo "every include goes to the same layer or a lower one"
exit $((faults > 0))
