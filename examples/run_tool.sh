#!/usr/bin/env bash
# Runs the ornutil tool over the example configuration: an older orn.conf is
# migrated when loaded, then its compliance mode, some paths and a quoted
# filter are shown. Everything happens in a private mount namespace (a tmpfs
# on /opt, an overlay on /etc) so nothing on the host changes; without the
# privilege for that, only the file commands run, on a temporary copy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = "--inside" ]; then inside=1; shift; else inside=0; fi
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

show() { echo; echo "\$ ornutil $*"; "$tool" "$@" || echo "(exit status $?)"; }

demo() {
  local conf=$1
  echo "--- $conf as an earlier release wrote it:"
  cat "$conf"
  show config migrate "$conf"
  echo; echo "--- $conf after loading:"
  cat "$conf"
  show config get "$conf" ssl ssl-compliance
  show config stanzas "$conf"
}

if [ "$inside" = 0 ] && [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
  exec unshare --mount bash "$0" --inside "$tool"
fi

if [ "$inside" = 1 ]; then
  scratch=$(mktemp -d /tmp/ornutil-example-XXXXXX)
  mount --make-rprivate /
  mkdir -p "$scratch/upper" "$scratch/work"
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$scratch/upper,workdir=$scratch/work" /etc
  mount -t tmpfs -o size=8m tmpfs /opt
  mkdir -p /opt/BrenmoorWarden/etc
  cp "$here/orn.conf" /opt/BrenmoorWarden/etc/orn.conf
  demo /opt/BrenmoorWarden/etc/orn.conf
  show compliance
  show path /opt/BrenmoorWarden/etc/orn.conf @/var/BrenmoorWarden/log/msg__ornacld.log '#orn_undefined_orn_ccd_root'
  show format '(&(objectClass=person)(cn=%Q))' 'Smith*(admin)'
  show msg 0x15e3a0b3
  rm -rf "$scratch"
  exit 0
fi

echo "(no private mount namespace here: showing the file commands on a temporary copy)"
scratch=$(mktemp -d /tmp/ornutil-example-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/opt/BrenmoorWarden/etc"
cp "$here/orn.conf" "$scratch/opt/BrenmoorWarden/etc/orn.conf"
demo "$scratch/opt/BrenmoorWarden/etc/orn.conf"
show format '(&(objectClass=person)(cn=%Q))' 'Smith*(admin)'
