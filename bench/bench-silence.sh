#!/usr/bin/env bash
# Silence detection on an hour of speech-like sound, vxaudio against ffmpeg's
# silencedetect on the same files: 44.1 kHz WAV, the same hour at 48 kHz, and
# the hour as FLAC. The two tools run in alternating pairs so that a change in
# machine load falls on both; the figures are medians and ratios vxaudio/ffmpeg
# (below 1.0: vxaudio cheaper or faster). Then the same pairs pinned to one
# core (a busy machine), and vxaudio's peak memory on 6 minutes against the
# hour: it must stay flat apart from the per-frame loudness the adaptive
# thresholds keep.
# Missed targets are reported, never fatal; only a missing tool fails.
# Usage: [PAIRS=3] bench/bench-silence.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
vx="$build/vxaudio"
pairs=${PAIRS:-3}
data="$build/bench-data"
mkdir -p "$data"
hour="$data/speech-60min.wav"
hour48="$data/speech-60min-48k.wav"
hourflac="$data/speech-60min.flac"
six="$data/speech-6min.wav"

[ -x "$vx" ] || { echo "bench-silence: $vx missing (build the vxaudio target)" >&2; exit 1; }
for tool in sox ffmpeg taskset /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-silence: $tool missing (scripts/install-deps.sh bench)" >&2; exit 1; }
done

# The hour is one minute of speech-like sound (fixed seed) repeated; the other
# files derive from it. All are cached and reused.
. "$(dirname "$0")/speech-like.sh"
if [ ! -s "$hour" ]; then
  minute=$(mktemp --suffix=.wav)
  speech_like_minute "$minute" 4242 2
  sox "$minute" "$hour" repeat 59
  rm -f "$minute"
fi
[ -s "$six" ] || sox "$hour" "$six" trim 0 360
[ -s "$hour48" ] || sox "$hour" "$hour48" rate -v 48000
if [ ! -s "$hourflac" ]; then
  if command -v flac >/dev/null; then flac -s -f -o "$hourflac" "$hour"; else sox "$hour" "$hourflac"; fi
fi

out=$(mktemp)
trap 'rm -f "$out" "$out.e" "$out.t"' EXIT

# One measured run: prints "wall_s cpu_s peak_kB" (cpu = user + system). The
# tool's stdout and stderr stay in $out and $out.e for counting what it found.
measure() {
  /usr/bin/time -o "$out.t" -f "%e %U %S %M" "$@" >"$out" 2>"$out.e" || echo "bench-silence: failed: $*" >&2
  tail -n 1 "$out.t" | awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }'
}
# Median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
# Column N (1 wall, 2 cpu, 3 peak) of a list of measure lines.
col() { local n=$1; shift; printf '%s\n' "$@" | awk -v n="$n" '{ print $n }'; }

# Alternating pairs (vx, ff, vx, ff, ...), optionally behind a command prefix
# (taskset). Prints the medians of vxaudio's wall, cpu and peak, the same for
# ffmpeg, and the silences each found.
pairs_of() {
  local file=$1 i vxs=() ffs=() nvx nff s=""
  shift
  for ((i = 0; i < pairs; i++)); do
    vxs+=("$(measure "$@" "$vx" silence "$file" --format csv)")
    nvx=$(tail -n +2 "$out" | grep -c . || true)
    ffs+=("$(measure "$@" ffmpeg -nostdin -hide_banner -i "$file" -af silencedetect=noise=-30dB:d=0.25 -f null -)")
    nff=$(grep -c 'silence_end' "$out.e" || true)
  done
  for k in 1 2 3; do s+=" $(median $(col $k "${vxs[@]}"))"; done
  for k in 1 2 3; do s+=" $(median $(col $k "${ffs[@]}"))"; done
  echo "$s $nvx $nff"
}

calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
minutes() { soxi -D "$1" | awk '{ printf "%.1f", $1 / 60 }'; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "NOT MET"; fi; }

cores=$(nproc)
echo "vxaudio silence (auto thresholds) vs ffmpeg silencedetect=noise=-30dB:d=0.25"
echo "$pairs alternating pairs per file, medians; ratio = vxaudio / ffmpeg (below 1.0: vxaudio cheaper/faster)"
echo "$cores cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at start"
hour_peak=0
for entry in "$hour|44.1 kHz stereo 16-bit WAV" "$hour48|48 kHz stereo 16-bit WAV" \
            "$hourflac|44.1 kHz stereo 16-bit FLAC"; do
  file=${entry%%|*}
  read -r vw vc vm fw fc fm nv nf <<<"$(pairs_of "$file")"
  read -r pvw _ _ pfw _ _ _ _ <<<"$(pairs_of "$file" taskset -c 0)"
  [ "$file" = "$hour" ] && hour_peak=$vm
  cr=$(calc "$vc / $fc") wr=$(calc "$vw / $fw")
  if [ "$cores" -ge 2 ]; then wv=$(verdict "$wr < 1.0"); else wv="n/a (1 core)"; fi
  printf '\n%s min, %s\n' "$(minutes "$file")" "${entry#*|}"
  printf '  %-22s %8s %8s %9s %9s\n' "" "cpu s" "wall s" "peak MB" "silences"
  printf '  %-22s %8.2f %8.2f %9s %9d\n' "vxaudio silence" "$vc" "$vw" "$(mb "$vm")" "$nv"
  printf '  %-22s %8.2f %8.2f %9s %9d\n' "ffmpeg silencedetect" "$fc" "$fw" "$(mb "$fm")" "$nf"
  printf '  cpu ratio   %5s   target at most 1.0             %s\n' "$cr" "$(verdict "$cr <= 1.0")"
  printf '  wall ratio  %5s   target below 1.0 on 2+ cores   %s\n' "$wr" "$wv"
  printf '  vxaudio peak %5s MB, target under 30 MB        %s\n' "$(mb "$vm")" "$(verdict "$vm < 30 * 1024")"
  printf '  pinned to one core (taskset -c 0): wall %.2f s vs %.2f s, ratio %s\n' "$pvw" "$pfw" "$(calc "$pvw / $pfw")"
done

# Flat: beyond 6 minutes the hour may only add its per-frame loudness and the
# sorted copy the percentiles take (8 bytes per 5 ms), plus 1 MB of allocator
# slack; anything that scaled with the samples would be a hundred times more.
read -r _ _ six_peak <<<"$(measure "$vx" silence "$six" --format csv)"
allow=$(awk -v a="$(soxi -D "$hour")" -v b="$(soxi -D "$six")" 'BEGIN { printf "%d", (a - b) / 0.005 * 8 / 1024 + 1024 }')
echo
echo "Memory flatness, vxaudio auto thresholds: $(minutes "$six") min $(mb "$six_peak") MB ->" \
  "$(minutes "$hour") min $(mb "$hour_peak") MB (+$(mb $((hour_peak - six_peak))) MB, allowed +$(mb "$allow") MB)"
echo "  target under 30 MB and flat                    $(verdict "$hour_peak < 30 * 1024 && $hour_peak - $six_peak <= $allow")"
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) when done"
exit 0
