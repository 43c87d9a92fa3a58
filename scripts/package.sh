#!/bin/bash
# Builds the release folder build/dist/ from a fresh clone: the Windows DLLs
# and simulator (windows preset, mingw-w64), the Linux natives and the Java
# classes (linux preset), then the target dist, which packs the library jar
# with both platforms' natives, its -sources and -javadoc jars, the
# standalone command-line tool, the Windows zip, the simulators and the Maven
# repository.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=${DACTYLINK_JOBS:-$(nproc)}
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target dactylink omr_tavoro_64 OmExtract tavoro-sim
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target dist
echo "release folder: $PWD/build/dist"
ls -l build/dist
