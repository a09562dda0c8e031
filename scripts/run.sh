#!/usr/bin/env bash
# Installs what is needed, builds, starts the simulated device on 127.0.0.1:5000 and opens the
# kestrel window against it. Press Start in the window to read the device.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target kestrel kestrel-devsim

bin=build/default/src
# Seed the settings beside the executable for the demo, only when there are none yet.
if [ ! -f "$bin/QXR-IPdata.ini" ]; then
    printf '[Server]\r\nIP=127.0.0.1\r\nPort=5000\r\n' > "$bin/QXR-IPdata.ini"
fi

"$bin/kestrel-devsim" --listen 127.0.0.1:5000 --multicast &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
sleep 0.3

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running the window under xvfb-run (nothing will be visible)." >&2
    xvfb-run -a "$bin/kestrel"
else
    "$bin/kestrel"
fi
