#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the normal build, then the
# audio library's tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded
# pipeline tests under ThreadSanitizer. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh --test || { echo "installing dependencies failed"; exit 1; }

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/fonolux-runtime-XXXXXX)}
chmod 700 "$XDG_RUNTIME_DIR"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

jobs=$(nproc)
failed=0
passed_total=0
failed_total=0

run_suite() { # name builddir cmake-args... -- ctest-args...
  local name=$1 dir=$2; shift 2
  local cargs=() targs=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cargs+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targs=("$@")
  echo "=== $name: configure and build ($dir)"
  if ! cmake -S . -B "$dir" -G Ninja "${cargs[@]}" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; echo "=== $name: configure FAILED"; failed=1; return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    echo "=== $name: build FAILED"; failed=1; return
  fi
  echo "=== $name: tests"
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs" "${targs[@]}") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local nfail ntotal
    nfail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    ntotal=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed_total=$((passed_total + ntotal - nfail))
    failed_total=$((failed_total + nfail))
  elif grep -q 'No tests were found' "$log"; then
    echo "=== $name: no tests found"
  fi
  [ "$rc" -eq 0 ] || { echo "=== $name: tests FAILED"; failed=1; }
}

run_suite "main build" build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFONOLUX_REQUIRE_TESTS=ON -DFONOLUX_TEST_HOOKS=ON
run_suite "address+undefined sanitizers" build-asan -DCMAKE_BUILD_TYPE=Debug \
  -DFONOLUX_SANITIZE=address -DFONOLUX_GUI=OFF -DFONOLUX_BENCH=OFF -DFONOLUX_REQUIRE_TESTS=ON -- -L audio
run_suite "thread sanitizer" build-tsan -DCMAKE_BUILD_TYPE=Debug \
  -DFONOLUX_SANITIZE=thread -DFONOLUX_GUI=OFF -DFONOLUX_BENCH=OFF -DFONOLUX_REQUIRE_TESTS=ON -- -L pipeline

# The fuzzing harnesses (clang, address + undefined sanitizers), each for a short fixed number
# of runs over its seed corpus, so that every input that once crashed stays fixed.
echo "=== fuzzing harnesses"
bash scripts/fuzz.sh 2>&1 | tee build-fuzz.log
fuzz_rc=${PIPESTATUS[0]}
fuzz_line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' build-fuzz.log | tail -n 1)
if [ -n "$fuzz_line" ]; then
  passed_total=$((passed_total + $(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"$fuzz_line")))
  failed_total=$((failed_total + $(sed -E 's/.* ([0-9]+) failed/\1/' <<<"$fuzz_line")))
fi
[ "$fuzz_rc" -eq 0 ] || { echo "=== fuzzing FAILED"; failed=1; }

echo
echo "total: $passed_total passed, $failed_total failed"
exit $failed
