#!/bin/sh
# Runs the example host on the bundled recording, or on a generated tone
# with a pause when there is none; playback goes to a file, not a device.
# Usage: run-example.sh <vxhost> <module library> <source dir> <work dir>
set -eu
host=$1 module=$2 src=$3 work=$4
mkdir -p "$work"
sound=$(ls "$src"/examples/*.wav "$src"/examples/*.flac 2>/dev/null | head -n 1 || true)
if [ -z "$sound" ]; then
  sound=$work/example.wav
  sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 1 sine 440 vol 0.5
  sox -n -r 44100 -c 2 -b 16 "$work/pause.wav" trim 0 1
  sox "$work/tone.wav" "$work/pause.wav" "$work/tone.wav" "$sound"
fi
# ALSA reads this file alone: not its own alsa.conf, which would bring in the
# machine's cards and plugins (PulseAudio, JACK) for PortAudio to probe.
cat > "$work/asound.conf" <<CONF
pcm.null { type null }
pcm.default { type file slave.pcm null format wav file "$work/played.wav" hint.description "vxaudio example output" }
CONF
# Nor does PortAudio's JACK probe start or reach a JACK server.
ALSA_CONFIG_PATH=$work/asound.conf JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=vxaudio-test-none \
  exec "$host" "$module" "$sound"
