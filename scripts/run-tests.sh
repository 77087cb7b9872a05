#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (the long-waiting ones, label
# "long", included); then builds build-asan/ and runs the whole suite again under
# AddressSanitizer and UBSan (scripts/run-asan.sh). Fails when either run fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"$(nproc)"
status=0
(cd "$root/build" && ctest --output-on-failure -j2 "$@") || status=$?
"$root/scripts/run-asan.sh" "$@" || status=$?
exit $status
