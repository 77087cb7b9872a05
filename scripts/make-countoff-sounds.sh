#!/usr/bin/env bash
# Generate the count-off sound files shipped with the service.
#
# Usage: scripts/make-countoff-sounds.sh [TARGET_DIR]
#
# TARGET_DIR defaults to data/countoff under the repository root.
#
# Writes 19 files:
#   one.wav .. sixteen.wav   the spoken English numbers
#   set.wav, go.wav          the spoken words "set" and "go"
#   hihat_short_loud.wav     a short, loud hi-hat style click
#
# Every file is RIFF/WAVE, 16-bit signed little-endian PCM, stereo,
# 22050 Hz, with the plain 44-byte header (fmt + data chunks only).
# The words are spoken one per beat, so each is trimmed and kept short.
#
# Output is deterministic: espeak-ng is, and sox runs in repeatable
# mode (-R) without dither (-D), so the noise in the click is the same
# on every run.
#
# Environment overrides (defaults in brackets):
#   COUNTOFF_VOICE   espeak-ng voice              [en-us]
#   COUNTOFF_SPEED   espeak-ng words per minute   [220]
#   COUNTOFF_MAX_S   longest allowed word, secs   [0.45]

set -euo pipefail

readonly RATE=22050
readonly CHANNELS=2
readonly BITS=16

VOICE="${COUNTOFF_VOICE:-en-us}"
SPEED="${COUNTOFF_SPEED:-220}"
MAX_S="${COUNTOFF_MAX_S:-0.45}"

readonly WORDS=(one two three four five six seven eight nine ten
                eleven twelve thirteen fourteen fifteen sixteen
                set go)
readonly CLICK=hihat_short_loud

die() { echo "make-countoff-sounds: $*" >&2; exit 1; }

usage() {
    sed -n '2,/^$/{s/^# \{0,1\}//;p}' "$0"
}

case "${1:-}" in
    -h|--help) usage; exit 0 ;;
