#!/bin/bash
# Runs every benchmark of the project RUNS times (default 5) on the linux build
# and prints one table: each figure's median and minimum over the runs, its
# floor measured in the same runs, the ratio (median of the per-run ratios)
# and the aim. The machine's load comes first: on a shared machine the figures
# move with it, so read them together.
#   scripts/bench.sh [--long] [--runs N] [--core C]
# --long runs each case longer and adds the slow cases (2048 x 2048 noise
# extraction, a 1:N search of 100,000 templates) and, once after the runs,
# identification among a million templates (match_million: its time, the
# gallery's memory per template and, with the real sets beside the project,
# what the filter costs in accuracy; the first run makes the million templates
# and keeps them in build/linux, about 1 GB) and a million templates in a
# PostgreSQL server of its own (ServerBaseBench: enrolled in batches, then the
# base opened again, which reads them all); the whole takes 30 to 50 minutes;
# the default takes about two minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/linux
# Every Java figure comes from this JDK.
jdk=/usr/lib/jvm/java-17-openjdk-amd64
runs=5
long=0
core=$(($(nproc) - 1))  # single-threaded cases run pinned to this core
while [ $# -gt 0 ]; do
  case $1 in
    --long) long=1 ;;
    --runs) runs=$2; shift ;;
    --core) core=$2; shift ;;
    *) echo "usage: scripts/bench.sh [--long] [--runs N] [--core C]" >&2; exit 2 ;;
  esac
  shift
done

echo "== machine load"
echo "$(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg); $(grep -c ^processor /proc/cpuinfo) processors"
ps -eo pcpu=,comm= --sort=-pcpu | head -5 | awk '{printf "  %5s%% %s\n", $1, $2}'

[ -f $build/build.ninja ] || cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target dactylink omr_tavoro_64 tavoro-sim tavoro_java_bin dactylink_java_bench \
  tavoro_exchange_bench tavoro_cycle_exchanges omextract_time readers_resample_bench match_bench match_million real_eval >/dev/null

if [ $long = 1 ]; then
  bmp_s=2; gb_min=1; capture_s=10; extract_runs=50; large_runs=50
else
  bmp_s=0.3; gb_min=0.2; capture_s=2; extract_runs=40; large_runs=12
fi
export DACTYLINK_REGISTRY=${DACTYLINK_REGISTRY:-$PWD/build/registry}
pin="taskset -c $core"
java=$jdk/bin/java
out=$(mktemp -d /tmp/dactylink-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
figures=$out/figures  # lines "run name value"

# Google Benchmark cases: CPU time per iteration in microseconds.
gbench() {
  local run=$1 prefix=$2; shift 2
  "$@" --benchmark_format=json --benchmark_min_time=$gb_min 2>/dev/null |
    python3 -c '
import json, sys
run, prefix = sys.argv[1], sys.argv[2]
for b in json.load(sys.stdin)["benchmarks"]:
    unit = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]
    name = b["name"].split("/min_time")[0].replace("/real_time", "").replace("/", "_")
    print(run, prefix + name, b["cpu_time"] * unit)
' "$run" "$prefix" >>$figures
}

