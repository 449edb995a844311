#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need.
# Idempotent: does nothing when every package is already present.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

# libmediainfo-dev needs the GnuTLS flavour of the curl headers, so curl comes as libcurl4-gnutls-dev.
PACKAGES=(
  cmake g++ ninja-build pkg-config
  qtbase5-dev qttools5-dev qttools5-dev-tools libqt5svg5-dev
  libcurl4-gnutls-dev libjsoncpp-dev
  libvlc-dev libvlccore-dev vlc-plugin-base vlc-plugin-video-output
  libmediainfo-dev libmediainfo0v5
  libavformat-dev libavcodec-dev libavutil-dev ffmpeg
  libcpp-httplib-dev libssl-dev
  libgtest-dev libgmock-dev
  xvfb xauth x11-apps imagemagick fonts-noto-cjk dbus locales
  xdg-utils libglib2.0-bin qttranslations5-l10n libxcb1-dev
  exfatprogs exfat-fuse fuse3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
