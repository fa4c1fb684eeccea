#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, address + undefined sanitizers) and runs them.
#   bash scripts/fuzz.sh                      every harness for its short fixed number of runs
#                                             on its seed corpus (what the test command does)
#   bash scripts/fuzz.sh NAME [SECONDS [RUNS]] one harness (e.g. fuzz_inifile) for SECONDS (default
#                                             600) or RUNS executions, whichever ends first, at the
#                                             lowest priority, keeping what it finds in
#                                             build-fuzz/found/NAME; the closing statistics give
#                                             the executions done
#   e.g. bash scripts/fuzz.sh fuzz_tags 1800 1000000
# New inputs worth keeping (a crash's reproducer after the fix) go into tests/fuzz/corpus/NAME.
# Exits non-zero when a harness fails.
set -uo pipefail
cd "$(dirname "$0")/.."
dir=build-fuzz
# Each harness with the runs of its short check, chosen so that all of them take tens of
# seconds together on two cores.
declare -A RUNS=([fuzz_icy]=100000 [fuzz_tags]=30000 [fuzz_inifile]=8000 [fuzz_fileinput]=1500 [fuzz_mp3cut]=20000
                 [fuzz_playlist]=30000 [fuzz_registry]=5000 [fuzz_stations]=6000)

if ! CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DFONOLUX_FUZZ=ON -DFONOLUX_BENCH=OFF >"$dir.configure.log" 2>&1; then
  cat "$dir.configure.log"; echo "fuzz: configure FAILED"; exit 1
fi
cmake --build "$dir" -j "$(nproc)" --target fuzzers || { echo "fuzz: build FAILED"; exit 1; }

run_one() { # [nice] name extra-args...
  local pre=()
  [ "$1" = nice ] && { pre=(nice -n 19); shift; }
  local name=$1; shift
  local exe="$dir/tests/fuzz/$name" corpus="tests/fuzz/corpus/$name" dict="tests/fuzz/$name.dict"
  local found="$dir/found/$name"
  mkdir -p "$found"
  local args=(-max_len=16384 -timeout=20 -rss_limit_mb=3000 "-artifact_prefix=$found/")
  [ -f "$dict" ] && args+=("-dict=$dict")
  echo "=== $name $*"
  "${pre[@]}" "$exe" "${args[@]}" "$@" "$found" "$corpus" >"$found.log" 2>&1
  local rc=$?
  tail -n 1 "$found.log"
  if [ $rc -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|Test unit written|deadly signal' "$found.log" | head -n 20
    echo "=== $name FAILED (log: $found.log)"
  fi
  return $rc
}

failed=0; passed=0; nfail=0
if [ $# -ge 1 ]; then
  extra=()
  [ $# -ge 3 ] && extra+=("-runs=$3")
  run_one nice "$1" "-max_total_time=${2:-600}" "${extra[@]}" -print_final_stats=1 || failed=1
  grep -E '^stat::number_of_executed_units' "$dir/found/$1.log"
  exit $failed
fi
for exe in "$dir"/tests/fuzz/fuzz_*; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  if run_one "$name" "-runs=${RUNS[$name]:-10000}"; then passed=$((passed + 1)); else failed=1; nfail=$((nfail + 1)); fi
done
echo "fuzz: $passed passed, $nfail failed"
exit $failed
