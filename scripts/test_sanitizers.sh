#!/usr/bin/env bash
# The suite under the runtime checkers: UBSan over everything, ASan and TSan over the cases
# that do not measure the library's own new/delete, then valgrind memcheck over the plain
# g++ build. Each phase fails the script on any finding.
#
#   scripts/test_sanitizers.sh [ubsan|asan|tsan|memcheck]...   (default: all four, in order)
#
# Build directories: build/ubsan, build/asan, build/tsan, build/memcheck.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages "${MEMMGR_BUILD_PACKAGES[@]}" valgrind python3

phases=("$@")
((${#phases[@]})) || phases=(ubsan asan tsan memcheck)

# ASan, TSan and valgrind put their own operator new/delete in the executable, so the cases
# that measure the library's cannot hold there (label `operators`); the >2 GiB string case
# (label `large_memory`) needs more than 2 GiB before their overhead, and minutes under it.
excluded_labels='operators|large_memory'
# Under ASan the library exports the runtime's ODR indicators too, so the exact export list
# is checked by the other builds only.
asan_tsan_excluded_tests='abi\.exported_symbols'
# TSan keeps several bytes of shadow per byte touched, all of it resident, so the resident
# size grows by several times what the case touches.
tsan_excluded_tests="$asan_tsan_excluded_tests|OSUsedMemory\.GrowsWithTouchedMemory"

# The cases ask for impossible sizes on purpose and expect null, where the runtimes would
# otherwise end the process.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export TSAN_OPTIONS=allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
unset VOQ_MAXIMUM_MEMORY

summary=()
jobs=2

# configure_and_build <dir> <sanitizer or empty>
configure_and_build() {
  local dir="$root/build/$1"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DMEMMGR_WERROR=ON \
    -DMEMMGR_BUILD_BENCHMARKS=OFF -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DMEMMGR_SANITIZE="$2" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# run_ctest <name> <ctest arguments...>: runs ctest and records the count it reports.
run_ctest() {
  local name="$1" log
  shift
  log="$root/build/$name/sanitizer_ctest.log"
  local status=0
  (cd "$root/build/$name" && ctest --output-on-failure -j"$jobs" "$@") >"$log" 2>&1 || status=$?
  grep -E 'tests passed|FAILED|Failed|\*\*\*' "$log" || true
  summary+=("$name: $(grep -E 'tests passed' "$log" | tail -1)")
  if ((status != 0)); then
    echo "=== $name: failures, full log in $log" >&2
    exit 1
  fi
}

sanitizer_phase() {
  local name="$1" sanitizer="$2" start=$SECONDS
  shift 2
  echo "=== $name: -fsanitize=$sanitizer"
  configure_and_build "$name" "$sanitizer"
  run_ctest "$name" "$@"
  summary[-1]+=" ($((SECONDS - start)) s with the build)"
}

# Every ctest case of the build runs under memcheck as ctest would run it (same executable,
# arguments and working directory); cmake -P checks are not programs of ours and are skipped.
memcheck_phase() {
  local dir="$root/build/memcheck" start=$SECONDS
  echo "=== memcheck: valgrind over the g++ build"
  configure_and_build memcheck ""
  local list="$dir/memcheck_cases.txt"
  (cd "$dir" && ctest --show-only=json-v1 -LE "$excluded_labels") | python3 -c '
import json, shlex, sys
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command") or []
    if not command or command[0].endswith("/cmake"):
        continue
    properties = {p["name"]: p["value"] for p in test.get("properties", [])}
    workdir = properties.get("WORKING_DIRECTORY", ".")
    # The environment ctest would set: "VAR=set:value" and "VAR=unset:" entries.
    env = ["env"]
    for entry in properties.get("ENVIRONMENT_MODIFICATION", []):
        name, _, change = entry.partition("=")
        op, _, value = change.partition(":")
        env += ["-u", name] if op == "unset" else [name + "=" + value] if op == "set" else []
    print(test["name"] + "\t" + workdir + "\t" + shlex.join(env) + "\t" + shlex.join(command))
' >"$list"
  # Death-test children are started afresh from the executable (GoogleTest's "threadsafe"
  # style), which valgrind does not follow: they run natively. Followed forks would end with
  # valgrind's leak check of a child that exits on purpose holding blocks, and with its own
  # malloc in place of the one the failure-report cases substitute.
  export GTEST_DEATH_TEST_STYLE=threadsafe
  local logs="$dir/memcheck_logs"
  rm -rf "$logs" && mkdir -p "$logs"
  export MEMCHECK_LOGS="$logs"
  # Cases pass impossible sizes (SIZE_MAX and the like) through the library on purpose, to see
  # null come back; valgrind counts such a size as an error of its own.
  export MEMCHECK_SUPPRESSIONS="$dir/memcheck.supp"
  local call
  : >"$MEMCHECK_SUPPRESSIONS"
  for call in malloc realloc posix_memalign; do
    printf '{\n  impossible-size-through-the-library-%s\n  Memcheck:FishyValue\n  %s(size)\n  fun:%s\n  ...\n  obj:*/liblib_memmgr.so\n}\n' \
      "$call" "$call" "$call" >>"$MEMCHECK_SUPPRESSIONS"
  done
  # shellcheck disable=SC2016
  if ! tr '\n' '\0' <"$list" | xargs -0 -P"$jobs" -n1 bash -c '
      IFS=$'"'"'\t'"'"' read -r name workdir env command <<<"$1"
      log="$MEMCHECK_LOGS/${name//[^A-Za-z0-9_.-]/_}.log"
      cd "$workdir"
      if eval "$env valgrind -q --error-exitcode=97 --leak-check=full --show-leak-kinds=definite \
            --errors-for-leak-kinds=definite --child-silent-after-fork=yes \
            --suppressions=\"\$MEMCHECK_SUPPRESSIONS\" $command" >"$log" 2>&1
      then echo "ok   $name"
      else echo "FAIL $name (log: $log)"; exit 1
      fi' _ >"$dir/memcheck_results.txt"; then
    grep FAIL "$dir/memcheck_results.txt" >&2 || true
    echo "=== memcheck: findings or failures" >&2
    exit 1
  fi
  summary+=("memcheck: $(grep -c '^ok' "$dir/memcheck_results.txt") cases clean under valgrind ($((SECONDS - start)) s with the build)")
}

total_start=$SECONDS
for phase in "${phases[@]}"; do
  case "$phase" in
    ubsan) sanitizer_phase ubsan undefined -LE large_memory ;;
    asan) sanitizer_phase asan address -LE "$excluded_labels" -E "^($asan_tsan_excluded_tests)\$" ;;
    tsan) sanitizer_phase tsan thread -LE "$excluded_labels" -E "^($tsan_excluded_tests)\$" ;;
    memcheck) memcheck_phase ;;
    *) echo "unknown phase: $phase" >&2; exit 2 ;;
  esac
done
printf '%s\n' "=== sanitizer summary (${SECONDS}s in all, $((SECONDS - total_start))s of phases)" "${summary[@]}"
