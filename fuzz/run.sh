#!/usr/bin/env bash
# Runs the libFuzzer target of a fuzz build for a number of seconds, from a
# freshly generated seed corpus plus the corpus kept from earlier runs.
#   fuzz/run.sh BUILD_DIR [SECONDS]      (make fuzz FUZZ_SECONDS=...)
# A finding stops the run with its reproducer in BUILD_DIR/fuzz-artifacts/;
# replay it with BUILD_DIR/vxfuzz_open FILE.
set -euo pipefail
build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS]}
seconds=${2:-300}
here=$(cd "$(dirname "$0")" && pwd)

seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"
# The generator is a tool, not under test (libvorbisenc keeps a block of
# its set-up when libsndfile writes Ogg).
ASAN_OPTIONS=detect_leaks=0 "$build/vxfuzz_corpus" "$seeds"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# 20 kB holds every seed; a slow input (FLAC and Ogg decode a few bytes into
# minutes of audio) is a finding past 30 s. The target's own output is shut
# (the decoders behind libsndfile print a line per damaged frame); libFuzzer
# and the sanitizers still report.
exec "$build/vxfuzz_open" -max_total_time="$seconds" -max_len=20000 -timeout=30 \
  -rss_limit_mb=2048 -close_fd_mask=3 -artifact_prefix="$artifacts/" -print_final_stats=1 \
  "$corpus" "$seeds"
