#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds the example hosts against the
# installed files only: both through find_package, and the C one again through pkg-config.
# Each runs and checks that its allocations are accounted; the C++ one runs once more through
# the installed memmgr-run, which must find the installed library and its companion.
#   scripts/test_consumers.sh [build dir]   (an existing build to install from; by default a
#                                            library-only build in the temporary directory)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages "${MEMMGR_BUILD_PACKAGES[@]}" pkg-config

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

build="${1:-}"
if [[ -z "$build" ]]; then
  build="$work/library"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMEMMGR_WERROR=ON \
    -DMEMMGR_BUILD_TESTS=OFF -DMEMMGR_BUILD_EXAMPLES=OFF -DMEMMGR_BUILD_BENCHMARKS=OFF
  cmake --build "$build" -j2 --target lib_memmgr memmgr-run
fi
echo "=== install into $prefix"
cmake --install "$build" --prefix "$prefix"

# The hosts set their own limits: the caller's environment must not impose one.
unset VOQ_MAXIMUM_MEMORY

echo "=== example hosts through find_package"
cmake -S "$root/examples" -B "$work/examples" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON
cmake --build "$work/examples" -j2
"$work/examples/tile_cache_host" >/dev/null
"$work/examples/c_host" >/dev/null

echo "=== the C++ example host through the installed memmgr-run"
"$prefix/bin/memmgr-run" --limit 8M --report "$work/summary.txt" \
  -- "$work/examples/tile_cache_host" >/dev/null
grep -q "peak accounted: *[1-9]" "$work/summary.txt" ||
  { cat "$work/summary.txt" >&2; echo "memmgr-run saw nothing of the host" >&2; exit 1; }

echo "=== C example host through pkg-config"
pc="$(find "$prefix" -name lib_memmgr.pc -print -quit)"
[[ -n "$pc" ]] || { echo "lib_memmgr.pc was not installed" >&2; exit 1; }
PKG_CONFIG_PATH="$(dirname "$pc")"
export PKG_CONFIG_PATH
libdir="$(pkg-config --variable=libdir lib_memmgr)"
# shellcheck disable=SC2046  # pkg-config's output is a list of words
"${CC:-cc}" -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/c_consumer" \
  "$root/examples/c_host.c" $(pkg-config --cflags --libs lib_memmgr) \
  -Wl,-rpath,"$libdir"
"$work/c_consumer" >/dev/null
echo "=== consumers passed"
