#!/bin/sh
# The Windows door keeps compiling: platform/windows/ is built with the mingw-w64 cross
# compiler, warnings as errors, and must define every platform call that the rest of
# the service (already built here for Linux) makes.
# Arguments: the source folder, then the service's Linux objects and libraries.
set -eu
source_dir=$1
shift
compiler=
for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
  command -v "$candidate" > /dev/null && { compiler=$candidate; break; }
done
if [ -z "$compiler" ]; then
  echo "SKIPPED: no mingw-w64 C++ compiler (scripts/install-deps.sh installs g++-mingw-w64-x86-64-posix)"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# RtMidi's and RtAudio's headers are the same on every system; only their folders are
# borrowed, never /usr/include itself.
headers=$(pkg-config --cflags-only-I rtmidi rtaudio | sed 's/-I/-isystem /g')
for source in "$source_dir"/platform/windows/*.cpp; do
  # shellcheck disable=SC2086
  "$compiler" -std=c++17 -Wall -Wextra -Werror -I"$source_dir" $headers \
    -c "$source" -o "$scratch/$(basename "$source" .cpp).o"
done

nm -u "$@" 2>/dev/null | awk '$1 == "U" && $2 ~ /^_ZN8platform/ {print $2}' | sort -u > "$scratch/needed"
[ -s "$scratch/needed" ] || { echo "no platform calls found in $*"; exit 1; }
x86_64-w64-mingw32-nm -g --defined-only "$scratch"/*.o | awk '{print $3}' | sort -u > "$scratch/defined"
missing=$(comm -23 "$scratch/needed" "$scratch/defined")
[ -z "$missing" ] || { echo "the Windows door lacks:"; echo "$missing" | c++filt; exit 1; }
echo "windows door: $(wc -l < "$scratch/needed") platform calls defined"