for run in $(seq 1 "$runs"); do
  echo "== run $run of $runs"
  # BMP in memory, against one copy of the file's bytes.
  $pin $java -Djava.library.path=$build/bin -cp $build/java/dactylink.jar:$build/java/bench-classes \
    ardivex.bench.BmpBench 388 374 $bmp_s | awk -v r=$run '$1 == "figure" {print r, $2, $3}' >>$figures

  # T100 exchange over the service pipe against a plain ping-pong of the same
  # sizes. Two threads talking: not pinned.
  $build/bin/tavoro_exchange_bench --benchmark_min_time=$gb_min --benchmark_color=false 2>/dev/null |
    awk -v r=$run '/TransportSE exchanges/ {gsub(",", ""); print r, "exchange_us", 1e6 / $3; print r, "pingpong_us", 1e6 / $6}' >>$figures

  # Images to the Java listener against the capture exchanges alone.
  pipes=$out/pipes-$run
  mkdir -p $pipes
  DACTYLINK_PIPE_DIR=$pipes $java -Djava.library.path=$build/tavoro-java-bin \
    -cp $build/java/dactylink.jar:$build/java/bench-classes ardivex.bench.TavoroCaptureBench \
    $build/bin/tavoro-sim $build/bin/tavoro_cycle_exchanges $capture_s 2>&1 |
    awk -v r=$run '/^exchanges-only/ {print r, "capture_floor_ms", $5}
                   /^to the Java listener/ {print r, "capture_ms", $8}' >>$figures

  # Extraction: CPU time per picture on one core.
  only=()
  [ $long = 1 ] || only=(--only probe.bmp)
  $pin $build/bin/omextract_time --runs $extract_runs "${only[@]}" 2>/dev/null |
    awk -v r=$run '{print r, "extract_" $1, $4}' >>$figures
  if [ $long = 0 ]; then
    $pin $build/bin/omextract_time --runs $large_runs --only large.bmp 2>/dev/null | awk -v r=$run '{print r, "extract_" $1, $4}' >>$figures
  fi

  gbench $run resample_ $pin $build/bin/readers_resample_bench
  filter=.
  [ $long = 1 ] || filter='^BM_(Compare|Prepare)'
  gbench $run match_ $pin $build/bin/match_bench --benchmark_filter="$filter"
done

echo
echo "== $runs runs; load average now $(cut -d' ' -f1-3 /proc/loadavg); pinned cases on core $core; JDK $jdk"
python3 - "$figures" <<'EOF'
import statistics, sys
from collections import defaultdict

runs = defaultdict(dict)  # name -> run -> value
for line in open(sys.argv[1]):
    run, name, value = line.split()
    runs[name][run] = float(value)

# name, label, unit, floor name, ratio: "time" (figure / floor) or "speed"
# (floor / figure), aim (text, test on the median ratio or figure)
rows = [
    ("bmp_load_us", "loadBMP 388x374 grey", "us", "bmp_copy_us", "time", "<= 4 copies", lambda r, f: r <= 4),
    ("bmp_save_us", "saveBMP 388x374 grey", "us", "bmp_copy_us", "time", "<= 4 copies", lambda r, f: r <= 4),
    ("bmp_clone_us", "  one copy of the file into a new array", "us", "bmp_copy_us", "time", "", None),
    ("imageio_read_us", "  javax.imageio read (no cache)", "us", "bmp_load_us", "time", "", None),
    ("imageio_write_us", "  javax.imageio write (no cache)", "us", "bmp_save_us", "time", "", None),
    ("exchange_us", "T100 exchange, service pipe", "us", "pingpong_us", "speed", ">= 0.9 of ping-pong", lambda r, f: r >= 0.9),
    ("capture_ms", "capture to Java listener 256x360", "ms", "capture_floor_ms", "time", "<= 1.15x floor", lambda r, f: r <= 1.15),
    ("extract_probe.bmp", "extraction 388x374, CPU", "ms", None, None, "<= 6 ms", lambda r, f: f <= 6),
    ("extract_synthetic-probe.bmp", "extraction 388x374 synthetic, CPU", "ms", None, None, "<= 6 ms", lambda r, f: f <= 6),
    ("extract_large.bmp", "extraction 832x768, CPU", "ms", None, None, "<= 20 ms", lambda r, f: f <= 20),
    ("extract_synthetic-large.bmp", "extraction 832x768 synthetic, CPU", "ms", None, None, "<= 20 ms", lambda r, f: f <= 20),
    ("extract_noise2048", "extraction 2048x2048 noise, CPU", "ms", None, None, "", None),
]
known = {r[0] for r in rows} | {"bmp_copy_us", "pingpong_us", "capture_floor_ms"}
for name in sorted(runs):
    if name not in known:
        rows.append((name, name.replace("_BM_", " ").replace("Reamostrar448x511Para320x365_", "448x511 to 320x365 #") + ", CPU", "us", None, None, "", None))

