#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/install-deps.sh [build|test|bench|fuzz|all]   (default: test)
set -euo pipefail

build_pkgs=(g++ make cmake pkg-config libsndfile1-dev portaudio19-dev libasound2-dev
            libnspr4-dev libcli11-dev nlohmann-json3-dev libsoxr-dev
            libcairo2-dev libfontconfig-dev fonts-dejavu-core  # pictures: drawing, label font
            libsleef-dev  # vectorised elementary functions for the fast analysis
            nodejs)  # npm installs the review page's libraries, embedded at build time
test_pkgs=(libgtest-dev libgmock-dev espeak-ng sox flac parallel libasound2-plugins  # desktop ALSA plugins: the playback tests must not load them
           groff-base man-db  # the install check renders the manual page
           chromium)  # the review page is tested in it (headless)
bench_pkgs=(libbenchmark-dev libfftw3-dev ffmpeg sox espeak-ng time
            chromium)  # the review page's drawing time
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

missing=()
for p in "${want[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Debian's nodejs comes without npm; other builds of it bring their own.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "install-deps.sh: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  # The package lists may be absent on a fresh machine; refresh them once.
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Node packages (package.json, pinned by package-lock.json): the review
# page's libraries, which the build embeds, in every group that builds; the
# tools that test the page (puppeteer-core, eslint) with the tests. Installed
# again whenever the lock file is newer than what npm installed.
case "${1:-test}" in
  test|bench|all) npm_args=(); need=puppeteer-core ;;
  *)        npm_args=(--omit=dev); need=peaks.js ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
stamp="$root/node_modules/.package-lock.json"
if [ ! -d "$root/node_modules/$need" ] || [ ! -f "$stamp" ] ||
   [ "$root/package-lock.json" -nt "$stamp" ]; then
  echo "install-deps.sh: npm ci ${npm_args[*]}" >&2
  (cd "$root" && npm ci "${npm_args[@]}" --no-audit --no-fund --loglevel=error >/dev/null)
fi
