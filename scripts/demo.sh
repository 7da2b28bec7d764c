#!/usr/bin/env bash
# What `make demo` runs once the build is done: vxaudio on the bundled
# example recording. Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
vx="$build/vxaudio"
example="$here/examples/speech.flac"
[ -x "$vx" ] || { echo "demo.sh: $vx is not built (run make)" >&2; exit 1; }
[ -f "$example" ] || { echo "demo.sh: $example is missing (scripts/make-example.sh makes it)" >&2; exit 1; }
cd "$here"

echo "\$ vxaudio info examples/speech.flac"
"$vx" info --quiet examples/speech.flac
echo

# The overview as text: 72 columns, each drawn as a vertical bar from its
# minimum to its maximum on a scale of -7..7, every second row drawn.
echo "\$ vxaudio graph examples/speech.flac --columns 72 --height 7 --format csv   (drawn)"
"$vx" graph --quiet examples/speech.flac --columns 72 --height 7 --format csv |
  awk -F, 'NR > 1 { lo[NR-2] = $2; hi[NR-2] = $3; n = NR-1 }
    END {
      for (row = 6; row >= -6; row -= 2) {
        line = ""
        for (c = 0; c < n; c++) {
          if (lo[c] <= row && hi[c] >= row) line = line "#"
          else if (row == 0) line = line "-"
          else line = line " "
        }
        printf "  %s\n", line
      }
    }'
echo

# Silences, with thresholds the detector derives from the file's own loudness.
echo "\$ vxaudio silence examples/speech.flac"
"$vx" silence examples/speech.flac
echo

# The waveform as a picture, with the silences above shaded.
png="$(cd "$build" && pwd)/speech.png"
echo "\$ vxaudio graph examples/speech.flac --format png -o $png --silences"
"$vx" graph --quiet examples/speech.flac --format png -o "$png" --silences
echo "The picture is at $png"
