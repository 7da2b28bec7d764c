#!/usr/bin/env bash
# Times the transform against FFTW's real-to-complex one at 512, 1024 and
# 4096 points, and one loudness frame (the model's arithmetic and the fast
# one) against its 5 microsecond budget.
# Repetitions of all benchmarks are interleaved so that a change in machine
# load hits both sides alike; the fastest and the median repetition are shown.
set -euo pipefail
build=${1:-build-bench}
bin="$build/bench/dsp_bench"
[ -x "$bin" ] || bin="$build/dsp_bench"
csv=$("$bin" --benchmark_format=csv --benchmark_repetitions=10 \
      --benchmark_enable_random_interleaving=true \
      --benchmark_report_aggregates_only=true --benchmark_min_time=0.05 2>/dev/null)
# CPU time in ns per aggregate: name,iterations,real_time,cpu_time,...
echo "$csv" | awk -F, '
  /_(min|median)"?,/ {
    name = $1; gsub(/"/, "", name)
    stat = name; sub(/.*_/, "", stat); sub(/_(min|median)$/, "", name)
    split(name, p, "/"); t[stat, p[1] "/" p[2]] = $4
  }
  END {
    printf "%-6s %22s %22s %14s\n", "n", "fast ns (min/median)", "fftw ns (min/median)", "ratio min/med"
    split("512 1024 4096", ns, " ")
    for (i = 1; i <= 3; i++) {
      a = "BM_fast/" ns[i]; b = "BM_fftw_r2c/" ns[i]
      printf "%-6s %10.1f / %9.1f %10.1f / %9.1f %6.2fx / %5.2fx%s\n", ns[i],
             t["min", a], t["median", a], t["min", b], t["median", b],
             t["min", a] / t["min", b], t["median", a] / t["median", b],
             (ns[i] == 512 ? "  (goal <= 3x)" : "")
    }
    f = "BM_SpezLautheitByFFT/"
    printf "SpezLautheitByFFT frame (512 points, 25 bands, 44.1 kHz): %.2f us min, %.2f us median (goal < 5 us; %.0fx real time per 5 ms hop)\n",
           t["min", f] / 1000, t["median", f] / 1000, 5e6 / t["median", f]
    g = "BM_SpezLautheitByFFTFast/"
    printf "the same frame, fast arithmetic (what vxaudio runs):  %.2f us min, %.2f us median\n",
           t["min", g] / 1000, t["median", g] / 1000
  }'
