#!/bin/bash
# The wine launcher (run.sh) against a stand-in for wine that refuses to start
# the program a given number of times, then starts it with a given status.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fake=$work/wine
cat >"$fake" <<'FAKE'
#!/bin/bash
# Counts its calls; refuses the first $REFUSE of them (ending with
# $REFUSED_STATUS), then "starts" the program: marks it and ends with $STATUS.
calls=$(( $(cat "$COUNT" 2>/dev/null || echo 0) + 1 )); echo "$calls" >"$COUNT"
(( calls <= REFUSE )) && exit "$REFUSED_STATUS"
[[ $DL_WINE_STARTED == Z:/* ]] || { echo "marker not a wine path: $DL_WINE_STARTED" >&2; exit 99; }
: >"${DL_WINE_STARTED#Z:}"
echo "ran $*"
exit "$STATUS"
FAKE
chmod +x "$fake"
mkdir "$work/tmp"
export TMPDIR=$work/tmp   # the launcher's marker folders, to be gone afterwards
failures=0
# case REFUSE REFUSED_STATUS STATUS -> expected exit, expected calls
check() {
  local name=$1 refuse=$2 refused_status=$3 status=$4 want_exit=$5 want_calls=$6
  rm -f "$work/count"
  set +e
  out=$(COUNT=$work/count REFUSE=$refuse REFUSED_STATUS=$refused_status STATUS=$status \
        "$here/run.sh" "$fake" /some/dir/prog.exe --flag 2>&1)
  got=$?
  set -e
  calls=$(cat "$work/count")
  if [[ $got != "$want_exit" || $calls != "$want_calls" ]]; then
    echo "FAIL $name: exit $got (want $want_exit), calls $calls (want $want_calls)"; echo "$out"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}
check "started at once keeps a pass"                 0 0 0 0 1
check "started at once keeps a failure, no rerun"    0 0 7 7 1
check "refused twice (status 1), then passes"        2 1 0 0 3
check "refused with status 0 is not a pass"          2 0 5 5 3
check "never started fails even with status 0"       9 0 0 1 3
# The program's arguments and output pass through, and the refusals are told.
rm -f "$work/count"
out=$(COUNT=$work/count REFUSE=1 REFUSED_STATUS=1 STATUS=0 "$here/run.sh" "$fake" /d/prog.exe a 'b c' 2>&1)
grep -qx "ran /d/prog.exe a b c" <<<"$out" || { echo "FAIL arguments: $out"; failures=$((failures + 1)); }
grep -q "wine ended prog.exe (status 1) before the program started (attempt 1 of 3)" <<<"$out" \
  || { echo "FAIL message: $out"; failures=$((failures + 1)); }
left=$(ls -A "$TMPDIR")
[[ -z $left ]] || { echo "FAIL marker folders left: $left"; failures=$((failures + 1)); }
exit $((failures > 0))
