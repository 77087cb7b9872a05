#!/usr/bin/env bash
# Installs the Debian packages the service, its tests and its benchmarks need.
# Safe to run again: it only asks apt-get for what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-all-dev libwebsocketpp-dev libjsoncpp-dev liblog4cpp5-dev
  libsqlite3-dev sqlite3 librtmidi-dev librtaudio-dev libstk-dev libjack-jackd2-dev
  libfluidsynth-dev timgm6mb-soundfont libpulse-dev libsamplerate0-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev llvm
  jackd2 espeak-ng sox iproute2 util-linux procps
  pipewire pipewire-bin pipewire-pulse pipewire-jack wireplumber pulseaudio-utils
  dbus-daemon
  dpkg-dev file lintian g++-mingw-w64-x86-64-posix
  chromium chromium-driver
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime priority; answer for it.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
