#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests, the
# benchmarks and the fuzzers need and this machine lacks. Does nothing when
# everything is present.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev libssl-dev openssl libldap-dev libglib2.0-dev libinih-dev
  pkg-config libc-bin coreutils util-linux)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
