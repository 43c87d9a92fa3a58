#!/bin/bash
# Builds the native library and the Java classes, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)"
exec java -Xcheck:jni -Djava.library.path=build/linux/bin \
  -cp build/linux/java/dactylink.jar:build/linux/java/demo-classes ardivex.demo.Demo "$@"
