#!/usr/bin/env bash
# Installs the Debian packages Quillpost needs, by group:
#   build  compiler, CMake, Qt 6 and FluidSynth headers
#   run    the SoundFont the tune plays with, a Japanese font and Qt's own
#          translations (the file dialog in Japanese)
#   package what the Debian package step needs besides build: dpkg-shlibdeps
#          (dpkg-dev) and file, which find the libraries the package depends on
#   demo   Dovecot (POP3 and IMAP) and openssl for tools/demo/try-it.sh
#   test   what only the test suite uses: Xvfb and X tools, a tray, PulseAudio,
#          clang, lintian, appstream and the other package checkers
# Usage: tools/install-deps.sh [GROUP...]   (no group: all of them)
# Idempotent: only what is missing is installed, with sudo unless run as root;
# it says what it installs before it asks.
set -euo pipefail
declare -A GROUPS_OF=(
  [build]="cmake g++ make pkg-config qt6-base-dev qt6-networkauth-dev qtkeychain-qt6-dev libfluidsynth-dev libasound2-dev libx11-dev"
  [run]="timgm6mb-soundfont fonts-ipafont-gothic qt6-translations-l10n"
  [package]="dpkg-dev file"
  [demo]="dovecot-pop3d dovecot-imapd openssl"
  [test]="pulseaudio pulseaudio-utils dbus gnome-keyring dunst xvfb xauth xdotool trayer imagemagick x11-utils libxext-dev
          clang dpkg-dev file desktop-file-utils appstream lintian man-db"
)
groups=("$@")
[ "${#groups[@]}" -gt 0 ] || groups=(build run package demo test)
PACKAGES=()
for g in "${groups[@]}"; do
  [ -n "${GROUPS_OF[$g]:-}" ] || { echo "install-deps: unknown group '$g' (build, run, package, demo, test)" >&2; exit 2; }
  read -r -a more <<<"$(echo ${GROUPS_OF[$g]})"
  PACKAGES+=("${more[@]}")
done
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${#missing[@]} Debian package(s) with ${SUDO:+sudo }apt-get (and what they need): ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
