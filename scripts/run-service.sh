#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground from the
# build folder (a complete install folder). Stop it with Ctrl-C or SIGTERM.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"$(nproc)"
exec "$root/build/pianocorvida-plugin"
