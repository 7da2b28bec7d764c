#!/usr/bin/env bash
# Opening, waveform overview and export timed side by side with peer tools on
# the same files in the same run, printed as ratios against their goals.
# Usage: bench/bench-engine.sh BUILD_DIR   (RUNS=n sets the runs per figure)
#
# Each figure is the median of RUNS runs (default 3) of the whole command, so
# process start-up counts on both sides. Files are made here, in a temporary
# directory: an hour of 44.1 kHz stereo 16-bit WAV, and 10- and 20-minute
# FLAC and MP3 copies for the growth check.
set -euo pipefail
build=$(cd "${1:-build-bench}" && pwd)
vx="$build/vxaudio"
runs=${RUNS:-3}
[ -x "$vx" ] || { echo "bench-engine.sh: $vx is not built" >&2; exit 1; }
for tool in sox ffmpeg /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-engine.sh: $tool is missing (scripts/install-deps.sh bench)" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

echo "making test files in $tmp ..."
# Ten minutes of pink noise, repeated for the hour: copying is much faster
# than synthesising, and the content does not change any of the timings.
sox -R -n -r 44100 -c 2 -b 16 m10.wav synth 600 pinknoise vol 0.3
sox m10.wav m10.wav m20.wav
sox m10.wav m10.wav m10.wav m10.wav m10.wav m10.wav h60.wav
for m in 10 20; do
  sox m$m.wav m$m.flac
  ffmpeg -v error -y -i m$m.wav -c:a libmp3lame -b:a 192k m$m.mp3
done
mp3=yes
if ! "$vx" info -q m10.mp3 >/dev/null 2>&1; then
  mp3=no
  echo "note: libsndfile on this machine does not read MP3; the growth check uses FLAC only"
fi

# Median wall time in seconds of RUNS runs of a command.
median() {
  local times=() s e
  for ((i = 0; i < runs; i++)); do
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "bench-engine.sh: failed: $*" >&2; exit 1; }
    e=$(date +%s.%N)
    times+=("$(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.4f", e - s }')")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'
}

vx_info()   { "$vx" info -q "$1"; }
vx_graph()  { "$vx" graph -q "$1" --columns 2000 -o graph.json; }
vx_export() { "$vx" export -q "$1" out.wav --force; }
sox_stat()   { sox "$1" -n stat; }
sox_export() { sox -D "$1" -b 16 -c 2 out-sox.wav; }
ff_graph()   { ffmpeg -v error -y -i "$1" -filter_complex showwavespic=s=2000x200 -frames:v 1 out.png; }

# row LABEL OURS PEER PEER_NAME GOAL: one line with the ratio and its verdict.
row() {
  awk -v l="$1" -v a="$2" -v b="$3" -v p="$4" -v g="$5" 'BEGIN {
    r = (b > 0) ? a / b : 0
    printf "%-34s %8.3f s  %-7s %8.3f s  %6.2fx  goal <= %.1fx  %s\n", l, a, p, b, r, g, (r <= g ? "ok" : "MISSED")
  }'
}

echo
printf '%-34s %10s  %-7s %10s  %7s\n' "" "vxaudio" "peer" "" "ratio"
row "open + peak scan, 60 min WAV"  "$(median vx_info h60.wav)"   "$(median sox_stat h60.wav)"   "sox"    1.0
row "overview 2000 columns, 60 min" "$(median vx_graph h60.wav)"  "$(median ff_graph h60.wav)"   "ffmpeg" 0.5
row "export 16-bit stereo, 60 min"  "$(median vx_export h60.wav)" "$(median sox_export h60.wav)" "sox"    1.1

echo
echo "growth from 10 to 20 minutes (goal <= 2.3x)"
kinds=(flac)
[ "$mp3" = yes ] && kinds+=(mp3)
for k in "${kinds[@]}"; do
  for op in graph export; do
    t10=$(median vx_$op m10.$k)
    t20=$(median vx_$op m20.$k)
    awk -v k="$k" -v op="$op" -v a="$t10" -v b="$t20" 'BEGIN {
      r = (a > 0) ? b / a : 0
      printf "  %-6s %-4s  10 min %7.3f s   20 min %7.3f s   %5.2fx  %s\n", op, k, a, b, r, (r <= 2.3 ? "ok" : "MISSED")
    }'
  done
done

echo
echo "peak memory on the 60 min WAV (goal < 30 MB)"
for op in info graph export; do
  kb=$(/usr/bin/time -v "$vx" $op -q h60.wav $( [ $op = graph ] && echo "--columns 2000 -o graph.json" ) \
        $( [ $op = export ] && echo "out.wav --force" ) 2>&1 >/dev/null |
       awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
  awk -v op="$op" -v kb="$kb" 'BEGIN { printf "  %-6s %6.1f MB  %s\n", op, kb / 1024, (kb < 30 * 1024 ? "ok" : "MISSED") }'
done
