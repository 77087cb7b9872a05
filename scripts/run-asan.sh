#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UBSan in build-asan/ and runs the whole
# test suite there (the long ones too unless arguments narrow the run, e.g. -LE long).
# The first report stops the process that made it; every report lands in a file and
# any file fails the run. The service programs the tests start inherit the options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIANOCORVIDA_ASAN=ON
cmake --build "$root/build-asan" -j"$(nproc)"
reports=$(mktemp -d /tmp/pianocorvida-asan-XXXXXX)
cd "$root/build-asan"
status=0
# Start and stop waits of the test services run four times longer (tests/support/TestService.h).
# The sanitizers slow the service and the JACK clients several times over, so a case
# bound to the beat (a click within 70 ms, a key held 150 ms) may miss on time alone;
# such a case gets up to three tries here. A sanitizer report fails the run whatever
# the tries say: it lands in a file, checked below.
PIANOCORVIDA_TEST_TIME_SCALE=4 \
ASAN_OPTIONS="log_path=$reports/asan halt_on_error=1 exitcode=1 detect_leaks=1 print_stacktrace=1 suppressions=$root/tests/asan.supp" \
LSAN_OPTIONS="suppressions=$root/tests/lsan.supp print_suppressions=0" \
UBSAN_OPTIONS="log_path=$reports/ubsan halt_on_error=1 print_stacktrace=1 suppressions=$root/tests/ubsan.supp" \
  ctest --output-on-failure -j2 --repeat until-pass:3 "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "AddressSanitizer/UBSan reports:"
  cat "$reports"/*
  exit 1
fi
echo "AddressSanitizer/UBSan: no reports"
exit $status
