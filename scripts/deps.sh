#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests, the
# benchmarks and the fuzzers need and this machine lacks. Does nothing when
# everything is present. A failed installation is reported and the build goes
# on: the references (OpenLDAP, GLib, inih) are optional, and anything
# essential that is still missing stops the build with its own message.
set -uo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev libssl-dev openssl libldap-dev libglib2.0-dev libinih-dev
  pkg-config libc-bin coreutils util-linux)
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
echo "deps: could not install ${missing[*]}; going on without them" >&2
exit 0
