#!/usr/bin/env bash
# Drives the bash completion of ornutil as bash does (COMP_WORDS, COMP_CWORD,
# COMP_LINE, COMP_POINT) over a table of cases and checks COMPREPLY; the
# stanza names and keys come from scratch configuration files.
#   check_completion.sh COMPLETION_SCRIPT TOOL
# The table runs with plain bash, then again with the bash-completion
# package's functions loaded when that package is installed.
set -uo pipefail

if [ "${1:-}" != --run ]; then
  script=$1 tool=$2 status=0
  echo "--- plain bash"
  bash "$0" --run plain "$script" "$tool" || status=1
  full=/usr/share/bash-completion/bash_completion
  if [ -r "$full" ]; then
    echo "--- with the bash-completion package"
    bash "$0" --run "$full" "$script" "$tool" || status=1
  else
    echo "--- bash-completion package not installed: plain bash only"
  fi
  exit $status
fi

mode=$2 script=$3 tool=$4
if [ "$mode" != plain ]; then
  # shellcheck disable=SC1090
  source "$mode" || { echo "FAIL: cannot load $mode"; exit 1; }
fi
# shellcheck disable=SC1090
source "$script"

scratch=$(mktemp -d /tmp/ornutil-completion-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/orn.conf" <<'EOF'
# Written by this release: loading it changes nothing.
[meta-info]
version = 1792

[ssl]
ssl-compliance = none
ssl-keyfile = /var/keys/key.kdb

[ldap]
replica = a
replica = b
host = ldap.example.com

[two words]
first key = 1
EOF
cp "$scratch/orn.conf" "$scratch/orn.conf.orig"
printf 'no stanza before this line\n' >"$scratch/bad.conf"
printf 'AAEC' >"$scratch/data.b64"
mkdir "$scratch/dir.conf"
mkfifo "$scratch/fifo.conf"
d=$scratch

failures=0 cases=0
# check DESCRIPTION EXPECTED WORD...: the last WORD is the one being completed
# (the cursor at its end); EXPECTED is the sorted COMPREPLY, one space apart.
check() {
  local description=$1 expected=$2
  shift 2
  COMP_WORDS=("$tool" "$@")
  COMP_CWORD=$(($# ))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _ornutil ornutil "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>"$scratch/stderr"
  local got errors
  errors=$(cat "$scratch/stderr")
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | tr '\n' ' ')
  got=${got% }
  cases=$((cases + 1))
  if [ "$got" != "$expected" ] || [ -n "$errors" ]; then
    echo "FAIL: $description"
    echo "  line:     $COMP_LINE"
    echo "  expected: [$expected]"
    echo "  got:      [$got]"
    [ -z "$errors" ] || echo "  stderr:   $errors"
    failures=$((failures + 1))
  fi
}

# The commands are those `ornutil --help` lists.
all_commands=$("$tool" --help | awk '/^Commands:/ {on=1; next} on && /^$/ {exit} on {print $1}' | LC_ALL=C sort | tr '\n' ' ')
all_commands=${all_commands% }
[ -n "$all_commands" ] || { echo "FAIL: no commands in ornutil --help"; exit 1; }

check "every command the tool lists" "$all_commands" ""
check "commands by prefix" "compliance config" co
check "a command typed in full" "scramble" scr
check "tool options" "--help --version" -
check "no command matches" "" zz
check "base64 options" "--decode --help -d" base64 -
check "quote options" "--help --pattern --value" quote --
check "check options by prefix" "--reject" check --r
check "path options" "--all --help" path -
check "only --help for commands without options" "--help" compliance -
check "no option after quote's text" "" quote --value x -
check "object actions" "dump" object ""
check "config actions" "add delete get keys migrate set stanzas" config ""
check "config actions by prefix" "set stanzas" config s
check "base64 completes files" "$d/data.b64" base64 "$d/data"
check "base64 -d completes files" "$d/data.b64" base64 -d "$d/da"
check "object dump completes files" "$d/data.b64" object dump "$d/da"
check "config completes the file" "$d/orn.conf $d/orn.conf.orig" config get "$d/orn"
check "stanzas of the file" "ldap meta-info ssl two\\ words" config get "$d/orn.conf" ""
check "stanzas by prefix" "ssl" config set "$d/orn.conf" s
check "stanza with a blank, escaped" "two\\ words" config get "$d/orn.conf" tw
check "stanzas for keys FILE" "ldap meta-info ssl two\\ words" config keys "$d/orn.conf" ""
check "stanzas for a quoted file name" "ldap meta-info ssl two\\ words" config get "'$d/orn.conf'" ""
check "keys of a stanza" "ssl-compliance ssl-keyfile" config get "$d/orn.conf" ssl ""
check "a repeated key once" "host replica" config delete "$d/orn.conf" ldap ""
check "keys by prefix" "ssl-keyfile" config set "$d/orn.conf" ssl ssl-k
check "keys of a stanza with a blank" "first\\ key" config get "$d/orn.conf" 'two\ words' ""
check "no keys after keys FILE STANZA" "" config keys "$d/orn.conf" ssl ""
check "no keys of a missing stanza" "" config get "$d/orn.conf" nosuch ""
check "nothing from a missing file" "" config get "$d/missing.conf" ""
check "nothing from invalid data, silently" "" config get "$d/bad.conf" ""
check "nothing from a directory" "" config get "$d/dir.conf" ""
check "a FIFO is never opened" "" config get "$d/fifo.conf" ""
check "no values completed" "" config get "$d/orn.conf" ssl ssl-keyfile ""
check "nothing for msg" "" msg ""

if ! cmp -s "$d/orn.conf" "$d/orn.conf.orig"; then
  echo "FAIL: completing from a current file changed it"
  failures=$((failures + 1))
fi
echo "$cases cases, $failures failed"
[ "$failures" -eq 0 ]
