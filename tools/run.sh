#!/usr/bin/env bash
# Installs what building and running need, builds the program (not the
# tests) and starts it from its program folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh build run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quillpost -j"$(nproc)"
cd build/quillpost
# Under Wayland the windows need X11 (centring, the shaped window's place,
# staying on top): XWayland when the session has it.
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=xcb
fi
exec ./quillpost
