#!/bin/bash
# Runs the JUnit 5 tests on the real JVM with -Xcheck:jni and fails when the
# JVM prints any JNI warning, even if every test passed.
# usage: run-junit.sh <java> <junit-console-jar> <classpath> <native-lib-dir> <build-dir> [junit args...]
set -u
java=$1; junit=$2; cp=$3; libdir=$4; builddir=$5; shift 5
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$java" -Xcheck:jni -Djava.library.path="$libdir" -Ddactylink.build="$builddir" \
  -jar "$junit" --disable-banner --details=summary --details-theme=ascii \
  --class-path "$cp" --scan-class-path "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if grep -E -n "WARNING in native method|^WARNING: JNI|FATAL ERROR in native method|JNI (error|warning)" "$log"; then
  echo "run-junit: the JVM reported JNI warnings (see above)" >&2
  exit 1
fi
exit "$status"
