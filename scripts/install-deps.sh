#!/usr/bin/env bash
# Installs the Debian packages Pixkeep needs, when any is missing or not
# fully installed.
#
#   scripts/install-deps.sh [--test] [--dry-run] [extra packages...]
#
# Without --test: what building and running the program need (compiler,
# CMake, the libraries' development packages, fonts-liberation for the
# window and the stamp). With --test also what the tests, the Debian package
# check, the benchmarks and the fuzz targets use (Xvfb, sway, mutter, KWin, two
# clipboard managers, lintian, ImageMagick, ...). --dry-run prints the packages it
# would install and asks apt-get for a simulation, changing nothing.
set -euo pipefail

# Building and running.
run_packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-svg-dev libxcb1-dev libxcb-xfixes0-dev libx11-dev libwayland-dev libwayland-bin
  libjpeg62-turbo-dev zlib1g-dev libpng-dev libwebp-dev libfreetype-dev libfontconfig-dev
  fonts-liberation xdg-user-dirs
)
# The tests on top: unit-test and oracle libraries, X servers and desktop
# programs the end-to-end tests drive, the package tools.
test_packages=(
  libgtest-dev libgif-dev libbenchmark-dev
  xvfb xclip xdotool trayer x11-utils imagemagick webp
  python3-gi gir1.2-gtk-3.0 python3-pyqt5 copyq copyq-plugins diodon gpaste-2 xfce4-screenshooter dbus-daemon dbus-bin
  dpkg-dev file lintian desktop-file-utils appstream
  sway xwayland x11-xserver-utils wl-clipboard foot mutter kwin-wayland
)

with_tests=0 dry_run=0
extra=()
for a in "$@"; do
  case $a in
    --test) with_tests=1 ;;
    --dry-run) dry_run=1 ;;
    *) extra+=("$a") ;;
  esac
done
packages=("${run_packages[@]}")
[ $with_tests -eq 1 ] && packages+=("${test_packages[@]}")
packages+=(${extra[@]+"${extra[@]}"})

# dpkg's state of each package, as its abbreviation (dpkg-query(1)): the
# second letter is the state, the third an error flag. Installed (i), and
# installed with triggers awaited (W) or pending (t), are usable; unpacked (U)
# or half-configured (F) after an interrupted install need configuring;
# anything else (not installed, only configuration files left, half
# installed, or the reinstallation-required flag) needs apt-get.
missing=() unconfigured=()
for p in "${packages[@]}"; do
  state=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  case "${state:1:2}" in
    "i "|"W "|"t ") ;;
    "U "|"F ") unconfigured+=("$p") ;;
    *) missing+=("$p") ;;
  esac
done
if [ ${#missing[@]} -eq 0 ] && [ ${#unconfigured[@]} -eq 0 ]; then
  [ $dry_run -eq 0 ] || echo "Nothing to install."
  exit 0
fi

if [ $dry_run -eq 1 ]; then
  [ ${#unconfigured[@]} -eq 0 ] || echo "Would configure: ${unconfigured[*]}"
  [ ${#missing[@]} -eq 0 ] || echo "Would install: ${missing[*]}"
  if [ ${#missing[@]} -gt 0 ] && command -v apt-get >/dev/null; then
    apt-get -s -qq install --no-install-recommends "${missing[@]}" | grep '^Inst ' || true
  fi
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#unconfigured[@]} -gt 0 ]; then
  echo "Configuring: ${unconfigured[*]}"
  $sudo dpkg --configure -a
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
