#!/usr/bin/env bash
# vxaudio split on an hour of speech-like sound, against what it replaces:
# `vxaudio silence` on the same file plus one plain `vxaudio export` of as
# many frames as all the pieces together. Prints the times and their ratio
# (bar: split at most 1.3x the two together).
# Usage: bench/bench-split.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
vx="$build/vxaudio"
data="$build/bench-data"
mkdir -p "$data"
hour="$data/speech-60min.wav"

for tool in sox /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-split: $tool missing (scripts/install-deps.sh bench)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The same hour as the silence benchmark (same seed, same file name, so the
# two share it).
. "$(dirname "$0")/speech-like.sh"
if [ ! -s "$hour" ]; then
  speech_like_minute "$work/minute.wav" 4242 2
  sox "$work/minute.wav" "$hour" repeat 59
  rm -f "$work/minute.wav"
fi

# Wall seconds and CPU seconds (user + system) of one command.
measure() {
  local f
  f=$(mktemp)
  /usr/bin/time -o "$f" -f "%e %U %S" "$@" >/dev/null 2>&1
  tail -n 1 "$f" | awk '{ printf "%s %.2f\n", $1, $2 + $3 }'
  rm -f "$f"
}
# Best wall time of three runs; `prep` runs untimed before each one.
best() {
  local prep=$1 b="" line
  shift
  for _ in 1 2 3; do
    eval "$prep"
    line=$(measure "$@")
    if [ -z "$b" ] || awk -v a="${line%% *}" -v c="${b%% *}" 'BEGIN{exit !(a < c)}'; then b=$line; fi
  done
  echo "$b"
}

read -r split_t split_c <<<"$(best 'rm -rf "$work/pieces"' "$vx" split -q "$hour" "$work/pieces")"
pieces=$(tail -n +2 "$work/pieces/index.csv" | wc -l)
frames=$(tail -n +2 "$work/pieces/index.csv" | awk -F, '{ n += $5 } END { print n }')
read -r sil_t sil_c <<<"$(best ':' "$vx" silence "$hour" --format csv)"
read -r exp_t exp_c <<<"$(best 'rm -f "$work/all.wav"' "$vx" export -q "$hour" "$work/all.wav" --length "${frames}s")"

awk -v st="$split_t" -v sc="$split_c" -v lt="$sil_t" -v lc="$sil_c" -v et="$exp_t" -v ec="$exp_c" \
    -v n="$pieces" -v f="$frames" -v cores="$(nproc)" -v load="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
  printf "60-minute 44.1 kHz stereo 16-bit WAV cut into %d pieces (%.1f min of sound)\n", n, f / 44100 / 60
  printf "  (%d cores, load average %s when done)\n", cores, load
  printf "  vxaudio split                        %7.2f s  cpu %6.2f s\n", st, sc
  printf "  vxaudio silence                      %7.2f s  cpu %6.2f s\n", lt, lc
  printf "  vxaudio export, same total length    %7.2f s  cpu %6.2f s\n", et, ec
  printf "  ratio split / (silence + export)     %7.2f  (bar: at most 1.3: %s)\n", st / (lt + et), (st <= 1.3 * (lt + et) ? "met" : "NOT MET")
}'
