#!/usr/bin/env bash
# Installs the Debian packages the station needs to build, run and test. Idempotent: does
# nothing when everything is present; runs apt-get update only when something is missing.
set -euo pipefail
packages=(
  cmake ninja-build pkg-config g++ clang ccache
  qt6-base-dev libsqlite3-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libpng-dev zlib1g-dev libtiff-dev
  libvips-dev libvips-tools fonts-liberation2
  libmicrohttpd-dev libqrencode-dev chromium libgphoto2-dev gphoto2
  libexiv2-dev
  libcups2-dev cups-daemon cups-client cups-ipp-utils avahi-daemon dbus-daemon util-linux
  libxxhash-dev xxhash rclone
  libgtest-dev libgmock-dev libbenchmark-dev
  libimage-exiftool-perl libjpeg-turbo-progs
  xvfb python3 dosfstools universal-ctags
  librsvg2-bin dpkg-dev file desktop-file-utils appstream man-db
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
