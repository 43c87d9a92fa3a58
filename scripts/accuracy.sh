#!/bin/bash
# Accuracy of the engine and the matcher together, on real prints and on the
# generated set, with the aims checked. Builds the linux preset's tools first.
#   scripts/accuracy.sh [--sets DIR] [--no-generated] [--plot PNG]
# DIR holds one folder of FFF_I.png impressions per set (default: the shared
# real sets beside the project, ../shared/fingerprints/fvc). The generated set
# (tools/fpplace, 200 fingers x 8 impressions) is made once under
# build/accuracy and reused.
set -euo pipefail
cd "$(dirname "$0")/.."
sets=../shared/fingerprints/fvc
generated=1
plot=build/accuracy/det.png
while [ $# -gt 0 ]; do
  case $1 in
    --sets) sets=$2; shift ;;
    --no-generated) generated=0 ;;
    --plot) plot=$2; shift ;;
    *) echo "usage: scripts/accuracy.sh [--sets DIR] [--no-generated] [--plot PNG]" >&2; exit 2 ;;
  esac
  shift
done
scripts/setup.sh
[ -f build/linux/build.ninja ] || cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target real_eval match_eval fpplace_gen >/dev/null
mkdir -p build/accuracy "$(dirname "$plot")"
echo "== real prints ($sets)"
tail_args=()
# The generated set's far tail, when scripts/thresholds.sh has measured it: the held-out thresholds then follow the shipped derivation to 1e-4.
[ -f build/accuracy/generated-thresholds.h ] && tail_args=(--far-tail build/accuracy/generated-thresholds.h)
build/linux/bin/real_eval "$sets" --aims --plot "$plot" "${tail_args[@]}"
if [ $generated = 1 ]; then
  set_dir=build/accuracy/fpplace-200x8
  if [ ! -f $set_dir/set.txt ]; then
    rm -rf $set_dir
    build/linux/bin/fpplace $set_dir --fingers 200 --impressions 8 >/dev/null
  fi
  echo
  echo "== generated set ($set_dir: 200 fingers x 8 impressions)"
  build/linux/bin/match_eval $set_dir --plot build/accuracy/generated-scores.png | tail -n 4
  echo "aim: EER at most 0.32 %"
fi
