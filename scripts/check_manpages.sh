#!/usr/bin/env bash
# Checks the generated manual pages: each renders without a single warning
# from man/groff, and ornutil(1) documents exactly the commands that
# `ornutil --help` lists.
#   check_manpages.sh MANDIR TOOL
# MANDIR holds man1/, man3/, man5/ as the build generates them. Exit status
# 77 (a skip for CTest) when man is not installed.
set -uo pipefail
mandir=$1 tool=$2
export LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat PAGER=cat
if ! command -v man >/dev/null; then
  echo "man is not installed (Debian package man-db): manual pages not checked"
  exit 77
fi
status=0
pages=("$mandir"/man1/*.1 "$mandir"/man3/*.3 "$mandir"/man5/*.5)
for page in "${pages[@]}"; do
  if [ ! -f "$page" ]; then
    echo "FAIL: no page matches $page"; status=1; continue
  fi
  warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: $(basename "$page") renders with warnings:"; echo "$warnings"; status=1
  else
    echo "ok: $(basename "$page") renders without warnings"
  fi
done

# The commands --help lists: the lines of the "Commands:" block, "  NAME  text".
help_commands=$("$tool" --help | awk '/^Commands:/ {on=1; next} on && /^$/ {exit} on {print $1}' | sort -u)
# The commands the page documents: in its COMMANDS section, the entries
# "ornutil NAME ..." at the first indentation.
page_commands=$(man -l "$mandir/man1/ornutil.1" 2>/dev/null |
  awk '/^[A-Z]/ {on = ($0 == "COMMANDS"); next} on && /^       ornutil [a-z]/ {print $2}' | sort -u)
if [ -z "$help_commands" ] || [ -z "$page_commands" ]; then
  echo "FAIL: no commands found (--help: '$help_commands', page: '$page_commands')"; status=1
elif [ "$help_commands" != "$page_commands" ]; then
  echo "FAIL: ornutil --help and ornutil(1) name different commands:"
  diff <(echo "$help_commands") <(echo "$page_commands") | sed -n 's/^< /  only in --help: /p; s/^> /  only in the page: /p'
  status=1
else
  echo "ok: ornutil --help and ornutil(1) name the same $(echo "$help_commands" | wc -l) commands"
fi
exit $status
