#!/bin/bash
# Runs the JUnit 5 tests on the real JVM with -Xcheck:jni and fails when the
# JVM prints any JNI warning, even if every test passed.
# usage: run-junit.sh <java> <junit-console-jar> <classpath> <native-lib-dir> <build-dir> [junit args...]
set -u
java=$1; junit=$2; cp=$3; libdir=$4; builddir=$5; shift 5
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Native access granted as an application on Java 22 and later grants it
# (older JVMs accept the option and change nothing).
"$java" -Xcheck:jni --enable-native-access=ALL-UNNAMED -Djava.library.path="$libdir" -Ddactylink.build="$builddir" \
  -jar "$junit" --disable-banner --details=summary --details-theme=ascii \
  --class-path "$cp" --scan-class-path "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
# JNI warnings the JDK's own desktop module raises are dropped first (see
# jni-warnings.awk); every other one fails the run.
checked=$(mktemp)
trap 'rm -f "$log" "$checked"' EXIT
awk -f "$(dirname "$0")/jni-warnings.awk" "$log" > "$checked"
if grep -E -n "WARNING in native method|^WARNING: JNI|FATAL ERROR in native method|JNI (error|warning)" "$checked"; then
  echo "run-junit: the JVM reported JNI warnings (see above)" >&2
  exit 1
fi
if grep -E -n "^WARNING: A restricted method" "$log"; then
  echo "run-junit: the JVM warned of native access (see above)" >&2
  exit 1
fi
exit "$status"
