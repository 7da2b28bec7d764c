#!/usr/bin/env bash
# Makes examples/speech.flac: a short spoken text with pauses of different
# lengths between the phrases, 44.1 kHz mono 16-bit FLAC. The pauses are
# what the silence detector should find; the speech gives the waveform
# overview something to draw.
# Usage: scripts/make-example.sh [OUT]   (needs espeak-ng and sox)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/examples/speech.flac}
for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null || { echo "make-example.sh: $tool is missing (scripts/install-deps.sh test)" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# SSML breaks give exact pause lengths: 0.4 s (too short to count as a
# silence with the default minimum), 1 s and 2 s.
cat >"$tmp/text.xml" <<'SSML'
<speak>
One, two, three. <break time="1000ms"/>
This is a recording made for testing. <break time="2000ms"/>
Short pause <break time="400ms"/> and a longer one. <break time="1500ms"/>
The end.
</speak>
SSML

espeak-ng -m -v en-us -s 150 -w "$tmp/speech.wav" -f "$tmp/text.xml"
# Half a second of lead-in and tail; no dither so the pauses stay exact zeros
# and the file comes out the same on every run.
sox -D "$tmp/speech.wav" --comment "vxaudio example: spoken text with pauses" -r 44100 -b 16 -c 1 "$tmp/out.flac" pad 0.5 0.5
mkdir -p "$(dirname "$out")"
mv "$tmp/out.flac" "$out"
echo "make-example.sh: wrote $out ($(stat -c %s "$out") bytes)"
