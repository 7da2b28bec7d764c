#!/usr/bin/env bash
# The review page of a one-hour recording: how long headless Chromium takes
# to open and draw it (goal: under 3 s), and how long vxaudio takes to write it.
# Usage: bench/bench-review.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build/bench-data"
rc=0
node "$here/review-bench.mjs" "$build/vxaudio" "$build/bench-data" "$here/.." || rc=$?
# 1: over the goal (the line says so); 77: Chromium or puppeteer-core missing.
[ "$rc" -eq 0 ] || [ "$rc" -eq 1 ] || [ "$rc" -eq 77 ] || exit "$rc"
