#!/usr/bin/env bash
# The native suite run again with scudo, the system allocator of Android 11 and later,
# preloaded in place of glibc's malloc. scudo's malloc_usable_size returns exactly the
# requested size where glibc rounds up, so code or tests that lean on the rounding fail here.
#
#   scripts/test_scudo.sh [build dir]   (default: build/gcc, configured with g++ if it is not
#                                        configured yet; built either way)
#
# The preloaded object is made in <build dir>/scudo from compiler-rt's static archive
# (libclang-rt-14-dev): the package's shared object also defines the C++ operators, which
# would shadow the library's own, while on Android they live in the C++ runtime, not libc.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages "${MEMMGR_BUILD_PACKAGES[@]}" libclang-rt-14-dev binutils

# The preload test sets LD_PRELOAD for its program itself, so it would run without scudo.
excluded_labels='preload'

dir="$(realpath -m "${1:-$root/build/gcc}")"
if [[ ! -f "$dir/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMEMMGR_WERROR=ON \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
fi
cmake --build "$dir" -j2

echo "=== scudo: C-only allocator from the compiler-rt archive"
archive="$(dpkg -L libclang-rt-14-dev | grep "/libclang_rt\.scudo_standalone-$(uname -m)\.a$")" || {
  echo "=== scudo: libclang-rt-14-dev has no scudo archive for $(uname -m)" >&2
  exit 1
}
out="$dir/scudo"
mkdir -p "$out"
scudo="$out/libscudo_c.so"
cc -shared -o "$scudo" -Wl,--whole-archive "$archive" -Wl,--no-whole-archive -Wl,-z,defs -pthread
if nm -D --defined-only "$scudo" | grep -E ' _Z(nw|na|dl|da)'; then
  echo "=== scudo: $scudo defines C++ operators" >&2
  exit 1
fi

# The probe proves the preload takes: glibc would report 24 usable bytes for a 1-byte block.
cat >"$out/probe.c" <<'EOF'
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
int main(void) {
  void* block = malloc(1);
  printf("%zu\n", malloc_usable_size(block));
  free(block);
  return 0;
}
EOF
cc -o "$out/probe" "$out/probe.c"
usable="$(LD_PRELOAD="$scudo" "$out/probe")"
if [[ "$usable" != 1 ]]; then
  echo "=== scudo: malloc_usable_size(malloc(1)) is $usable under the preload, not 1" >&2
  exit 1
fi

echo "=== scudo: ctest with $scudo preloaded"
unset VOQ_MAXIMUM_MEMORY
(cd "$dir" && LD_PRELOAD="$scudo" ctest --output-on-failure -j2 -LE "$excluded_labels")
