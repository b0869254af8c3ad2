#!/usr/bin/env bash
# Builds Parcelvane and starts it: with windows where a display exists,
# otherwise headless. Extra arguments are passed on.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "run.sh: step failed (exit $?): $BASH_COMMAND" >&2' ERR
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec build/src/parcelvane "$@"
fi
exec build/src/parcelvane --headless "$@"
