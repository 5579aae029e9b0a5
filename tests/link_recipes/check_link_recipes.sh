#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every link recipe of docs/integration.md ("System allocators"), for each allocator Debian has,
# under --as-needed and --no-as-needed: the host built by it must get the allocator's malloc and
# the library's operator new. The recipes here are the documented ones, word for word.
#   check_link_recipes.sh <folder of liblib_memmgr.so> <include folder> <scratch folder>
set -euo pipefail
lib=$1 include=$2 scratch=$3
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
multiarch="$(gcc -print-multiarch)"
system="/usr/lib/$multiarch"
mkdir -p "$scratch"
failures=0

# build <name> <link mode> <recipe words...>: the host, with the recipe at the end of the line.
build() {
  local name=$1 mode=$2
  shift 2
  c++ -std=c++20 -I"$include" -o "$scratch/$name" "$here/host.cpp" -Wl,"$mode" -L"$lib" \
    -Wl,-rpath,"$lib" "$@"
}

# check <what> <file malloc must be in> <command...>
check() {
  local what=$1 expected=$2
  shift 2
  if "$@" "$expected"; then
    echo "ok    $what"
  else
    echo "FAIL  $what" >&2
    failures=$((failures + 1))
  fi
}

# The static recipe: the allocator's own operators made local to a copy of its archive, whatever
# forms it defines, and none left global.
localized() {
  local archive=$1 copy=$2
  nm --defined-only -g "$archive" 2>/dev/null | awk '$3 ~ /^_Z(nw|na|dl|da)/ { print $3 }' |
    sort -u >"$scratch/operators.txt"
  objcopy --localize-symbols="$scratch/operators.txt" "$archive" "$copy"
  if nm --defined-only -g "$copy" 2>/dev/null | grep -E ' [TWV] _Z(nw|na|dl|da)'; then
    echo "FAIL  operators left global in $copy" >&2
    failures=$((failures + 1))
  fi
  [[ -s "$scratch/operators.txt" ]] || {
    echo "FAIL  $archive defines no operator to localize: the check would prove nothing" >&2
    failures=$((failures + 1))
  }
}

for mode in --as-needed --no-as-needed; do
  for allocator in jemalloc mimalloc tcmalloc_minimal; do
    runtime="$(readlink -f "$system/lib$allocator.so")"
    soname="$(objdump -p "$runtime" | awk '$1 == "SONAME" { print $2 }')"
    # Linked as a shared library: the library first, both kept whatever the default.
    build "shared-$allocator$mode" "$mode" \
      -Wl,--push-state,--no-as-needed -llib_memmgr -l"$allocator" -Wl,--pop-state
    check "$allocator shared $mode" "$soname" "$scratch/shared-$allocator$mode"
    # Preloaded: the library first.
    build "preload-$allocator$mode" "$mode" -llib_memmgr
    check "$allocator preloaded $mode" "$soname" \
      env LD_PRELOAD="$lib/liblib_memmgr.so:$runtime" "$scratch/preload-$allocator$mode"
  done
  # Static archives, where Debian ships one built for position-independent executables.
  for archive in libjemalloc_pic.a libtcmalloc_minimal.a; do
    name="${archive%.a}"
    localized "$system/$archive" "$scratch/${name}_c.a"
    build "static-$name$mode" "$mode" -llib_memmgr -Wl,--undefined=malloc \
      "$scratch/${name}_c.a" -lpthread -ldl -lm
    check "$name static $mode" "static-$name$mode" "$scratch/static-$name$mode"
  done
done
((failures == 0)) || { echo "$failures link recipes failed" >&2; exit 1; }
