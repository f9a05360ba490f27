#!/usr/bin/env bash
# Builds the Debian packages from the tracked files of this tree, checks them
# with lintian (no error, no warning), then, in a private mount namespace with
# overlays on /usr, /etc and /var so that the host is left as it was whatever
# happens, installs them with apt-get, builds and runs a C consumer through
# `pkg-config ornutil` and a C++ consumer through `find_package(ornutil)`
# against the system paths, runs the tool and its manual page, purges the
# packages and checks that nothing of them is left behind.
#   check_debian.sh [OUTDIR]     (the packages are left in OUTDIR)
# Needs root (the namespace and apt-get) and debhelper, dpkg-dev, fakeroot,
# lintian, pkg-config: scripts/deps.sh installs them.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$src/build/debian}")  # absolute: apt-get takes only paths that look like paths
work=$(mktemp -d /tmp/ornutil-debian-XXXXXX)
trap 'rm -rf "$work"' EXIT

step() { echo "--- $*"; }
if [ "$(id -u)" -ne 0 ]; then
  echo "check_debian: needs root (a mount namespace and apt-get); skipped"
  exit 0
fi
for tool in dpkg-buildpackage dh lintian fakeroot pkg-config; do
  command -v $tool >/dev/null || { echo "check_debian: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

step "building the packages"
mkdir -p "$work/ornutil"
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$work/ornutil"
if ! (cd "$work/ornutil" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1); then
  tail -50 "$work/build.log"
  echo "check_debian: dpkg-buildpackage failed" >&2
  exit 1
fi
mkdir -p "$out"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo  # only what an earlier run left there
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
for deb in "$out"/*.deb; do
  echo "$(basename "$deb"):"
  dpkg-deb -c "$deb" | awk '{print "  " $6 ($7 ? " " $7 " " $8 : "")}'
done

step "lintian"
lintian --fail-on error,warning --info --display-level '>=info' "$out"/ornutil_*.changes
echo "lintian: no error, no warning"

step "install, consumers, purge (private mount namespace)"
unshare --mount --propagation private bash -s "$src" "$out" "$work" <<'INNER'
set -euo pipefail
src=$1 out=$2 work=$3
for dir in usr etc var; do
  mkdir -p "$work/ovl/$dir.up" "$work/ovl/$dir.work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/ovl/$dir.up,workdir=$work/ovl/$dir.work" "/$dir"
done
snapshot() {
  find /usr /etc /var -xdev \( -path /var/log -o -path /var/cache -o -path /var/lib/apt \
    -o -path /var/lib/dpkg/triggers -o -path /var/lib/man-db \) -prune -o -print 2>/dev/null |
    grep -Ev '^/var/lib/dpkg/(status|status-old|available|lock.*|diversions.*|statoverride.*)$' | sort
}
snapshot > "$work/before"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "$out"/libornutil1_*.deb "$out"/libornutil-dev_*.deb \
  "$out"/ornutil_*.deb >/dev/null
dpkg -s libornutil1 libornutil-dev ornutil | grep -E '^(Package|Version|Status):'

mkdir -p "$work/consumers"
cc -std=c11 -Wall -Wextra -Werror -pedantic "$src/tests/consumers/consumer.c" -o "$work/consumers/c" \
  $(pkg-config --cflags --libs ornutil)
"$work/consumers/c"
cmake -S "$src/tests/consumers/cxx" -B "$work/consumers/cxx" -G Ninja >/dev/null
cmake --build "$work/consumers/cxx" >/dev/null
"$work/consumers/cxx/cxx_consumer"
ornutil --version
echo aGVsbG8= | ornutil base64 -d | grep -qx hello
man -w ornutil ornutil-stanza 3 ornutil >/dev/null
test -f /usr/share/bash-completion/completions/ornutil

apt-get purge -y -qq libornutil1 libornutil-dev ornutil >/dev/null
snapshot > "$work/after"
if ! diff -u "$work/before" "$work/after"; then
  echo "check_debian: purge left files behind (+) or removed others (-)" >&2
  exit 1
fi
echo "purge: nothing left behind"
INNER
echo "check_debian: ok"
