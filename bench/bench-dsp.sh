#!/usr/bin/env bash
# Times the transform against FFTW's real-to-complex one at 512, 1024 and
# 4096 points, and one loudness frame against its 5 microsecond budget.
set -euo pipefail
build=${1:-build-bench}
bin="$build/bench/dsp_bench"
[ -x "$bin" ] || bin="$build/dsp_bench"
csv=$("$bin" --benchmark_format=csv --benchmark_repetitions=5 \
      --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 2>/dev/null)
# Medians in ns: name,iterations,real_time,cpu_time,...
echo "$csv" | awk -F, '
  /_median"?,/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    split(name, p, "/"); t[p[1] "/" p[2]] = $4
  }
  END {
    printf "%-8s %12s %12s %8s\n", "n", "fast ns", "fftw ns", "ratio"
    split("512 1024 4096", ns, " ")
    for (i = 1; i <= 3; i++) {
      a = t["BM_fast/" ns[i]]; b = t["BM_fftw_r2c/" ns[i]]
      printf "%-8s %12.1f %12.1f %7.2fx%s\n", ns[i], a, b, a / b, (ns[i] == 512 ? "  (goal <= 3x)" : "")
    }
    f = t["BM_SpezLautheitByFFT/"]
    printf "SpezLautheitByFFT frame (512 points, 25 bands, 44.1 kHz): %.2f us (goal < 5 us, %.0fx real time per 5 ms hop)\n", f / 1000, 5e6 / f
  }'
