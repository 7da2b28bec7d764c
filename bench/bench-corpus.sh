#!/usr/bin/env bash
# Silence detection accuracy on the speech/pause corpus: vxaudio with its
# automatic thresholds and default durations against ffmpeg's silencedetect at
# its best single setting (one noise level and duration for all conditions,
# chosen on the tune half of the tracks), both scored the same way on the
# report half. Prints one table: recall, precision, F1 and the median edge
# error of matched pauses, per condition; then per tool the mean F1, the
# weakest file and the median edge error over the clean conditions.
# Usage: bench/bench-corpus.sh BUILD_DIR [corpus_eval options, e.g. --vxaudio-args "..."]
#        (a build with -DVX_BUILD_BENCH=ON)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build-bench}" && pwd)
shift || true
for t in "$build/vxaudio" "$build/corpus_eval"; do
  [ -x "$t" ] || { echo "bench-corpus.sh: $t is missing (build with -DVX_BUILD_BENCH=ON)" >&2; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "bench-corpus.sh: ffmpeg is missing (scripts/install-deps.sh bench)" >&2; exit 1; }

corpus=$("$here/../scripts/make-corpus.sh" full)
n=$(wc -l <"$corpus/manifest.tsv")
echo "corpus: $corpus ($n files, $(cut -f1 "$corpus/manifest.tsv" | sort -u | wc -l) conditions)"
"$build/corpus_eval" "$corpus" --vxaudio "$build/vxaudio" --ffmpeg --half report \
  --jobs "${VX_BENCH_JOBS:-2}" "$@"
