#!/usr/bin/env python3
"""Weights of the per-minutia confidence, chosen with one set left out.

    real_eval ROOT --no-timing --minutia-out m.tsv
    minutia_quality_loso.py m.tsv

The engine's confidence of a minutia is a weighted geometric mean of what the
extractor measured where it lies (MinutiaConfidence in engine/src/extractor.cpp).
A good confidence ranks the minutiae the matcher pairs in genuine comparisons
above those it never pairs: measured by the chance that a paired minutia
scores above a never-paired one of the same set (AUC), averaged over sets.

For each set, the weights (a grid of 0, 0.5, 1 and 2 for each measure) that do
best on the other four are measured on the set left out, beside the shipped
weights and the single measures; then the choice on all five sets.
"""
import csv
import itertools
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quality_loso import ranks  # noqa: E402

MEASURES = ["coherence", "clarity", "contrast", "border", "spacing"]
GRID = [0, 0.5, 1, 2]


def auc(scores, labels):
    """Chance that a positive scores above a negative, ties counted half."""
    r = ranks(scores)
    pos = sum(labels)
    neg = len(labels) - pos
    if pos == 0 or neg == 0:
        return 0.5
    rank_sum = sum(x for x, l in zip(r, labels) if l)
    return (rank_sum - pos * (pos + 1) / 2) / (pos * neg)


def confidence(logs, weights):
    total = sum(weights)
    # The byte the engine writes: rounded, so that ties count as they will.
    return [round(100 * math.exp(sum(w * v for w, v in zip(weights, row)) / total)) for row in logs]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sets = {}
    with open(sys.argv[1]) as f:
        for row in csv.DictReader(f, delimiter="\t"):
            values = [float(row[m]) for m in MEASURES]
            if not any(values):
                continue  # a template read, not extracted: nothing measured
            logs = [math.log(max(0.02, v)) for v in values]
            s = sets.setdefault(row["set"], ([], []))
            s[0].append(logs)
            s[1].append(1 if int(row["timesPaired"]) > 0 else 0)
    names = sorted(sets)
    if len(names) < 2:
        sys.exit("minutia_quality_loso.py: needs at least two sets")
    candidates = [w for w in itertools.product(GRID, repeat=len(MEASURES)) if sum(w) > 0]
    table = {}
    for w in candidates:
        table[w] = {n: auc(confidence(sets[n][0], w), sets[n][1]) for n in names}
    shipped = (1, 0, 1, 0, 0)
    if shipped not in table:
        table[shipped] = {n: auc(confidence(sets[n][0], shipped), sets[n][1]) for n in names}

    def label(w):
        return ", ".join(f"{m} {x:g}" for m, x in zip(MEASURES, w) if x)

    print("| set left out | chosen on the other four | AUC held out | earlier (coherence x contrast) |")
    print("|---|---|---|---|")
    held, earlier = [], []
    for out in names:
        train = [n for n in names if n != out]
        best = max(candidates, key=lambda w: (sum(table[w][n] for n in train), -sum(w)))
        held.append(table[best][out])
        earlier.append(table[shipped][out])
        print(f"| {out} | {label(best)} | {table[best][out]:.3f} | {table[shipped][out]:.3f} |")
    print(f"| mean | | {sum(held) / len(held):.3f} | {sum(earlier) / len(earlier):.3f} |")
    print()
    print("Single measures (AUC, mean over sets):",
          ", ".join(f"{m} {sum(table[tuple(1 if j == i else 0 for j in range(len(MEASURES)))][n] for n in names) / len(names):.3f}"
                    for i, m in enumerate(MEASURES)))
    final = max(candidates, key=lambda w: (sum(table[w][n] for n in names), -sum(w)))
    print(f"Chosen on all sets: {label(final)} (mean AUC {sum(table[final].values()) / len(names):.3f})")


if __name__ == "__main__":
    main()
