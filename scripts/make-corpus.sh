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
#   manifest.tsv            condition <TAB> wav (relative) <TAB> truth (relative)
#   truth/<track>.txt       one true pause per line: start end (frames at 44100 Hz)
#   <condition>/<track>.wav 44100 Hz mono 16-bit
#
# Every track is spoken sentences (espeak-ng, resampled to 44100 Hz, trimmed of
# their own leading and trailing silence) joined by pauses of known length, so
# the pause intervals are exact. Each condition is the same tracks with a level
# change or a noise bed added over the whole file, pauses included.
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

# track name, voice, speed (words per minute), shuffle seed
full_tracks=(
  "t1 en-us 165 11"
  "t2 en-gb+f3 150 23"
  "t3 en-us+m3 185 37"
  "t4 en-gb-scotland+f2 160 41"
  "t5 en-029+m2 140 53"
)
small_tracks=(
  "s1 en-us 165 7"
  "s2 en-gb-scotland+f2 160 19"
)
# Pause lengths between sentences, in seconds; each track uses all of them in
# its own order. Lengths below the scored 0.25 s are there to tempt detectors.
full_pauses=(0.1 0.15 0.2 0.25 0.3 0.35 0.4 0.5 0.6 0.8 1.0 1.25 1.5 2.0 2.5 3.0)
small_pauses=(0.1 0.2 0.25 0.3 0.4 0.5 0.8 1.0 1.5 3.0)
lead=0.6   # silence before the first and after the last sentence

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

mkdir -p "$work/truth" "$work/base"
idx=0
for track in "${tracks[@]}"; do
  read -r name voice speed seed <<<"$track"
  order=$(printf '%s\n' "${pauses[@]}" | shuf --random-source=<(yes "$seed"))
  mapfile -t order <<<"$order"
  n=$(( ${#order[@]} + 1 ))
  parts=()
  lead_s=$(samples $lead)
  silence "$lead_s" "$work/base/$name-lead.wav"
  parts+=("$work/base/$name-lead.wav")
  pos=$lead_s
  : >"$work/truth/$name.txt"
  echo "0 $lead_s" >>"$work/truth/$name.txt"
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
    parts+=("$work/base/$name-$i.wav")
    pos=$(( pos + $(soxi -s "$work/base/$name-$i.wav") ))
    if (( i < n - 1 )); then p=$(samples "${order[$i]}"); else p=$lead_s; fi
    silence "$p" "$work/base/$name-p$i.wav"
    parts+=("$work/base/$name-p$i.wav")
    echo "$pos $(( pos + p ))" >>"$work/truth/$name.txt"
    pos=$(( pos + p ))
  done
  idx=$(( idx + n ))
  sox "${parts[@]}" "$work/base/$name.wav"
  [ "$(soxi -s "$work/base/$name.wav")" -eq "$pos" ] || { echo "make-corpus.sh: length mismatch in $name" >&2; exit 1; }
done

# Scales a signal so that its RMS level is the given dBFS value.
at_rms() {  # in out dBFS
  local rms
  rms=$(sox "$1" -n stats 2>&1 | awk '/^RMS lev dB/ { print $4 }')
  sox "$1" "$2" gain "$(awk -v t="$3" -v r="$rms" 'BEGIN { printf "%.3f", t - r }')"
}

# name:kind:level (dBFS; peak of the speech for "speech", RMS of the bed otherwise)
conditions=(
  "clean:speech:-3"
  "quiet:speech:-30"
  "white-60:white:-60"
  "white-45:white:-45"
  "pink-60:pink:-60"
  "pink-50:pink:-50"
  "hum-30:hum:-30"
  "hiss12k:hiss:-40"
)

: >"$work/manifest.tsv"
for track in "${tracks[@]}"; do
  read -r name _ <<<"$track"
  base="$work/base/$name.wav"
  len=$(soxi -s "$base")
  sox "$base" "$work/base/$name-n.wav" gain -n -3
  for c in "${conditions[@]}"; do
    IFS=: read -r cname kind level <<<"$c"
    mkdir -p "$work/$cname"
    dst="$work/$cname/$name.wav"
    bed="$work/base/$name-bed.wav"
    case "$kind" in
      speech) sox "$base" "$dst" gain -n "$level" ;;
      white) sox -R -r $R -c 1 -n -b 32 "$bed.tmp.wav" synth "${len}s" whitenoise ;;
      pink)  sox -R -r $R -c 1 -n -b 32 "$bed.tmp.wav" synth "${len}s" pinknoise ;;
      hum)   sox -r $R -c 1 -n -b 32 "$bed.tmp.wav" synth "${len}s" sine 50 ;;
      hiss)  sox -R -r $R -c 1 -n -b 32 "$bed.tmp.wav" synth "${len}s" whitenoise gain -12 highpass 12000 highpass 12000 ;;
    esac
    if [ "$kind" != speech ]; then
      if [ "$kind" = hum ]; then sox "$bed.tmp.wav" "$bed" gain -n "$level"   # hum: peak level
      else at_rms "$bed.tmp.wav" "$bed" "$level"; fi
      sox -m -v 1 "$work/base/$name-n.wav" -v 1 "$bed" -b 16 "$dst"
      rm -f "$bed.tmp.wav" "$bed"
    fi
    printf '%s\t%s\t%s\n' "$cname" "$cname/$name.wav" "truth/$name.txt" >>"$work/manifest.tsv"
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
