# Sourced by the benchmarks that need speech-like sound.
#
# speech_like_minute OUT SEED CHANNELS: one minute (44.1 kHz, 16-bit) of
# syllable-rate bursts of band-limited pink noise (0.3 to 3 s) and pauses
# (0.15 to 1.5 s) over a noise floor 70 dB down. The seed fixes every length
# and level, so the same seed makes the same file on every run.
speech_like_minute() {
  local out=$1 seed=$2 channels=$3 tmp total=0 i=0 burst pause parts=()
  tmp=$(mktemp -d)
  RANDOM=$seed
  while [ "$total" -lt 60000 ]; do
    burst=$((300 + RANDOM % 2700))
    pause=$((150 + RANDOM % 1350))
    [ $((total + burst + pause)) -gt 60000 ] && { burst=$((60000 - total)); pause=0; }
    sox -r 44100 -c "$channels" -n -b 16 "$tmp/b$i.wav" synth "$((burst * 441 / 10))s" \
      pinknoise sinc 120-5000 tremolo "$((3 + RANDOM % 4))" 85 gain "$((-(8 + RANDOM % 14)))"
    parts+=("$tmp/b$i.wav")
    if [ "$pause" -gt 0 ]; then
      sox -r 44100 -c "$channels" -n -b 16 "$tmp/p$i.wav" synth "$((pause * 441 / 10))s" \
        whitenoise gain -70
      parts+=("$tmp/p$i.wav")
    fi
    total=$((total + burst + pause))
    i=$((i + 1))
  done
  sox "${parts[@]}" "$out"
  rm -rf "$tmp"
}
