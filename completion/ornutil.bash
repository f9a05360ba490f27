# bash completion for ornutil(1)                          -*- shell-script -*-
#
# Completes the commands, their options and actions, file names where a FILE
# is expected, and for `ornutil config get|set|add|delete|keys FILE` the
# stanza names of FILE and, after the stanza, its keys.
#
# Stanza names and keys are read by the tool itself (`ornutil config stanzas
# FILE`, `ornutil config keys FILE STANZA`), so this script never parses the
# file format. Note that reading a configuration file through the tool is a
# load like any other: a file written by an earlier release is migrated and
# stored when it is read, here as by every program of the product. Pressing
# Tab on an old file therefore upgrades it. Nothing is read for a FILE that is
# not a regular file one may read.
#
# Works with plain bash (compgen, complete, compopt); the bash-completion
# package's _init_completion is used when it is loaded.

_ornutil_commands="path config compliance msg base64 scramble unscramble quote format check object"
_ornutil_config_actions="get set add delete stanzas keys migrate"

# A word as the shell will pass it: a leading ~/ expanded, quotes and
# backslash escapes removed. Never evaluates the word.
_ornutil_dequote() {
  local w=$1
  case $w in
    \'*) w=${w#\'}; w=${w%\'} ;;
    \"*) w=${w#\"}; w=${w%\"} ;;
    *) w=$(printf '%s' "$w" | sed 's/\\\(.\)/\1/g') ;;
  esac
  # A literal "~/" is what is matched here.
  # shellcheck disable=SC2088
  case $w in
    "~") w=$HOME ;;
    "~/"*) w=$HOME/${w#"~/"} ;;
  esac
  printf '%s' "$w"
}

# COMPREPLY from lines of text (one candidate a line) that start with the
# word being completed; candidates are quoted for the command line.
_ornutil_reply_lines() {
  local lines=$1 prefix line
  prefix=$(_ornutil_dequote "$cur")
  COMPREPLY=()
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    case $line in
      "$prefix"*) COMPREPLY+=("$(printf '%q' "$line")") ;;
    esac
  done <<<"$lines"
}

_ornutil_reply_words() {
  mapfile -t COMPREPLY < <(compgen -W "$1" -- "$cur")
}

_ornutil_reply_files() {
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

# The tool as typed (so that a tool outside PATH completes from itself).
_ornutil_tool() {
  local tool
  tool=$(_ornutil_dequote "${words[0]}")
  case $tool in
    */*) [ -x "$tool" ] || tool=ornutil ;;
    *) command -v "$tool" >/dev/null 2>&1 || tool=ornutil ;;
  esac
  printf '%s' "$tool"
}

_ornutil_config() {
  local action=${words[2]} file stanza tool
  if [ "$cword" -eq 2 ]; then
    _ornutil_reply_words "$_ornutil_config_actions"
    return
  fi
  if [ "$cword" -eq 3 ]; then
    _ornutil_reply_files
    return
  fi
  file=$(_ornutil_dequote "${words[3]}")
  [ -f "$file" ] && [ -r "$file" ] || return
  tool=$(_ornutil_tool)
  case $action,$cword in
    get,4 | set,4 | add,4 | delete,4 | keys,4)
      _ornutil_reply_lines "$("$tool" config stanzas "$file" 2>/dev/null </dev/null)" ;;
    get,5 | set,5 | add,5 | delete,5)
      stanza=$(_ornutil_dequote "${words[4]}")
      _ornutil_reply_lines "$("$tool" config keys "$file" "$stanza" 2>/dev/null </dev/null)" ;;
  esac
}

_ornutil() {
  # prev is set by _init_completion; this function does not need it.
  # shellcheck disable=SC2034
  local cur prev words cword
  if declare -F _init_completion >/dev/null 2>&1; then
    _init_completion -n =: || return
  else
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${COMP_WORDS[COMP_CWORD]}
  fi
  COMPREPLY=()

  if [ "$cword" -eq 1 ]; then
    case $cur in
      -*) _ornutil_reply_words "--help --version" ;;
      *) _ornutil_reply_words "$_ornutil_commands" ;;
    esac
    return
  fi

  local command=${words[1]}
  if [[ $cur == -* ]]; then
    case $command in
      base64) _ornutil_reply_words "-d --decode --help" ;;
      quote) [ "$cword" -eq 2 ] && _ornutil_reply_words "--pattern --value --help" ;;
      check) [ "$cword" -eq 2 ] && _ornutil_reply_words "--pattern --name --reject --help" ;;
      path) [ "$cword" -eq 2 ] && _ornutil_reply_words "--all --help" ;;
      *) [ "$cword" -eq 2 ] && _ornutil_reply_words "--help" ;;
    esac
    return
  fi

  case $command in
    config) _ornutil_config ;;
    base64) _ornutil_reply_files ;;
    object)
      if [ "$cword" -eq 2 ]; then
        _ornutil_reply_words "dump"
      elif [ "$cword" -eq 3 ] && [ "${words[2]}" = dump ]; then
        _ornutil_reply_files
      fi
      ;;
  esac
  return 0
}

complete -F _ornutil ornutil
