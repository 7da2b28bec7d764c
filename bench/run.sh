#!/usr/bin/env bash
# Runs every benchmark script (bench/bench-*.sh) against the given build tree.
# Each one prints its own figures side by side with the peer tool and the ratio.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build-bench}" && pwd)
for s in "$here"/bench-*.sh; do
  [ -e "$s" ] || continue
  echo "== $(basename "$s" .sh)"
  bash "$s" "$build"
done