esac
[[ $# -le 1 ]] || { usage >&2; exit 2; }

# --- tools -----------------------------------------------------------------

check_tools() {
    local missing=() pkgs=() entry tool pkg
    # tool:Debian package
    for entry in espeak-ng:espeak-ng sox:sox soxi:sox awk:gawk \
                 sed:sed od:coreutils stat:coreutils mktemp:coreutils \
                 tr:coreutils cat:coreutils mv:coreutils rm:coreutils \
                 mkdir:coreutils dirname:coreutils; do
        tool="${entry%%:*}"
        pkg="${entry#*:}"
        if ! command -v "$tool" >/dev/null 2>&1; then
            missing+=("$tool (Debian package: $pkg)")
            [[ " ${pkgs[*]} " == *" $pkg "* ]] || pkgs+=("$pkg")
        fi
    done
    if [[ ${#missing[@]} -gt 0 ]]; then
        echo "make-countoff-sounds: missing required tools:" >&2
        printf '  %s\n' "${missing[@]}" >&2
        echo "install with: sudo apt-get install -y ${pkgs[*]}" >&2
        exit 1
    fi
    espeak-ng --voices 2>/dev/null | awk -v v="$VOICE" '
        NR > 1 && (tolower($2) == tolower(v) || tolower($5) ~ ("/" tolower(v) "$")) { found = 1 }
        END { exit !found }' \
        || die "espeak-ng has no voice '$VOICE' (see: espeak-ng --voices)"
}

# --- WAV header helpers ----------------------------------------------------

# Print N bytes at OFFSET of FILE as unsigned little-endian integer.
read_le() {
    local file="$1" offset="$2" n="$3"
    od -An -tu"$n" -j "$offset" -N "$n" --endian=little "$file" | tr -d ' '
}

read_tag() {
    local file="$1" offset="$2"
    od -An -c -j "$offset" -N 4 "$file" | tr -d ' '
}

# Succeeds when FILE is a canonical 44-byte-header PCM WAV in our format.
is_canonical_wav() {
    local f="$1" size
    size="$(stat -c %s "$f")"
    [[ $size -ge 44 ]] || return 1
    [[ "$(read_tag "$f" 0)"  == RIFF ]] || return 1
    [[ "$(read_tag "$f" 8)"  == WAVE ]] || return 1
    [[ "$(read_tag "$f" 12)" == fmt  ]] || return 1
    [[ "$(read_tag "$f" 36)" == data ]] || return 1
    [[ "$(read_le "$f" 4 4)"  -eq $((size - 8)) ]] || return 1
    [[ "$(read_le "$f" 16 4)" -eq 16 ]] || return 1
    [[ "$(read_le "$f" 20 2)" -eq 1 ]] || return 1
    [[ "$(read_le "$f" 22 2)" -eq $CHANNELS ]] || return 1
    [[ "$(read_le "$f" 24 4)" -eq $RATE ]] || return 1
    [[ "$(read_le "$f" 28 4)" -eq $((RATE * CHANNELS * BITS / 8)) ]] || return 1
    [[ "$(read_le "$f" 32 2)" -eq $((CHANNELS * BITS / 8)) ]] || return 1
    [[ "$(read_le "$f" 34 2)" -eq $BITS ]] || return 1
    [[ "$(read_le "$f" 40 4)" -eq $((size - 44)) ]] || return 1
}

# Write VALUE as N little-endian bytes to stdout.
put_le() {
    local value="$1" n="$2" i
    for ((i = 0; i < n; i++)); do
        # shellcheck disable=SC2059
        printf "\\x$(printf '%02x' $(( (value >> (8 * i)) & 255 )))"
    done
}

# Rewrite FILE in place with a plain 44-byte header, dropping any extra
# chunks (LIST, fact, ...) and any extensible fmt chunk.
canonicalise_wav() {
    local f="$1" raw="$1.pcm" len
    sox -D "$f" -t raw -e signed-integer -b $BITS -c $CHANNELS -r $RATE \
        -L "$raw"
    len="$(stat -c %s "$raw")"
    {
        printf 'RIFF'; put_le $((len + 36)) 4
        printf 'WAVEfmt '; put_le 16 4
        put_le 1 2                                  # PCM
        put_le $CHANNELS 2
        put_le $RATE 4
        put_le $((RATE * CHANNELS * BITS / 8)) 4    # byte rate
        put_le $((CHANNELS * BITS / 8)) 2           # block align
        put_le $BITS 2
        printf 'data'; put_le "$len" 4
        cat "$raw"
    } > "$f.tmp"
    mv "$f.tmp" "$f"
    rm -f "$raw"
}

ensure_canonical() {
    local f="$1"
    if ! is_canonical_wav "$f"; then
        canonicalise_wav "$f"
        is_canonical_wav "$f" || die "could not write a canonical header for $f"
    fi
}

# --- generation ------------------------------------------------------------

# sox in repeatable mode (-R) and without dither (-D), and the format of
# every file written.
readonly SOX=(sox -R -D -V1)
readonly OUT_FMT=(-t wav -e signed-integer -b "$BITS" -c "$CHANNELS" -r "$RATE" -L)

duration_of() { soxi -D "$1"; }

make_word() {
    local word="$1" out="$2" raw="$WORK/$1.espeak.wav" dur factor
    espeak-ng -v "$VOICE" -s "$SPEED" -w "$raw" -- "$word"

    # Trim silence at both ends (threshold about -50 dBFS), fade the edges
    # (8 ms out, 2 ms in) so the cut points don't click, then bring the
    # peak to -1 dBFS.  The length is unknown after "silence", so the
    # fade-out is done as a fade-in on the reversed audio.
    local trim=(silence 1 0.005 0.3% reverse silence 1 0.005 0.3%
                fade t 0.008 reverse)
    local finish=(fade t 0.002 norm -1)

    "${SOX[@]}" "$raw" "${OUT_FMT[@]}" "$out" "${trim[@]}" "${finish[@]}"
    dur="$(duration_of "$out")"
    if awk -v d="$dur" -v m="$MAX_S" 'BEGIN { exit !(d > m) }'; then
        factor="$(awk -v d="$dur" -v t="$TARGET_S" 'BEGIN { printf "%.4f", d / t }')"
        echo "  $word: ${dur} s is too long, speeding up by $factor" >&2
        "${SOX[@]}" "$raw" "${OUT_FMT[@]}" "$out" \
            "${trim[@]}" tempo -s "$factor" "${finish[@]}"
    fi
}

make_click() {
    local out="$1"
    # 90 ms of white noise, high-passed (two 2-pole stages at 7 kHz), with an
    # exponential decay, cut to 50 ms (about -58 dB by then) and faded to
    # zero over the last 5 ms; peak at -1 dBFS.  -R fixes the noise seed.
    "${SOX[@]}" -r "$RATE" -c 1 -n "${OUT_FMT[@]}" "$out" \
        synth 0.09 whitenoise vol 0.5 \
        highpass 7000 highpass 7000 \
        fade l 0 0.09 0.09 trim 0 0.05 fade t 0 0.05 0.005 \
        norm -1
}

# --- main ------------------------------------------------------------------

check_tools
awk -v m="$MAX_S" 'BEGIN { exit !(m + 0 > 0.1) }' \
    || die "COUNTOFF_MAX_S must be a number of seconds above 0.1 (got '$MAX_S')"
# A word longer than MAX_S is sped up to this length.
TARGET_S="$(awk -v m="$MAX_S" 'BEGIN { printf "%.3f", m - 0.03 }')"

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo_root="$(cd "$script_dir/.." && pwd)"
target="${1:-$repo_root/data/countoff}"
mkdir -p "$target"
target="$(cd "$target" && pwd)"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/countoff.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

for word in "${WORDS[@]}"; do
    make_word "$word" "$WORK/$word.wav"
    ensure_canonical "$WORK/$word.wav"
done
make_click "$WORK/$CLICK.wav"
ensure_canonical "$WORK/$CLICK.wav"

echo "writing to $target"
for name in "${WORDS[@]}" "$CLICK"; do
    mv -f "$WORK/$name.wav" "$target/$name.wav"
    printf '  %-22s %6.3f s %7d bytes\n' "$name.wav" \
        "$(duration_of "$target/$name.wav")" "$(stat -c %s "$target/$name.wav")"
done
