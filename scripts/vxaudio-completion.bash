# bash completion for vxaudio: commands, each command's options, the values
# of options that take one of a few words (--format, --thresholds, ...), and
# file names for files, directories for OUTDIR.
#
# Installed as share/bash-completion/completions/vxaudio, where
# bash-completion loads it on first use; it also works sourced on its own.
#
# Everything is read from the --help of the very vxaudio being completed,
# at completion time (a few milliseconds), so the completion matches that
# program whatever its version, an installed one or build/vxaudio alike.
# scripts/make-man.sh reads the help with the same functions.

# The help's column where descriptions start: where "Print this help..."
# stands on the -h,--help line.
_vxaudio_desc_column() {
  local line re='^  -h,--help +'
  while IFS= read -r line; do
    [[ $line =~ $re ]] && { echo "${#BASH_REMATCH[0]}"; return; }
  done <<<"$1"
  echo 30
}

# One line per entry of the help's sections: SECTION<TAB>NAME<TAB>DESCRIPTION,
# a description that continues on further lines joined with spaces. A name
# too long for its column stands alone, its description on the next lines.
_vxaudio_entries() {
  local help=$1 col section="" name="" desc="" i line next pad nb='[! ]*'
  local -a lines
  col=$(_vxaudio_desc_column "$help")
  printf -v pad '%*s' "$col" ''
  mapfile -t lines <<<"$help"
  for ((i = 0; i < ${#lines[@]}; i++)); do
    line=${lines[i]}
    next=${lines[i + 1]:-}
    if [[ $line =~ ^[A-Za-z][^:]*:$ ]]; then
      [ -n "$name" ] && printf '%s\t%s\t%s\n' "$section" "$name" "$desc"
      name="" desc="" section=${line%:}
    elif [ -n "$section" ] && [[ $line == "$pad"$nb ]]; then
      desc+="${desc:+ }${line#"$pad"}"
    elif [ -n "$section" ] && [[ $line == "  "$nb ]]; then
      [ -n "$name" ] && printf '%s\t%s\t%s\n' "$section" "$name" "$desc"
      if [[ ${#line} -gt $col && $next == "$pad"$nb ]] || [ "${line:col-1:1}" != " " ]; then
        name=${line#  } desc=""
      else
        name=${line:2:col-2} desc=${line:col}
      fi
      name=${name%"${name##*[! ]}"}
    fi
  done
  [ -n "$name" ] && printf '%s\t%s\t%s\n' "$section" "$name" "$desc"
  return 0
}

# An option's help name cut into its parts, in _vxaudio_flags ("-j,--jobs"),
# _vxaudio_form (what its value is: "INT:INT in [0 - 1024]", "TEXT:{csv,json}",
# "FLOAT=0.15"; empty for a flag) and _vxaudio_notes ("Needs: --silences",
# "Excludes: --json", "(Env:NAME)").
_vxaudio_split_option() {
  local name=$1 s m pre cut
  _vxaudio_flags=${name%% *} _vxaudio_form="" _vxaudio_notes=""
  [[ $name == *" "* ]] || return 0
  s=" ${name#* }" cut=${#s}
  for m in " (Env:" " Needs:" " Excludes:"; do
    pre=${s%%"$m"*}
    ((${#pre} < cut)) && cut=${#pre}
  done
  ((cut > 0)) && _vxaudio_form=${s:1:cut-1}
  _vxaudio_notes=${s:cut+1}
  return 0
}

# The words an option's value is one of, space-separated, or nothing. From
# the option's check ("TEXT:{csv,json}") or else from a description that is,
# or ends in, such a list: "json, dat, csv or png; default: ...",
# "1 (mono mixdown) or 2 (default)", "Format (default wav): aif, au, wav".
_vxaudio_choices() {
  local form=$1 desc=$2 word='[[:alnum:]._-]+'
  local list="^$word((, $word)+|(, $word)* or $word)\$"
  local -a words
  if [[ $form =~ :\{([^}]*)\} ]]; then
    echo "${BASH_REMATCH[1]//,/ }"
    return
  fi
  while [[ $desc =~ \([^\(\)]*\) ]]; do
    desc=${desc/"${BASH_REMATCH[0]}"/}
  done
  desc=${desc%%;*}
  desc=${desc##*: }
  read -r -a words <<<"$desc"  # squeeze and trim the spaces left where brackets were
  desc=${words[*]}
  desc=${desc// ,/,}
  if [[ $desc =~ $list ]]; then
    desc=${desc//,/}
    echo "${desc// or / }"
  fi
}

_vxaudio() {
  local prog=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} cword=$COMP_CWORD
  local -a words=("${COMP_WORDS[@]}")
  prog=${prog/#\~/$HOME}
  COMPREPLY=()

  # "--format=cs": bash splits at "=" when it is a word break (the default).
  local valueof=""
  if [[ $cur == "=" && $cword -ge 2 ]]; then
    valueof=${words[cword - 1]} cur=""
  elif [[ ${words[cword - 1]:-} == "=" && $cword -ge 3 ]]; then
    valueof=${words[cword - 2]}
  elif [[ $cur == --*=* ]]; then
    valueof=${cur%%=*} cur=${cur#*=}
  fi

  local top section name desc cmd="" at=0 i
  local -a commands=() topopts=()
  top=$("$prog" --help 2>/dev/null) || return 0
  while IFS=$'\t' read -r section name desc; do
    case $section in
      Subcommands) commands+=("$name") ;;
      Positionals) ;;
      *) topopts+=("${name%% *}") ;;
    esac
  done < <(_vxaudio_entries "$top")
  for ((i = 1; i < cword; i++)); do
    for name in "${commands[@]}"; do
      [[ ${words[i]} == "$name" ]] && { cmd=$name at=$i; break 2; }
    done
  done
  if [ -z "$cmd" ]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "${topopts[*]//,/ }" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
    fi
    return 0
  fi

  # The command's options: every spelling, whether it takes a value, and
  # what to offer for that value.
  local help flags form f
  local -a positionals=() optnames=()
  local -A takes=() forms=() descs=()
  help=$("$prog" "$cmd" --help 2>/dev/null) || return 0
  while IFS=$'\t' read -r section name desc; do
    case $section in
      Subcommands) ;;
      Positionals) positionals+=("$name") ;;
      *)
        _vxaudio_split_option "$name"
        flags=$_vxaudio_flags form=$_vxaudio_form
        for f in ${flags//,/ }; do
          optnames+=("$f")
          if [ -n "$form" ]; then
            takes[$f]=${form%%[:= ]*} forms[$f]=$form descs[$f]=$desc
          fi
        done
        ;;
    esac
  done < <(_vxaudio_entries "$help")

  if [ -z "$valueof" ] && [[ $cword -gt $((at + 1)) && $cur != -* ]]; then
    local prev=${words[cword - 1]}
    [[ $prev == -* && -n ${takes[$prev]:-} ]] && valueof=$prev
  fi
  if [ -n "$valueof" ]; then
    local choices="" prefix=""
    # One word "--format=cs" (no "=" word break) is replaced whole.
    [[ ${words[cword]} == --*=* ]] && prefix="$valueof="
    [ -n "${takes[$valueof]:-}" ] && choices=$(_vxaudio_choices "${forms[$valueof]}" "${descs[$valueof]}")
    if [ -n "$choices" ]; then
      mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$choices" -- "$cur")
    elif [[ ${takes[$valueof]:-} == TEXT ]]; then
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -P "$prefix" -f -- "$cur")
    fi
    return 0
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${optnames[*]}" -- "$cur")
    return 0
  fi

  # A positional: which one is it? Options and their values do not count.
  local n=0 w
  for ((i = at + 1; i < cword; i++)); do
    w=${words[i]}
    if [[ $w == "=" ]]; then
      i=$((i + 1))
    elif [[ $w == -* ]]; then
      [[ $w != *=* && -n ${takes[$w]:-} && ${words[i + 1]:-} != "=" ]] && i=$((i + 1))
    elif [ -n "$w" ]; then
      n=$((n + 1))
    fi
  done
  local which=""
  if [ ${#positionals[@]} -gt 0 ]; then
    ((n < ${#positionals[@]})) && which=${positionals[n]} || which=${positionals[-1]}
  fi
  compopt -o filenames 2>/dev/null
  if [[ ${which%% *} == *DIR* ]]; then
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}

complete -F _vxaudio vxaudio
