#!/usr/bin/env bash
# Silence detection on an hour of speech-like sound: vxaudio silence against
# ffmpeg's silencedetect on the same file, in the same run. Prints both times,
# the ratio, and vxaudio's peak memory for a 6-minute and the 60-minute file
# (memory must not grow with length beyond the per-frame loudness the
# adaptive thresholds keep: 4 bytes per 5 ms).
# Usage: bench/bench-silence.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
vx="$build/vxaudio"
data="$build/bench-data"
mkdir -p "$data"
hour="$data/speech-60min.wav"
six="$data/speech-6min.wav"

for tool in sox ffmpeg /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-silence: $tool missing (scripts/install-deps.sh bench)" >&2; exit 1; }
done

# The hour is one minute of speech-like sound (fixed seed) repeated.
. "$(dirname "$0")/speech-like.sh"
if [ ! -s "$hour" ]; then
  minute=$(mktemp --suffix=.wav)
  speech_like_minute "$minute" 4242 2
  sox "$minute" "$six" repeat 5
  sox "$minute" "$hour" repeat 59
  rm -f "$minute"
fi

# Wall seconds, peak resident kilobytes and CPU seconds (user + system) of one
# command. CPU time tells a busy machine from a slow program.
measure() {
  local f
  f=$(mktemp)
  /usr/bin/time -o "$f" -f "%e %M %U %S" "$@" >/dev/null 2>&1
  tail -n 1 "$f" | awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }'
  rm -f "$f"
}
best() {  # best wall time of three runs, with the memory of that run
  local b="" line
  for _ in 1 2 3; do
    line=$(measure "$@")
    if [ -z "$b" ] || awk -v a="${line%% *}" -v c="${b%% *}" 'BEGIN{exit !(a < c)}'; then b=$line; fi
  done
  echo "$b"
}

read -r vx_t vx_m vx_c <<<"$(best "$vx" silence "$hour" --format csv)"
read -r vxf_t vxf_m vxf_c <<<"$(best "$vx" silence "$hour" --silence-loudness 1 --format csv)"
read -r ff_t ff_m ff_c <<<"$(best ffmpeg -nostdin -hide_banner -i "$hour" -af silencedetect=n=-50dB:d=0.3 -f null -)"
read -r six_t six_m _ <<<"$(measure "$vx" silence "$six" --format csv)"
read -r sixf_t sixf_m _ <<<"$(measure "$vx" silence "$six" --silence-loudness 1 --format csv)"

silences=$("$vx" silence "$hour" --format csv | tail -n +2 | wc -l)
awk -v vt="$vx_t" -v vm="$vx_m" -v ft="$vxf_t" -v fm="$vxf_m" -v gt="$ff_t" -v gm="$ff_m" \
    -v vc="$vx_c" -v fc="$vxf_c" -v gc="$ff_c" -v cores="$(nproc)" -v load="$(cut -d' ' -f1 /proc/loadavg)" \
    -v st="$six_t" -v sm="$six_m" -v sft="$sixf_t" -v sfm="$sixf_m" -v n="$silences" 'BEGIN {
  printf "60-minute 44.1 kHz stereo 16-bit WAV, speech-like bursts and pauses (%d silences found)\n", n
  printf "  (%d cores, load average %s when done)\n", cores, load
  printf "  vxaudio silence (auto thresholds)   %7.2f s  %6.0fx real time  cpu %6.2f s  peak %5.1f MB\n", vt, 3600 / vt, vc, vm / 1024
  printf "  vxaudio silence (fixed thresholds)  %7.2f s  %6.0fx real time  cpu %6.2f s  peak %5.1f MB\n", ft, 3600 / ft, fc, fm / 1024
  printf "  ffmpeg silencedetect -50dB d=0.3    %7.2f s  %6.0fx real time  cpu %6.2f s  peak %5.1f MB\n", gt, 3600 / gt, gc, gm / 1024
  printf "  ratio ffmpeg / vxaudio (auto)       %7.2f  (above 1: vxaudio faster)\n", gt / vt
  printf "  bar: the hour under 3.6 s           %s\n", (vt < 3.6 ? "met" : "NOT MET")
  printf "  memory 6 min -> 60 min: auto %.1f -> %.1f MB, fixed %.1f -> %.1f MB (bar: under 30 MB, flat)\n", sm / 1024, vm / 1024, sfm / 1024, fm / 1024
}'
