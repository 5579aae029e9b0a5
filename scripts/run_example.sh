#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release preset (build/release) and runs the C++ example host through memmgr-run
# under an 8 MiB budget: the host's own report, then memmgr-run's summary, and a chart of the
# run in build/tile_cache_host.png.
#   scripts/run_example.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/lib/install_deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release --target tile_cache_host memmgr-run
# 500 laps of panning: long enough (a few tenths of a second) for a timeline.
build/release/tools/memmgr-run/memmgr-run --limit 8M --plot build/tile_cache_host.png \
  -- build/release/examples/tile_cache_host 500
echo "chart: build/tile_cache_host.png"
