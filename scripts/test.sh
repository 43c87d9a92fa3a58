#!/bin/bash
# Builds every preset and runs every test: the C++ tests on linux, linux-asan
# (with the fuzzers for a bounded time) and windows (under wine), the threaded
# tests under TSan, and the Java tests on the real JVM with -Xcheck:jni.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wineprefix"
export DACTYLINK_REGISTRY="$PWD/build/registry"   # POSIX stand-in for the registry, kept out of $HOME
# A compiler cache makes the second run of a clone, or of another clone in
# another folder, mostly a link step.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
jobs=$(nproc)
run() {
  local preset=$1; shift
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" "$@"
}
# The release tests of the linux preset pack the Windows DLLs: build them first.
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target dactylink omr_tavoro_64 OmExtract tavoro-sim
run linux
run linux-asan
run linux-tsan -L tsan
run windows
echo "all presets passed"
