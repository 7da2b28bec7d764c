#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/install-deps.sh [build|test|bench|fuzz|all]   (default: test)
set -euo pipefail

build_pkgs=(g++ make cmake pkg-config libsndfile1-dev portaudio19-dev libasound2-dev
            libnspr4-dev libcli11-dev nlohmann-json3-dev libsoxr-dev
            libcairo2-dev libfontconfig-dev fonts-dejavu-core  # pictures: drawing, label font
            libsleef-dev)  # vectorised elementary functions for the fast analysis
test_pkgs=(libgtest-dev libgmock-dev espeak-ng sox flac parallel libasound2-plugins  # desktop ALSA plugins: the playback tests must not load them
           groff-base man-db)  # the install check renders the manual page
bench_pkgs=(libbenchmark-dev libfftw3-dev ffmpeg sox espeak-ng time)
# clang's -fsanitize=fuzzer runtime (libFuzzer) comes with libclang-rt.
fuzz_pkgs=(clang libclang-rt-14-dev)

case "${1:-test}" in
  build) want=("${build_pkgs[@]}") ;;
  test)  want=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
  bench) want=("${build_pkgs[@]}" "${bench_pkgs[@]}") ;;
  fuzz)  want=("${build_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
  all)   want=("${build_pkgs[@]}" "${test_pkgs[@]}" "${bench_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
  *) echo "install-deps.sh: unknown group '$1' (build, test, bench, fuzz or all)" >&2; exit 2 ;;
esac

# Node packages the tests load (package.json, pinned by package-lock.json):
# installed again whenever the lock file is newer than node_modules.
if [[ "${1:-test}" == test || "${1:-test}" == all ]]; then
  root="$(cd "$(dirname "$0")/.." && pwd)"
  if [ ! -d "$root/node_modules" ] || [ "$root/package-lock.json" -nt "$root/node_modules" ]; then
    if command -v npm >/dev/null 2>&1; then
      echo "install-deps.sh: npm ci" >&2
      (cd "$root" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    else
      echo "install-deps.sh: npm not found; the waveform-data test will be skipped" >&2
    fi
  fi
fi

missing=()
for p in "${want[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "install-deps.sh: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# The package lists may be absent on a fresh machine; refresh them once.
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
