#!/bin/bash
# Soak run of the Tavoro capture road: two simulated sensors capture through
# the Java scanner classes for SECONDS (default 600) while the simulator
# injects a fault every FAULT_EVERY seconds (default 5). Uses the linux build;
# the soak's own lines are also kept in build/soak.log.
#   scripts/soak.sh [seconds] [fault every seconds] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target tavoro-sim dactylink omr_tavoro_64 dactylink_java_bench tavoro_java_bin
pipes=$(mktemp -d /tmp/tavoro-soak-pipes.XXXXXX)
trap 'rm -rf "$pipes"' EXIT
export DACTYLINK_PIPE_DIR=$pipes
export DACTYLINK_REGISTRY=${DACTYLINK_REGISTRY:-$PWD/build/registry}
# A fixed heap, so that resident memory tells about native memory, not the
# collector's mood.
java -Xms96m -Xmx96m -Xcheck:jni -Djava.library.path=$build/tavoro-java-bin \
  -cp $build/java/dactylink.jar:$build/java/bench-classes ardivex.bench.TavoroSoak \
  "$build/bin/tavoro-sim" "${1:-600}" "${2:-5}" "${3:-1}" 2>&1 |
  awk '/soak: / { sub(/.*soak: /, "soak: "); print; fflush() }
       END { print "soak: lines of output, the plug-in'"'"'s messages included: " NR }' | tee build/soak.log
