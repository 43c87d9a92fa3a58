#!/bin/bash
# Runs every fuzz target of the linux-asan preset (ASan and UBSan) for a
# million executions, one target at a time, and prints the executions, the
# time and the findings of each and the total time. Not part of the test
# command: on two cores the whole run takes hours (the test command runs each
# target for a few seconds only).
#
# Usage: scripts/fuzz.sh [-n RUNS] [TARGET ...]
#   -n RUNS  executions per target (default 1000000)
#   TARGET   only these targets (the names in build/linux-asan/fuzzers.txt)
#
# Each target fuzzes its own corpus, build/linux-asan/fuzz/<target>/corpus,
# which starts from the seeds of the build and keeps growing from run to run.
# Its log and its findings (crash-, leak-, timeout-, oom- files, each the
# input that causes it) are kept beside it. The exit status is 1 when any
# target had a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=1000000
if [[ ${1:-} == -n ]]; then
  runs=$2
  shift 2
fi
only=("$@")

build=build/linux-asan
cmake --preset linux-asan >/dev/null
list=$build/fuzzers.txt
mapfile -t entries <"$list"
names=()
for e in "${entries[@]}"; do
  [[ -n $e ]] || continue
  read -r name _ <<<"$e"
  if ((${#only[@]} == 0)) || [[ " ${only[*]} " == *" $name "* ]]; then names+=("$name"); fi
done
((${#names[@]})) || { echo "no such fuzz target: ${only[*]}" >&2; exit 2; }
cmake --build --preset linux-asan -j 2 --target "${names[@]}" >/dev/null

# The input size limit, per target.
cap() { [[ $1 == 0 ]] && echo "-" || echo "$1"; }

printf '%-28s %12s %10s %9s %9s  %s\n' target executions seconds "exec/s" max_len findings
total_start=$(date +%s)
failed=0
for e in "${entries[@]}"; do
  [[ -n $e ]] || continue
  read -r name binary seeds max_len <<<"$e"
  [[ " ${names[*]} " == *" $name "* ]] || continue
  dir=$build/fuzz/$name
  mkdir -p "$dir/corpus" "$dir/findings"
  cp -n "$seeds"/* "$dir/corpus/" 2>/dev/null || true
  before=$(ls "$dir/findings" | wc -l)
  args=(-runs="$runs" -rss_limit_mb=2048 -timeout=60 -close_fd_mask=1 -print_final_stats=1
        -artifact_prefix="$dir/findings/")
  [[ $max_len == 0 ]] || args+=(-max_len="$max_len")
  start=$(date +%s)
  status=0
  "$binary" "${args[@]}" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  seconds=$(($(date +%s) - start))
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  [[ -n $executed ]] || executed=$(grep -o '^#[0-9]*' "$dir/log" | tail -1 | tr -d '#')
  [[ -n $executed ]] || executed=0
  found=$(($(ls "$dir/findings" | wc -l) - before))
  note=$found
  if ((status != 0 || found > 0)); then
    failed=1
    note="$found (exit $status, see $dir/log)"
  fi
  rate=$((seconds > 0 ? executed / seconds : executed))
  printf '%-28s %12s %10s %9s %9s  %s\n' "$name" "$executed" "$seconds" "$rate" "$(cap "$max_len")" "$note"
done
total=$(($(date +%s) - total_start))
printf 'total: %d s (%d h %02d min) for %d targets\n' "$total" $((total / 3600)) $((total % 3600 / 60)) "${#names[@]}"
exit $failed
