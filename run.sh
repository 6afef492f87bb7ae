#!/usr/bin/env bash
# Installs what is missing, builds into build/ and starts Velmora.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"

if [ ! -x build/velmora ]; then
    build/velmora-cli --list-adapters
    exit 0
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting Velmora on a virtual X server (Xvfb :99)." >&2
    exec xvfb-run -n 99 -s "-screen 0 1280x800x24" build/velmora "$@"
fi
exec build/velmora "$@"
