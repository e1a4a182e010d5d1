#!/usr/bin/env bash
# scripts/install-deps.sh against a made-up dpkg database: which packages it
# installs or configures for the run set and the test set, and how it reads
# every dpkg state. dpkg-query, dpkg, apt-get and sudo are stand-ins on PATH
# that log their arguments; nothing on the system is asked or changed.
set -euo pipefail
script=$(realpath "$(dirname "$0")/../../scripts/install-deps.sh")
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# dpkg-query -W -f=... PACKAGE: the state from $fake/status ("name abbrev"),
# else $fake/default; "-" or no state at all is a package dpkg does not know.
cat >"$fake/dpkg-query" <<'END'
#!/usr/bin/env bash
p=${!#}
s=$(awk -v p="$p" '$1 == p { print substr($0, length(p) + 2) }' "$FAKE/status")
[ -n "$s" ] || s=$(cat "$FAKE/default")
[ -n "$s" ] && [ "$s" != - ] || { echo "dpkg-query: no packages found matching $p" >&2; exit 1; }
printf '%s' "$s"
END
for tool in dpkg apt-get; do
  printf '#!/usr/bin/env bash\necho "%s $*" >>"$FAKE/log"\n' "$tool" >"$fake/$tool"
done
printf '#!/usr/bin/env bash\nexec "$@"\n' >"$fake/sudo"
chmod +x "$fake"/*

# Runs the script with a database of "name abbrev" lines and a default state
# for every other package; leaves the calls made in $calls.
run() {
  local default=$1 status=$2; shift 2
  printf '%s' "$default" >"$fake/default"
  printf '%s\n' "$status" >"$fake/status"
  : >"$fake/log"
  FAKE=$fake PATH="$fake:$PATH" bash "$script" "$@" >"$fake/out" 2>&1 || fail "exit status $? for $*: $(cat "$fake/out")"
  calls=$(cat "$fake/log")
}
# The package names apt-get was asked to install.
installed() { sed -n 's/^apt-get install -y -qq --no-install-recommends //p' <<<"$calls" | tr ' ' '\n'; }
has() { grep -qx -- "$2" <<<"$1"; }

build=(build-essential cmake pkg-config qt6-base-dev qt6-svg-dev libxcb1-dev libxcb-xfixes0-dev libx11-dev
       libwayland-dev libwayland-bin libjpeg62-turbo-dev zlib1g-dev libpng-dev libwebp-dev libfreetype-dev
       libfontconfig-dev)
tools=(libgtest-dev libgif-dev xvfb xclip xdotool trayer imagemagick webp python3-pyqt5 copyq gpaste-2 lintian
       desktop-file-utils appstream sway xwayland wl-clipboard foot mutter kwin-wayland dbus-daemon)

# A desktop that has everything but the build packages: the run set installs
# exactly those, and no test tool.
status=$(for p in "${build[@]}"; do echo "$p un "; done)
run "ii " "$status"
list=$(installed)
for p in "${build[@]}"; do has "$list" "$p" || fail "run set: $p missing from: $list"; done
[ "$(wc -l <<<"$list")" -eq ${#build[@]} ] || fail "run set installs more than the build packages: $list"
grep -q '^apt-get update' <<<"$calls" || fail "no apt-get update before installing"

# The same machine with only the build packages there: the run set installs
# nothing, the test set every tool.
status=$(for p in "${build[@]}" fonts-liberation xdg-user-dirs; do echo "$p ii "; done)
run "" "$status"
[ -z "$calls" ] || fail "run set with the build packages there: $calls"
run "" "$status" --test
list=$(installed)
for p in "${tools[@]}"; do has "$list" "$p" || fail "test set: $p missing from: $list"; done
for p in "${build[@]}"; do has "$list" "$p" && fail "test set reinstalls $p"; done
run "" "$status" --test --dry-run
grep -v '^apt-get -s ' <<<"$calls" | grep -q . && fail "a dry run called: $calls"
grep -q "^Would install: .*copyq" "$fake/out" || fail "dry run output: $(cat "$fake/out")"
run "" "$status" --dry-run extra-package
grep -qx "Would install: extra-package" "$fake/out" || fail "dry run with an extra package: $(cat "$fake/out")"

# Every dpkg state of one package, everything else installed.
while read -r abbrev expect; do
  abbrev=${abbrev//_/ }
  run "ii " "cmake $abbrev"
  list=$(installed)
  configured=no
  grep -qx 'dpkg --configure -a' <<<"$calls" && configured=yes
  got=none
  has "$list" cmake && got=install
  [ $configured = yes ] && got=configure
  [ $configured = yes ] && has "$list" cmake && got=both
  [ "$got" = "$expect" ] || fail "state '$abbrev': $expect expected, got $got ($calls)"
done <<'END'
ii_ none
hi_ none
it_ none
iW_ none
iU_ configure
iF_ configure
un_ install
rc_ install
iH_ install
iiR install
pn_ install
END
run "ii " "cmake -"
has "$(installed)" cmake || fail "a package dpkg does not know is not installed"

[ $failures -eq 0 ] && echo "all cases passed"
exit $((failures > 0))