print(f"{'figure':46} {'median':>10} {'min':>10} {'floor':>10} {'ratio':>7}  {'aim':22} met")
for name, label, unit, floor, kind, aim, test in rows:
    if name not in runs:
        continue
    v = runs[name]
    med, low = statistics.median(v.values()), min(v.values())
    fl = ratio = None
    if floor and floor in runs:
        fv = runs[floor]
        fl = statistics.median(fv.values())
        per = [(v[k] / fv[k]) if kind == "time" else (fv[k] / v[k]) for k in v if k in fv and v[k] > 0]
        ratio = statistics.median(per) if per else None
    met = "" if test is None else ("yes" if test(ratio if ratio is not None else med, med) else "NO")
    fls = f"{fl:10.2f}" if fl is not None else f"{'-':>10}"
    rs = f"{ratio:7.2f}" if ratio is not None else f"{'-':>7}"
    print(f"{label + ' (' + unit + ')':46} {med:10.2f} {low:10.2f} {fls} {rs}  {aim:22} {met}")
print("floors: loadBMP/saveBMP: one copy of the file into an array that exists (the ratio counts copies);"
      " exchange: plain request/reply of the same sizes (ratio = ping-pong time / exchange time);"
      " capture: the capture exchanges alone (tavoro_cycle_exchanges); javax.imageio rows: our own figure in the floor"
      " column, the ratio is how many times slower javax.imageio is.")
EOF

# Accuracy on the real sets beside the project, when they are there (the
# whole evaluation with the aims: scripts/accuracy.sh).
sets=../shared/fingerprints/fvc
if [ -d $sets ]; then
  echo
  echo "== accuracy on the real sets in $sets (pooled; per set: scripts/accuracy.sh)"
  $build/bin/real_eval $sets --no-timing | awk '/^\| set \|/ || /^\| pooled \|/'
fi

# ServerBaseBench on a PostgreSQL server of its own: a new cluster in a
# temporary folder on a free loopback port, run as the unprivileged user
# "postgres" when this script runs as root (initdb refuses root), stopped and
# removed however the bench ends.
server_base_bench() {
  local bin=/usr/lib/postgresql/15/bin dir port as=()
  dir=$(mktemp -d /tmp/dactylink-pgbench.XXXXXX)
  if [ "$(id -u)" = 0 ]; then
    chown postgres "$dir"
    as=(runuser -u postgres --)
  fi
  "${as[@]}" $bin/initdb -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C --no-sync >/dev/null
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "${as[@]}" $bin/pg_ctl -D "$dir/data" -l "$dir/server.log" -w \
    -o "-p $port -c listen_addresses=127.0.0.1 -c unix_socket_directories=" start >/dev/null
  local status=0
  "$jdk/bin/java" -Djava.library.path=$build/bin \
    -cp $build/java/dactylink.jar:$build/java/bench-classes:/usr/share/java/postgresql.jar \
    ardivex.bench.ServerBaseBench "jdbc:postgresql://127.0.0.1:$port/postgres" postgres "$@" || status=$?
  "${as[@]}" $bin/pg_ctl -D "$dir/data" -m fast -w stop >/dev/null || true
  rm -rf "$dir"
  return $status
}

if [ $long = 1 ]; then
  echo
  echo "== identification among a million (match_million); load average $(cut -d' ' -f1-3 /proc/loadavg)"
  million=()
  if [ -d $sets ]; then
    $build/bin/real_eval $sets --templates-out $build/real-templates --no-timing >/dev/null
    million=(--templates $build/real-templates)
  fi
  $build/bin/match_million "${million[@]}" | grep -v '^figure'

  echo
  echo "== a million templates in PostgreSQL (ServerBaseBench: enrollAll in batches, then the opening's load)"
  server_base_bench
fi
