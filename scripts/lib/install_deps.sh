#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The one place Debian packages are installed. Installs the packages of the named groups that
# are missing; apt-get (as root, or through sudo) runs only then, after refreshing its lists.
#   scripts/lib/install_deps.sh <group>...
set -euo pipefail

declare -A groups=(
  # The native build: compiler, GoogleTest and Google Benchmark, the libraries (and a font) the
  # adapter tests put under the budget, gnuplot for memmgr-run's charts, libdw (with libelf) for
  # the call sites it names, pkg-config for the installed-package consumers.
  [build]="cmake make g++ binutils pkg-config libgtest-dev libbenchmark-dev libsqlite3-dev
    zlib1g-dev libpng-dev libfreetype-dev fonts-dejavu-core gnuplot-nox libelf-dev libdw-dev"
  # clang 14, with compiler-rt for the fuzzer and the scudo archive.
  [clang]="clang-14 libclang-rt-14-dev"
  [format]="clang-format-14"
  [valgrind]="valgrind"
  # The aarch64 cross builds, run under qemu user mode; GoogleTest's source for the target;
  # libdw (with libelf) for the target's memmgr-run, from Debian's arm64 architecture
  # (multiarch).
  [cross]="g++-aarch64-linux-gnu qemu-user googletest
    pkg-config libelf-dev:arm64 libdw-dev:arm64"
  [report]="python3 gnuplot-nox"
  # The docs' snippets: their checker, and the JDK's jni.h for the JNI ones.
  [docs]="python3 openjdk-17-jdk-headless"
  # Allocators that hosts put in place of glibc's malloc, for the allocators phase.
  [allocators]="libjemalloc2 libmimalloc2.0 libtcmalloc-minimal4"
  # Their development files, for the link recipes: the link-time names, the static archives.
  [recipes]="libjemalloc-dev libmimalloc-dev libgoogle-perftools-dev"
)

# A package counts as installed for the architecture it names, or else the machine's own; with
# both installed, dpkg-query lists one line for each.
native="$(dpkg --print-architecture)"
missing=()
for group in "$@"; do
  [[ -n "${groups[$group]:-}" ]] || { echo "install_deps: no group '$group'" >&2; exit 2; }
  for package in ${groups[$group]}; do
    architecture="$native"
    [[ "$package" != *:* ]] || architecture="${package##*:}"
    dpkg-query -W -f='${Status} ${Architecture}\n' "$package" 2>/dev/null |
      grep -qxE "install ok installed ($architecture|all)" || missing+=("$package")
  done
done
((${#missing[@]})) || exit 0
sudo=()
[[ "$(id -u)" -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A package named with an architecture ("libdw-dev:arm64") needs dpkg to know that architecture
# before apt-get update fetches its lists.
for architecture in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*://p' | sort -u); do
  [[ "$architecture" == "$native" ]] || dpkg --print-foreign-architectures |
    grep -qx "$architecture" || "${sudo[@]}" dpkg --add-architecture "$architecture"
done
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
