#!/usr/bin/env bash
# Runs every libFuzzer harness built under BUILD, and the atheris harness of the Python surface
# under the interpreter command PYTHON... (environment assignments, then the interpreter), for
# SECONDS each, on its committed regression corpus (fuzz/corpus/NAME) and the generated seeds
# (BUILD/seeds/NAME); new inputs go to BUILD/corpus/NAME, crashes to BUILD/artifacts. Prints one
# line per harness; fails on a crash.
# Usage: run-fuzzers.sh BUILD SECONDS PYTHON...
set -uo pipefail
build=$1
seconds=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
failed=0
mkdir -p "$build/artifacts"

# run_harness NAME COMMAND...: runs one harness and prints its line.
run_harness() {
  local harness=$1
  shift
  mkdir -p "$build/corpus/$harness" "$root/fuzz/corpus/$harness" "$build/seeds/$harness"
  local log="$build/$harness.log"
  "$@" "$build/corpus/$harness" "$root/fuzz/corpus/$harness" "$build/seeds/$harness" \
    -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$harness-" >"$log" 2>&1
  local status=$?
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -eq 0 ]; then
    echo "fuzz_$harness: ${executions:-?} executions in ${seconds} s, no crash"
  else
    failed=1
    echo "fuzz_$harness: FAILED (exit $status) after ${executions:-?} executions; log $log:"
    grep -E 'ERROR|SUMMARY|disagreement|^[A-Za-z_.]*(Error|Disagreement): |persisted form:|scanner:|Test unit written' "$log" | head -20
  fi
}

for harness in persisted_form operations scanner; do
  run_harness "$harness" "$build/fuzz/fuzz_$harness"
done
run_harness python_surface env "$@" "$root/fuzz/fuzz_python_surface.py"
exit "$failed"
