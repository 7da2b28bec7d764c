#!/usr/bin/env bash
# Builds the speech/pause corpus used to measure silence detection.
#
# Usage: scripts/make-corpus.sh [full|small]      (default: full)
# Prints the corpus directory on standard output. The corpus is cached under
# ${VX_CORPUS_CACHE:-${TMPDIR:-/tmp}} in a directory keyed by a hash of this
# script, so an unchanged generator never synthesises twice; a changed one
# starts afresh.
#
# Layout of the corpus directory:
#   manifest.tsv            condition <TAB> wav <TAB> truth <TAB> half  (paths relative)
#   truth/<track>.txt       one true pause per line: start end (frames at 44100 Hz)
#   truth/<track>-short.txt the same for the track's short-pause version
#   <condition>/<track>.wav in the condition's rate, channels and sample format
#
# Every track is spoken sentences (espeak-ng, resampled to 44100 Hz, trimmed of
# their own leading and trailing silence) joined by pauses of known length, so
# the pause intervals are exact. Each condition is the same tracks with a level
# change, a noise bed added over the whole file (pauses included), or another
# rate, channel count or sample format; truth is in time, so a resampled file
# keeps the truth of its 44.1 kHz original. Tracks are split into two halves:
# settings are tuned on the "tune" half and reported on the "report" half.
set -euo pipefail

mode=${1:-full}
case "$mode" in full|small) ;; *) echo "make-corpus.sh: unknown mode '$mode' (full or small)" >&2; exit 2 ;; esac
for tool in espeak-ng sox soxi sha1sum flock; do
  command -v "$tool" >/dev/null || { echo "make-corpus.sh: $tool is missing (scripts/install-deps.sh test)" >&2; exit 1; }
done

self="${BASH_SOURCE[0]}"
key=$(sha1sum "$self" | cut -c1-12)
cache=${VX_CORPUS_CACHE:-${TMPDIR:-/tmp}}
out="$cache/vxaudio-corpus-$key-$mode"
if [ -f "$out/manifest.tsv" ]; then echo "$out"; exit 0; fi

# Two test programs (normal and sanitizer builds) may ask at the same time:
# one generates, the other waits and then finds the finished directory.
mkdir -p "$cache"
exec 9>"$cache/vxaudio-corpus-$key-$mode.lock"
flock 9
if [ -f "$out/manifest.tsv" ]; then echo "$out"; exit 0; fi

work=$(mktemp -d "$cache/vxaudio-corpus-build.XXXXXX")
trap '[ -n "${VX_CORPUS_KEEP:-}" ] || rm -rf "$work"' EXIT
R=44100
# No dither anywhere: pauses in the clean tracks stay digital silence.
export SOX_OPTS=-D

sentences=(
  "the quick brown fox jumps over the lazy dog near the river bank"
  "please remember to bring the blue folder to the meeting tomorrow morning"
  "a gentle breeze moved through the tall grass of the open field"
  "the train to the coast leaves from platform seven every hour"
  "she painted the old wooden fence a bright shade of yellow"
  "our neighbours have planted three apple trees behind their house"
  "the library will be closed on monday for the annual inventory"
  "he poured a cup of strong black coffee and opened the newspaper"
  "the children built a small castle out of sand and shells"
  "thunder rolled across the valley long before the rain arrived"
  "the recipe calls for two eggs and a spoonful of honey"
  "most birds in this forest sing loudest just before sunrise"
  "the museum keeps its oldest maps in a cool dark room"
  "my brother fixed the bicycle chain with a borrowed wrench"
  "the committee approved the new budget after a long debate"
  "fresh snow covered the mountain road during the night"
  "the orchestra tuned their instruments while the audience waited"
  "a small boat drifted slowly toward the far side of the lake"
  "the doctor asked him to return for another test next week"
  "every summer the town holds a market in the central square"
  "the engineer measured the bridge twice before signing the report"
  "warm bread from the bakery filled the whole street with its smell"
  "the cat slept on the windowsill for most of the afternoon"
  "students gathered in the hall to hear the visiting professor"
  "the garden gate creaked loudly whenever the wind picked up"
)

