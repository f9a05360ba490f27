#!/usr/bin/env bash
# Installs, from Debian's packages, what this machine lacks for a profile:
#   main  the library, its message catalogue and the tool (scripts/run_main.sh)
#   all   (the default) also the tests, the benchmarks, the fuzzers, the
#         references they compare against (OpenLDAP, GLib, inih, OpenSSL) and
#         the manual pages with their check, the ABI comparison (abigail-tools)
#         and the Debian packaging tools with lintian (scripts/test_all.sh)
# Does nothing when everything is present. A failed installation is reported
# and the build goes on: the references, scdoc and man-db are optional (what
# needs them is skipped, saying so), and anything essential that is still
# missing stops the build with its own message.
set -uo pipefail
profile=${1:-all}
main=(cmake ninja-build g++ libc-dev-bin libc-bin coreutils util-linux)
case $profile in
  main) packages=("${main[@]}") ;;
  all) packages=("${main[@]}" clang libclang-rt-14-dev libgtest-dev libgmock-dev
    libbenchmark-dev libssl-dev openssl libldap-dev libglib2.0-dev libinih-dev
    pkg-config scdoc man-db abigail-tools debhelper dpkg-dev fakeroot lintian) ;;
  *) echo "usage: deps.sh [main|all]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
for attempt in 1 2 3; do
  if $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null; then
    exit 0
  fi
  echo "deps: apt-get failed (attempt $attempt)" >&2
  sleep 5
done
# One package that cannot be had must not keep the others out.
for p in "${missing[@]}"; do
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1 ||
    echo "deps: could not install $p; going on without it" >&2
done
exit 0
