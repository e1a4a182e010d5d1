#!/usr/bin/env bash
# Installs the Debian packages that building and testing Pixkeep need, when
# any is missing. Usage: scripts/install-deps.sh [extra packages...]
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-svg-dev libxcb1-dev libxcb-xfixes0-dev libx11-dev libwayland-dev libwayland-bin libjpeg62-turbo-dev zlib1g-dev libfreetype-dev libfontconfig-dev fonts-dejavu-core fonts-liberation
  libgtest-dev libpng-dev libgif-dev libbenchmark-dev
  xvfb xclip xdotool trayer x11-utils imagemagick
  python3-gi gir1.2-gtk-3.0 python3-pyqt5 copyq gpaste-2 dbus-daemon dbus-bin
  dpkg-dev file lintian desktop-file-utils appstream xdg-user-dirs
  sway xwayland x11-xserver-utils wl-clipboard foot
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
