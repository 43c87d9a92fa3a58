#!/bin/bash
# scripts/demo.sh as a newcomer runs it, on an existing build: demo_test.sh BUILD WORK
# It must end well, show every section, leave its pictures, templates and
# overlays, stop the simulator it started (and wait for it), and print no JNI warning (the
# library's own would show; the JDK's font scaler's are filtered out).
set -euo pipefail
build=$1 work=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"
mkdir -m 700 "$work/claims"   # a claim folder must be the user's own and private
pipes=$(mktemp -d "${TMPDIR:-/tmp}/dl-demo-pipes.XXXXXX")   # short: socket paths have a limit
trap 'rm -rf "$pipes"' EXIT
log=$work/demo.log
status=0
DACTYLINK_DEMO_BUILD=$build DACTYLINK_DEMO_OUT=$work/out DACTYLINK_PIPE_DIR=$pipes \
  DACTYLINK_CLAIM_DIR=$work/claims "$root/scripts/demo.sh" --captures=3 --timeout=60 >"$log" 2>&1 </dev/null || status=$?
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[[ $status == 0 ]] || fail "the demo ended with status $status"
for line in "== Images ==" "== Templates ==" "== Scanners ==" "== Matching ==" "Demo finished" \
            "demo: simulator started with two sensors" "demo: simulator stopped"; do
  grep -qF -- "$line" "$log" || fail "no line \"$line\""
done
grep -qE "Verify capture 1 against its turned copy: score [0-9]+, match$" "$log" || fail "the turned copy did not match"
if grep -nE "WARNING in native method|JNI (error|warning)|FATAL ERROR in native method" "$log"; then
  fail "JNI warnings in the demo's output"
fi
for f in demo-image.bmp capture-1.bmp capture-1.nfr capture-1-overlay.png capture-3.nfr capture-1-turned.bmp; do
  [[ -s $work/out/$f ]] || fail "no $f in the output folder"
done
if ((failures)); then
  echo "--- the demo's output:"; cat "$log"
  exit 1
fi
echo "demo passed: $(grep -c . "$log") lines of output"
