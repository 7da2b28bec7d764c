#!/usr/bin/env bash
# A batch of 16 ten-minute files through `vxaudio silence`: --jobs 2 against
# the same batch on one core, in the same run; also --jobs 1 (each file spread
# over the processors by the detector itself) and the default. Prints the
# times, the CPU time of each, and the ratio (bar: --jobs 2 at least 1.8x
# faster than one core on a 2-core machine).
# Usage: bench/bench-batch.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
vx="$build/vxaudio"
data="$build/bench-data/batch"
mkdir -p "$data"

for tool in sox taskset /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-batch: $tool missing (scripts/install-deps.sh bench)" >&2; exit 1; }
done

# One minute of speech-like bursts and pauses (fixed seed), then 16 files of
# ten minutes, each starting at another point of it so that no two are alike.
. "$(dirname "$0")/speech-like.sh"
if [ ! -s "$data/f15.wav" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  speech_like_minute "$tmp/minute.wav" 1717 1
  for f in $(seq 0 15); do
    sox "$tmp/minute.wav" "$data/f$f.wav" repeat 11 trim "$((f * 3 + 1))" 600
  done
fi
files=("$data"/f{0..15}.wav)

# Wall and CPU seconds of one batch; the best of three runs.
measure() {
  local f pin=()
  f=$(mktemp)
  if [ "${1:-}" = one-core ]; then pin=(taskset -c 0); shift; fi
  /usr/bin/time -o "$f" -f "%e %U %S" "${pin[@]}" "$vx" silence "$@" "${files[@]}" >/dev/null 2>&1
  tail -n 1 "$f" | awk '{ printf "%s %.2f\n", $1, $2 + $3 }'
  rm -f "$f"
}
best() {
  local b="" line
  for _ in 1 2 3; do
    line=$(measure "$@")
    if [ -z "$b" ] || awk -v a="${line%% *}" -v c="${b%% *}" 'BEGIN{exit !(a < c)}'; then b=$line; fi
  done
  echo "$b"
}

# Warm the page cache so that neither run pays for the first read.
cat "${files[@]}" >/dev/null
read -r core_t core_c <<<"$(best one-core --jobs 1)"
read -r one_t one_c <<<"$(best --jobs 1)"
read -r two_t two_c <<<"$(best --jobs 2)"
read -r def_t def_c <<<"$(best)"

awk -v ct="$core_t" -v cc="$core_c" -v ot="$one_t" -v oc="$one_c" -v tt="$two_t" -v tc="$two_c" -v dt="$def_t" -v dc="$def_c" \
    -v cores="$(nproc)" -v load="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
  printf "16 ten-minute 44.1 kHz mono WAVs (160 min), vxaudio silence, auto thresholds\n"
  printf "  (%d cores, load average %s when done)\n", cores, load
  printf "  one core (taskset -c 0)  %7.2f s  cpu %7.2f s  %5.0fx real time\n", ct, cc, 9600 / ct
  printf "  --jobs 1                %7.2f s  cpu %7.2f s  %5.0fx real time\n", ot, oc, 9600 / ot
  printf "  --jobs 2                %7.2f s  cpu %7.2f s  %5.0fx real time\n", tt, tc, 9600 / tt
  printf "  default (one per core)  %7.2f s  cpu %7.2f s\n", dt, dc
  printf "  ratio one core / --jobs 2  %.2f  (bar: at least 1.8)  %s\n", ct / tt, (ct / tt >= 1.8 ? "met" : "NOT MET")
}'
