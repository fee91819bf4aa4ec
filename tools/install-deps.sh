#!/usr/bin/env bash
# Installs every Debian package Quillpost needs to build, run and test.
# Idempotent: apt skips what is already there.
set -euo pipefail
PACKAGES=(
  cmake g++ make pkg-config
  qt6-base-dev libfluidsynth-dev libasound2-dev timgm6mb-soundfont
  pulseaudio pulseaudio-utils
  fonts-ipafont-gothic
  openssl dbus dunst
  dovecot-pop3d dovecot-imapd
  xvfb xauth xdotool trayer imagemagick x11-utils libx11-dev libxext-dev
  clang
  dpkg-dev file desktop-file-utils
  lintian man-db
)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
