#!/bin/bash
# Enrollment from impressions 1-3 against impression 1 alone on the public
# sets; needs a built linux preset.  usage: tools/enroll-eval/run.sh [sets folder]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${DACTYLINK_BUILD:-$here/../../build/linux}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
javac -d "$out" -cp "$build/java/dactylink.jar" "$here/EnrollEval.java"
java --enable-native-access=ALL-UNNAMED -Djava.library.path="$build/bin" \
  -cp "$out:$build/java/dactylink.jar:/usr/share/java/h2.jar" EnrollEval "${1:-/work/shared/fingerprints/fvc}"
