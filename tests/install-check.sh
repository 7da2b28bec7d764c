#!/usr/bin/env bash
# Installs the build tree into a staging root and checks what a user gets:
# the files in their places, a program and a component that run from there,
# headers that compile alone, a manual page that renders cleanly and matches
# the program, and a bash completion that completes.
# Usage: install-check.sh CMAKE CXX BUILD_DIR WORK_DIR
set -euo pipefail
cmake=$1 cxx=$2 build=$3 work=$4
fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

rm -rf "$work"
mkdir -p "$work"
root=$work/root prefix=$root/usr/local
DESTDIR=$root "$cmake" --install "$build" --prefix /usr/local >"$work/install.log"

# ---- files and where they go ----
vx=$prefix/bin/vxaudio man=$prefix/share/man/man1/vxaudio.1
completion=$prefix/share/bash-completion/completions/vxaudio
module=$(find "$prefix" -name libvxAudioFile.so)
[ -x "$vx" ] || fail "bin/vxaudio missing"
[[ $module == "$prefix"/lib*/libvxAudioFile.so ]] || fail "libvxAudioFile.so not in lib: '$module'"
for f in "$man" "$completion" "$prefix/include/vxaudio/vxIAudioFile.h"; do
  [ -f "$f" ] || fail "${f#"$prefix"/} missing"
done
[ "$fails" -eq 0 ] || exit 1
[ "$("$vx" --version)" = "$("$build/vxaudio" --version)" ] || fail "installed vxaudio does not run"

# The component loads its runtime from beside itself, not from the build tree.
deps=$(env -u LD_LIBRARY_PATH ldd "$module")
if grep -q 'not found' <<<"$deps" || ! grep -qF "libvxxpcom.so => ${module%/*}/libvxxpcom.so" <<<"$deps"; then
  fail "libvxAudioFile.so does not find its libraries where it is installed: $deps"
fi

# A host includes the installed headers and nothing else.
cat >"$work/host.cpp" <<'EOF'
#include "vxIAudioFile.h"
#include "nsXPCOM.h"
#include "nsCOMPtr.h"
#include "nsProxyImpl.h"
int main() { nsCOMPtr<vxIAudioFile> file; return file ? 1 : 0; }
EOF
"$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include/vxaudio" "$work/host.cpp" ||
  fail "the installed headers do not compile on their own"

# ---- manual page ----
if ! groff -man -Tutf8 -ww -z "$man" 2>"$work/groff.err" || [ -s "$work/groff.err" ]; then
  fail "the manual page does not render cleanly: $(cat "$work/groff.err")"
fi
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$man" 2>/dev/null >"$work/man.txt" || fail "man -l fails"
  for heading in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS "EXIT STATUS" EXAMPLES; do
    grep -qx "$heading" "$work/man.txt" || fail "man page has no $heading section"
  done
fi
# Made from this very program: every command, and in each command's part of
# the page every option its --help mentions (--help itself is told once).
commands=$("$vx" --help | sed -n '/^Subcommands:/,$ s/^  \([a-z][a-z-]*\) .*/\1/p')
[ -n "$commands" ] || fail "vxaudio --help lists no commands"
for c in $commands; do
  part=$(sed -n "/^\.SS $c\$/,/^\.S[SH] /p" "$man")
  [ -n "$part" ] || { fail "man page has no part for $c"; continue; }
  for o in $("$vx" "$c" --help | grep -o -- '--[a-z][a-z-]*' | grep -vx -- --help | sort -u); do
    grep -qF -- "${o//-/\\-}" <<<"$part" || fail "man page: $c lacks $o"
  done
done

# ---- bash completion ----
mkdir -p "$work/files/piecesdir"
touch "$work/files/speech.flac" "$work/files/speech-notes.txt"
complete_line() {  # WORDS...: what TAB offers after them, one per line
  (cd "$work/files" && PATH=$prefix/bin:$PATH bash --norc --noprofile -c '
    source "$0"
    complete -p vxaudio | grep -q -- "-F _vxaudio" || exit 3
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    _vxaudio
    printf "%s\n" "${COMPREPLY[@]}"' "$completion" vxaudio "$@")
}
expect() {  # WANT WORDS...
  local want=$1 got
  shift
  got=$(complete_line "$@" | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "completion of 'vxaudio $*': got '$got', want '$want'"
}
expect "$(sort <<<"$commands" | tr '\n' ' ')" ""
expect "silence " sil
expect "--files-from --format " silence --f
# The values an option is checked against, as its help states them.
formats=$("$vx" silence --help | sed -n 's/^ *--format TEXT:{\([^}]*\)}.*/\1/p' | tr , '\n' | sort)
[ -n "$formats" ] || fail "silence --help has no enumerated --format"
expect "$(tr '\n' ' ' <<<"$formats")" silence --format ""
expect "--format=$(head -n1 <<<"$formats") " silence --format="$(head -n1 <<<"$formats")"
expect "speech-notes.txt speech.flac " info spe
expect "piecesdir " split speech.flac ""
expect "piecesdir " split --min-silence 0.5 speech.flac p

[ "$fails" -eq 0 ] && echo "install check: all passed"
exit $((fails > 0))
