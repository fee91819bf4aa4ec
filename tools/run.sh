#!/usr/bin/env bash
# Installs dependencies, builds Quillpost and starts it from its program folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build/quillpost
exec ./quillpost
