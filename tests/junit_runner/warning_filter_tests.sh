#!/bin/bash
# Each case: an output as the JVM and the other writers interleave it, and
# whether a JNI warning must remain after the filter (1) or not (0).
set -u
awk_file=$1
failures=0
desktop=$'\tat sun.font.FreetypeFontScaler.initNativeScaler(java.desktop@17.0.15/Native Method)\n\tat sun.font.FreetypeFontScaler.<init>(java.desktop@17.0.15/FreetypeFontScaler.java:67)\n\t- locked <0x1> (a sun.font.TrueTypeFont)'
ours=$'\tat ardivex.scanners.ScannerMan.nativeGetScanners(Native Method)\n\tat ardivex.scanners.ScannerMan.getScanners(ScannerMan.java:40)'
warning='WARNING in native method: JNI call made without checking exceptions when required to from CallIntMethod'
check() {
  local name=$1 expect=$2 text=$3
  local left
  left=$(printf '%s\n' "$text" | awk -f "$awk_file" | grep -c "WARNING in native method")
  if [[ $(( left > 0 )) != "$expect" ]]; then
    echo "FAIL $name: expected $( ((expect)) && echo a warning left || echo none left ), got $left"
    printf '%s\n' "$text" | awk -f "$awk_file" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
  # Nothing but the warnings and their stacks goes.
  if ! printf '%s\n' "$text" | awk -f "$awk_file" | grep -q "other line"; then
    if printf '%s\n' "$text" | grep -q "other line"; then
      echo "FAIL $name: a line of another writer was dropped"
      failures=$((failures + 1))
    fi
  fi
}
check "the desktop module's warning" 0 "$warning
$desktop
other line"
check "our warning" 1 "$warning
$ours
other line"
check "a warning at the very end" 1 "other line
$warning"
check "the desktop module's warning inside another writer's line" 0 "other line begun $warning
$desktop"
check "another writer's lines between the desktop warning and its stack" 0 "$warning
 NamedPipe: other line 109
Error 109: other line
$desktop"
check "another writer's text in front of the desktop stack's first line" 0 "$warning
Error 109: other line$desktop"
check "another writer's lines between our warning and its stack" 1 "$warning
Error 109: other line
$ours"
check "our warning right after the desktop module's" 1 "$warning
$desktop
$warning
$ours"
check "the desktop module's warning after ours" 1 "$warning
$ours
$warning
$desktop"
check "a warning no stack follows, then many lines" 1 "$warning
$(for i in $(seq 1 20); do echo "other line $i"; done)
$desktop"
if ((failures)); then
  echo "$failures case(s) failed"
  exit 1
fi
echo "all cases passed"
