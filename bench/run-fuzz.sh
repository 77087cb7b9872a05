#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz/, then fuzzes each one for a bounded time (seconds, default 60) from a
# copy of its committed corpus, and prints per target: executions, executions per
# second, coverage (edges and features) and faults found. A target's dictionary
# (tests/fuzz/<target>.dict) is used when there is one. Inputs that crash, hang or
# leak are kept in the printed folder; the committed corpus is never changed.
#   bench/run-fuzz.sh [seconds] [target...]     targets: request base64 song
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(request base64 song)

"$root/scripts/install-deps.sh"
[ -f /work/notes/ccache.env ] && . /work/notes/ccache.env
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DPIANOCORVIDA_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
nice -n 5 cmake --build "$root/build-fuzz" -j2 --target "${targets[@]/#/fuzz_}"

work=$(mktemp -d /tmp/pianocorvida-fuzz-run-XXXXXX)
# The targets' install folders go to memory: every database write is synced, and a
# disk would make the database, not the code, the measure.
[ -d /dev/shm ] && export TMPDIR=/dev/shm
printf '%-8s %12s %8s %8s %9s %7s\n' target executions exec/s edges features faults
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/faults"
  cp "$root/tests/fuzz/corpus/$target/"* "$work/$target/corpus/"
  log="$work/$target/fuzz.log"
  dictionary=()
  [ -f "$root/tests/fuzz/$target.dict" ] && dictionary=(-dict="$root/tests/fuzz/$target.dict")
  # Standard output is closed: the commands' diagnostic lines would only slow the run.
  # Without -fork a first fault ends the run; the next run goes on from the copy.
  nice -n 10 "$root/build-fuzz/tests/fuzz_$target" "$work/$target/corpus" \
    -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$work/$target/faults/" "${dictionary[@]}" >"$log" 2>&1 || true
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  faults=$(find "$work/$target/faults" -type f | wc -l)
  printf '%-8s %12s %8s %8s %9s %7s\n' "$target" "${executions:-?}" "${speed:-?}" \
    "$(echo "$coverage" | awk '{print $2}')" "$(echo "$coverage" | awk '{print $4}')" "$faults"
  if [ "$faults" -gt 0 ]; then
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -3 | sed 's/^/    /'
  fi
done
echo "logs, corpora and faulty inputs: $work"
