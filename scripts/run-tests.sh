#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (the long-waiting ones, label
# "long", included).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"$(nproc)"
cd "$root/build"
ctest --output-on-failure -j2 "$@"