# track name, voice, speed (words per minute), shuffle seed, half. Each half
# holds both male and female voices and both accents.
full_tracks=(
  "t1 en-us 165 11 tune"
  "t2 en-gb+f3 150 23 tune"
  "t3 en-us+m3 185 37 report"
  "t4 en-gb-scotland+f2 160 41 report"
  "t5 en-029+m2 140 53 tune"
  "t6 en-gb-x-rp+f4 175 67 report"
)
small_tracks=(
  "s1 en-us 165 7 tune"
  "s2 en-gb-scotland+f2 160 19 report"
)
# Pause lengths between sentences, in seconds; each track uses all of them in
# its own order. Lengths below the scored 0.25 s are there to tempt detectors.
full_pauses=(0.1 0.15 0.2 0.25 0.3 0.35 0.4 0.5 0.6 0.8 1.0 1.25 1.5 2.0 2.5 3.0)
small_pauses=(0.1 0.2 0.25 0.3 0.4 0.5 0.8 1.0 1.5 3.0)
lead=0.6   # silence before the first and after the last sentence
# The short-pause version of a track: every pause between sentences 0.25 s
# (the shortest scored) or, every third one, 0.3 s.
short_pause() { if (( ($1 + $2) % 3 == 0 )); then echo 0.3; else echo 0.25; fi; }

if [ "$mode" = small ]; then tracks=("${small_tracks[@]}"); pauses=("${small_pauses[@]}")
else tracks=("${full_tracks[@]}"); pauses=("${full_pauses[@]}"); fi

samples() { awk -v s="$1" -v r=$R 'BEGIN { printf "%d", s * r + 0.5 }'; }
silence() { sox -r $R -c 1 -n -b 16 "$2" trim 0 "$1s"; }

# Fails when a synthesised sentence holds a gap of its own long enough to be
# mistaken for a pause (it would make the ground truth wrong).
check_gaps() {
  sox "$1" -t s16 -c 1 - | od -An -v -td2 -w2 | awk -v r="$(soxi -r "$1")" -v f="$1" '
    { a = $1 < 0 ? -$1 : $1; if (a < 33) run++; else { if (run > 0.2 * r && NR > run + 1) bad = 1; run = 0 } }
    END { if (bad) { print "make-corpus.sh: internal gap in " f > "/dev/stderr"; exit 1 } }'
}

