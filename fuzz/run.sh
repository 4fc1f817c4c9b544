#!/usr/bin/env bash
# Runs every fuzz target built in BUILD_DIR for SECONDS seconds each, on its
# seeds (fuzz/corpus/<name>, only read) and the inputs earlier runs kept
# (BUILD_DIR/fuzz-corpus/<name>, where new ones go), with fuzz/<name>.dict
# when there is one. A crash, a sanitizer report, a failed property or an
# input slower than 10 s is a finding: its input is saved under
# BUILD_DIR/fuzz-findings/<name>/ and the script fails once all have run.
#   fuzz/run.sh BUILD_DIR SECONDS
set -uo pipefail
seconds="${2:?seconds per target}"
# Absolute paths: a target may change its working directory.
build="$(cd "${1:?build folder}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
export UBSAN_OPTIONS=print_stacktrace=1

failed=()
for source in "$here"/*.cpp; do
  name="$(basename "$source" .cpp)"
  exe="$build/fuzz/fuzz_$name"
  scratch="$build/fuzz-corpus/$name"
  findings="$build/fuzz-findings/$name"
  log="$build/fuzz-$name.log"
  mkdir -p "$scratch" "$findings"
  args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$findings/")
  if [ -f "$here/$name.dict" ]; then
    args+=(-dict="$here/$name.dict")
  fi
  echo "== $name ($seconds s)"
  if "$exe" "${args[@]}" "$scratch" "$here/corpus/$name" > "$log" 2>&1; then
    grep -E "^#[0-9]+[[:space:]]+DONE" "$log" || tail -n 3 "$log"
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec):" "$log"
  else
    tail -n 60 "$log"
    echo "!! $name: finding, input under $findings (log $log)"
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "fuzz: every target ran $seconds s without a finding"
