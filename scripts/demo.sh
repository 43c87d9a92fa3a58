#!/bin/bash
# Builds the native library, the plug-in, the engine and the Java classes,
# starts the sensor simulator with two sensors (unless a device service already
# answers on its main pipe), then runs the demo. Arguments go to the demo:
#   scripts/demo.sh [--captures=N] [--timeout=SECONDS] [--reader=INDEX] [image.bmp]
# Output goes to build/demo-output (or $DACTYLINK_DEMO_OUT). DACTYLINK_DEMO_BUILD
# names an existing build folder to use instead of the linux preset's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if [ -n "${DACTYLINK_DEMO_BUILD:-}" ]; then
  build=$(cd "$DACTYLINK_DEMO_BUILD" && pwd)
  cmake --build "$build" -j "$(nproc)" --target dactylink omr_tavoro_64 OmExtract tavoro-sim dactylink_cli dactylink_demo
else
  scripts/setup.sh
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$(nproc)"
  build=$root/build/linux
fi

bin=$build/bin
jars=$build/java
out=${DACTYLINK_DEMO_OUT:-$root/build/demo-output}
for f in "$bin/libdactylink.so" "$bin/omr_tavoro_64.so" "$bin/OmExtract.so" "$bin/tavoro-sim" \
         "$jars/dactylink.jar" "$jars/demo-classes/ardivex/demo/Demo.class"; do
  if [ ! -e "$f" ]; then
    echo "demo: $f is missing after the build; see the build output above." >&2
    exit 1
  fi
done

# The plug-in reaches the device service through Unix sockets in this folder.
pipes=${DACTYLINK_PIPE_DIR:-/tmp/dactylink-pipes-$(id -u)}
main_pipe=$pipes/TavoDeviceServiceMainPipe

answers() {
  [ -S "$1" ] && python3 - "$1" <<'PY' 2>/dev/null
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(2)
s.connect(sys.argv[1])
PY
}

sim_pid=
control=
stop_sim() {
  if [ -n "$sim_pid" ]; then
    # Ask politely through the control file, then insist.
    echo quit >"$control"
    for _ in $(seq 20); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    echo "demo: simulator stopped"
  fi
  [ -z "$control" ] || rm -f "$control"
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

if answers "$main_pipe"; then
  echo "demo: a device service already answers on $main_pipe; using it"
else
  control=$(mktemp)
  sim_log=$root/build/tavoro-sim.log
  mkdir -p "$pipes"
  DACTYLINK_PIPE_DIR=$pipes "$bin/tavoro-sim" --sensors=2 --control="$control" >"$sim_log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do
    answers "$main_pipe" && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      echo "demo: the simulator ended at once; its output:" >&2
      cat "$sim_log" >&2
      sim_pid=
      exit 1
    fi
    sleep 0.1
  done
  if ! answers "$main_pipe"; then
    echo "demo: the simulator does not answer on $main_pipe (log: $sim_log)" >&2
    exit 1
  fi
  echo "demo: simulator started with two sensors (pid $sim_pid, pipes in $pipes)"
fi

# omr_tavoro_64.so and OmExtract.so lie beside libdactylink.so in $bin, one of
# the folders where the library looks for plug-ins and its engine.
export DACTYLINK_PIPE_DIR=$pipes
# The demo runs under -Xcheck:jni, so any misuse of JNI by the library shows.
# The JDK's own font scaler also raises JNI warnings when the overlays draw
# their text (about thirty, each with its stack); those are the JDK's, not
# ours, and are dropped with their stacks as in the Java tests
# (java/jni-warnings.awk). mawk must not hold lines back while the demo waits
# for a finger.
awk_opts=()
if awk -W version 2>/dev/null | grep -q mawk; then awk_opts=(-W interactive); fi
java -Xcheck:jni -Djava.library.path="$bin" -Ddactylink.demo.out="$out" \
  -cp "$jars/dactylink.jar:$jars/cli-classes:$jars/demo-classes:/usr/share/java/h2.jar" ardivex.demo.Demo "$@" 2>&1 |
  awk "${awk_opts[@]}" -f "$root/java/jni-warnings.awk"