# Joins sentence files with pauses of the given lengths (seconds) between them
# and the lead before the first and after the last; writes the track and its
# truth.
join_track() {  # out truth sentence-files... -- pauses...
  local out=$1 truth=$2 parts=() sent=() gaps=() lead_s p pos k
  shift 2
  while [ "$1" != -- ]; do sent+=("$1"); shift; done
  shift
  gaps=("$@")
  lead_s=$(samples $lead)
  silence "$lead_s" "$out.lead.wav"
  parts+=("$out.lead.wav")
  pos=$lead_s
  echo "0 $lead_s" >"$truth"
  for ((k = 0; k < ${#sent[@]}; k++)); do
    parts+=("${sent[$k]}")
    pos=$(( pos + $(soxi -s "${sent[$k]}") ))
    if (( k < ${#sent[@]} - 1 )); then p=$(samples "${gaps[$k]}"); else p=$lead_s; fi
    silence "$p" "$out.p$k.wav"
    parts+=("$out.p$k.wav")
    echo "$pos $(( pos + p ))" >>"$truth"
    pos=$(( pos + p ))
  done
  sox "${parts[@]}" "$out"
  rm -f "$out".lead.wav "$out".p*.wav
  [ "$(soxi -s "$out")" -eq "$pos" ] || { echo "make-corpus.sh: length mismatch in $out" >&2; exit 1; }
}

mkdir -p "$work/truth" "$work/base"
idx=0
for track in "${tracks[@]}"; do
  read -r name voice speed seed _ <<<"$track"
  order=$(printf '%s\n' "${pauses[@]}" | shuf --random-source=<(yes "$seed"))
  mapfile -t order <<<"$order"
  n=$(( ${#order[@]} + 1 ))
  sent=()
  short=()
  for ((i = 0; i < n; i++)); do
    text=${sentences[$(( (idx + i) % ${#sentences[@]} ))]}
    raw="$work/base/$name-$i-raw.wav"
    espeak-ng -v "$voice" -s "$speed" -w "$raw" "$text"
    sox "$raw" -r $R -b 16 "$work/base/$name-$i-rs.wav" gain -3 rate -h
    # Trim at the first and last sample above -70 dBFS: what remains starts and
    # ends with speech, so the joins below are the exact pause boundaries.
    sox "$work/base/$name-$i-rs.wav" "$work/base/$name-$i.wav" \
      silence 1 1s -70d reverse silence 1 1s -70d reverse
    check_gaps "$work/base/$name-$i.wav"
    sent+=("$work/base/$name-$i.wav")
    if (( i < n - 1 )); then short+=("$(short_pause "$i" "$seed")"); fi
  done
  idx=$(( idx + n ))
  join_track "$work/base/$name.wav" "$work/truth/$name.txt" "${sent[@]}" -- "${order[@]}"
  join_track "$work/base/$name-short.wav" "$work/truth/$name-short.txt" "${sent[@]}" -- "${short[@]}"
done

# Scales a signal so that its RMS level is the given dBFS value.
at_rms() {  # in out dBFS
  local rms
  rms=$(sox "$1" -n stats 2>&1 | awk '/^RMS lev dB/ { print $4 }')
  sox "$1" "$2" gain "$(awk -v t="$3" -v r="$rms" 'BEGIN { printf "%.3f", t - r }')"
}

# A noise bed of `frames` frames; noise kinds get independent channels.
make_bed() {  # kind rate channels frames level out
  local kind=$1 rate=$2 ch=$3 len=$4 level=$5 out=$6
  case "$kind" in
    white) sox -R -r "$rate" -c "$ch" -n -b 32 "$out.tmp.wav" synth "${len}s" whitenoise ;;
    pink)  sox -R -r "$rate" -c "$ch" -n -b 32 "$out.tmp.wav" synth "${len}s" pinknoise ;;
    hum)   sox -r "$rate" -c "$ch" -n -b 32 "$out.tmp.wav" synth "${len}s" sine 50 ;;
    hiss)  sox -R -r "$rate" -c "$ch" -n -b 32 "$out.tmp.wav" synth "${len}s" whitenoise gain -12 highpass 12000 highpass 12000 ;;
    pink-white)  # a different bed on each side
      make_bed pink "$rate" 1 "$len" "$level" "$out.l.wav"
      make_bed white "$rate" 1 "$len" "$level" "$out.r.wav"
      sox -M "$out.l.wav" "$out.r.wav" "$out"
      rm -f "$out.l.wav" "$out.r.wav"
      return ;;
  esac
  if [ "$kind" = hum ]; then sox "$out.tmp.wav" "$out" gain -n "$level"   # hum: peak level
  else at_rms "$out.tmp.wav" "$out" "$level"; fi
  rm -f "$out.tmp.wav"
}

# A track in a condition's rate and channel count, as 32-bit float. Stereo:
# the right channel 2.5 dB lower and 0.4 ms later, like a second microphone a
# little further from the speaker.
place() {  # in out rate channels
  local fx=()
  if [ "$4" = 2 ]; then fx+=(remix 1 1v0.75); fi
  if [ "$3" != $R ]; then fx+=(rate -h "$3"); fi
  if [ "$4" = 2 ]; then fx+=(delay 0 0.0004); fi
  sox "$1" -b 32 -e floating-point "$2" "${fx[@]}"
}

# Fails unless every pause of a resampled clean file is still digital silence,
# but for a margin at each edge where the resampling filter rings (a few ms).
check_silent_pauses() {  # wav truth
  sox "$1" -t s32 - | od -An -v -td4 -w4 | awk -v rate="$(soxi -r "$1")" -v ch="$(soxi -c "$1")" \
    -v R=$R -v truth="$2" -v f="$1" -v margin=0.01 '
    BEGIN { while ((getline line < truth) > 0) { split(line, t, " "); n++; a[n] = t[1] / R + margin; b[n] = t[2] / R - margin }
            k = 1 }
    { s = int((NR - 1) / ch) / rate
      while (k <= n && s >= b[k]) k++
      if (k <= n && s > a[k] && $1 != 0) {
        printf "make-corpus.sh: sound at %.4f s inside a pause of %s\n", s, f > "/dev/stderr"; bad = 1; exit 1 } }
    END { exit bad }'
}

# name:kind:level:rate:channels:format:corpora
#   kind     speech (the track), short (its short-pause version), or a noise bed
#            added to the track at -3 dBFS peak: white, pink, hum, hiss, or
#            pink-white (pink on the left channel, white on the right)
#   level    dBFS: peak of the speech for speech and short; RMS of the bed
#            otherwise, peak for hum
#   format   16 or 24 (bit integer) or float (32 bit)
#   corpora  full, or small for a condition of both corpora
conditions=(
  "clean:speech:-3:44100:1:16:small"
  "quiet:speech:-30:44100:1:16:small"
  "white-60:white:-60:44100:1:16:small"
  "white-45:white:-45:44100:1:16:small"
  "pink-60:pink:-60:44100:1:16:small"
  "pink-50:pink:-50:44100:1:16:small"
  "hum-30:hum:-30:44100:1:16:small"
  "hiss12k:hiss:-40:44100:1:16:small"
  "clean-48k:speech:-3:48000:2:24:small"
  "clean-96k-float:speech:-3:96000:1:float:full"
  "clean-16k:speech:-3:16000:1:16:small"
  "clean-8k:speech:-3:8000:1:16:full"
  "clean-short:short:-3:44100:1:16:small"
  "white-45-48k:white:-45:48000:2:24:full"
  "pink-50-48k:pink:-50:48000:2:24:full"
  "hum-30-48k:hum:-30:48000:2:24:full"
  "hiss12k-48k:hiss:-40:48000:2:24:full"
  "pink-white-50:pink-white:-50:44100:2:16:full"
)

: >"$work/manifest.tsv"
for track in "${tracks[@]}"; do
  read -r name _ _ _ half <<<"$track"
  sox "$work/base/$name.wav" "$work/base/$name-n.wav" gain -n -3
  for c in "${conditions[@]}"; do
    IFS=: read -r cname kind level rate ch format corpora <<<"$c"
    if [ "$mode" = small ] && [ "$corpora" != small ]; then continue; fi
    mkdir -p "$work/$cname"
    dst="$work/$cname/$name.wav"
    tmp="$work/base/$name-$cname.wav"
    enc=(-b "$format")
    if [ "$format" = float ]; then enc=(-b 32 -e floating-point); fi
    truth="truth/$name.txt"
    case "$kind" in
      speech|short)
        src="$work/base/$name.wav"
        if [ "$kind" = short ]; then src="$work/base/$name-short.wav"; truth="truth/$name-short.txt"; fi
        place "$src" "$tmp" "$rate" "$ch"
        sox "$tmp" "${enc[@]}" "$dst" gain -n "$level"
        if [ "$rate" != $R ]; then check_silent_pauses "$dst" "$work/$truth"; fi ;;
      *)
        place "$work/base/$name-n.wav" "$tmp" "$rate" "$ch"
        make_bed "$kind" "$rate" "$ch" "$(soxi -s "$tmp")" "$level" "$tmp.bed.wav"
        sox -m -v 1 "$tmp" -v 1 "$tmp.bed.wav" "${enc[@]}" "$dst"
        rm -f "$tmp.bed.wav" ;;
    esac
    rm -f "$tmp"
    printf '%s\t%s\t%s\t%s\n' "$cname" "$cname/$name.wav" "$truth" "$half" >>"$work/manifest.tsv"
  done
done
rm -rf "$work/base"

rm -rf "$out"
mv "$work" "$out"
# Corpora of earlier versions of this script are of no further use.
for old in "$cache"/vxaudio-corpus-*-"$mode"; do
  [ "$old" = "$out" ] || rm -rf "$old" "$old.lock"
done
trap - EXIT
echo "$out"
