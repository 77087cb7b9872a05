#!/usr/bin/env bash
# Builds the service with ThreadSanitizer in build-tsan/ and runs the service tests
# (the long ones too unless arguments narrow the run, e.g. -LE long). Every report
# lands in a file; any file fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIANOCORVIDA_TSAN=ON
cmake --build "$root/build-tsan" -j"$(nproc)"
reports=$(mktemp -d /tmp/pianocorvida-tsan-XXXXXX)
cd "$root/build-tsan"
status=0
TSAN_OPTIONS="log_path=$reports/report second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
  ctest --output-on-failure -j2 -L service "$@" || status=$?
if compgen -G "$reports/report*" >/dev/null; then
  echo "ThreadSanitizer reports:"
  cat "$reports"/report*
  exit 1
fi
echo "ThreadSanitizer: no reports"
# The sanitizer slows the service several times over: a case bound to a short
# window (a key held for 150 ms, a stop within 5 s) may fail here on time alone.
exit $status
