#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds and runs two
# consumers against it: a C11 program through pkg-config and a C++ program
# through find_package(ornutil).
set -euo pipefail
build=$1 here=$2
prefix=$(mktemp -d /tmp/ornutil-prefix-XXXXXX)
work=$(mktemp -d /tmp/ornutil-consumers-XXXXXX)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libornutil.so' | head -1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"
export NLSPATH="$prefix/share/ornutil/nls/msg/%L/%N.cat"

# The shared library carries its version and SONAME.
readelf -d "$libdir/libornutil.so" | grep -q 'SONAME.*libornutil.so.1' || { echo "no SONAME"; exit 1; }
ls "$libdir"/libornutil.so.1.* >/dev/null

cc -std=c11 -Wall -Wextra -Werror -pedantic "$here/consumer.c" -o "$work/c_consumer" $(pkg-config --cflags --libs ornutil)
"$work/c_consumer"

cmake -S "$here/cxx" -B "$work/cxx" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cxx" >/dev/null
"$work/cxx/cxx_consumer"
echo "installed consumers: ok"
