#!/bin/bash
# Derives the matcher's thresholds (src/matching/ThresholdTable.h) from the
# engine and matcher of this tree: the quantiles of real impostor scores at
# FMR 1e-2 and 1e-3, and beyond 1e-3 the real tail continued with the shape
# of the generated set's (tools/fpplace, 200 fingers x 8 impressions, made
# once under build/accuracy and reused). Rerun after any change to the engine
# or the matcher.
#   scripts/thresholds.sh [--sets DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
sets=../shared/fingerprints/fvc
while [ $# -gt 0 ]; do
  case $1 in
    --sets) sets=$2; shift ;;
    *) echo "usage: scripts/thresholds.sh [--sets DIR]" >&2; exit 2 ;;
  esac
  shift
done
[ -f build/linux/build.ninja ] || cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target real_eval match_eval fpplace_gen >/dev/null
set_dir=build/accuracy/fpplace-200x8
if [ ! -f $set_dir/set.txt ]; then
  rm -rf $set_dir
  mkdir -p build/accuracy
  build/linux/bin/fpplace $set_dir --fingers 200 --impressions 8 >/dev/null
fi
echo "== generated set: the far tail's shape"
build/linux/bin/match_eval $set_dir --plot build/accuracy/generated-scores.png --thresholds build/accuracy/generated-thresholds.h | tail -n 4
echo
echo "== real prints: thresholds"
build/linux/bin/real_eval "$sets" --no-timing --far-tail build/accuracy/generated-thresholds.h \
  --thresholds src/matching/ThresholdTable.h | sed -n '/^Held out/,/^thresholds written/p'
