#!/usr/bin/env bash
# Builds the library in Release mode under build/ and runs the C++ example host through
# memmgr-run under an 8 MiB budget: the host's own report, then memmgr-run's summary, and a
# chart of the run in build/tile_cache_host.png.
#   scripts/run_example.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages "${MEMMGR_BUILD_PACKAGES[@]}"

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build" -j2 --target tile_cache_host memmgr-run
# 500 laps of panning: long enough (a few tenths of a second) for a timeline.
"$root/build/tools/memmgr-run/memmgr-run" --limit 8M \
  --plot "$root/build/tile_cache_host.png" -- "$root/build/examples/tile_cache_host" 500
echo "chart: build/tile_cache_host.png"
