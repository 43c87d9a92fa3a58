#!/usr/bin/env python3
"""Leave-one-set-out choice of the image quality score's constants.

The engine's score is 100 * (min(1, clear area / FULL) * coherence ** FLOW) ** 0.6
(engine/src/quality.cpp; the outer power only spreads the scale and leaves
the order of pictures as it is). This script recomputes it from the measures
that real_eval writes (--quality-out) for a grid of (FULL, FLOW), and for
each set s picks the candidate that, on the other four sets pooled, lowers
the FNMR at threshold(1e-3) most when the worst 10 % of pictures are set
aside. That candidate's figures on s are the held-out ones; the pooled
held-out figure sorts every picture by the score of the candidate chosen
without its own set. The shipped candidate's figures are printed beside them.

  real_eval ROOT --no-timing --quality-out Q.tsv --scores S.tsv
  quality_loso.py Q.tsv S.tsv --threshold T [--shipped FULL,FLOW]

T is the shipped threshold(1e-3), as real_eval prints it ("Shipped
thresholds"). Plain Python, no packages beyond the standard library.
"""
import argparse
import collections
import csv
import itertools
import math
import random


SPREAD = 0.6


def score(m, full, flow):
    a = min(1.0, m["clear"] / full)
    c = min(1.0, max(0.0, m["coherence"]))
    v = 100 * (a * c ** flow) ** SPREAD
    return max(0, min(100, int(math.floor(v + 0.5))))


def fnmr_kept(gen, kept, t):
    n = below = 0
    for a, b, s in gen:
        if a in kept and b in kept:
            n += 1
            below += s < t
    return below / n if n else 0.0


def reject_change(images, quality, gen, t, share=0.10):
    """Relative change of FNMR at t when the worst `share` of `images` are set aside."""
    order = sorted(images, key=lambda i: (quality[i], i))
    reject = int(len(images) * share + 0.5)
    kept = set(order[reject:])
    base = fnmr_kept(gen, set(images), t)
    after = fnmr_kept(gen, kept, t)
    return (after - base) / base if base else 0.0, base, after


def ranks(v):
    order = sorted(range(len(v)), key=lambda i: v[i])
    r = [0.0] * len(v)
    i = 0
    while i < len(order):
        j = i
        while j + 1 < len(order) and v[order[j + 1]] == v[order[i]]:
            j += 1
        for k in range(i, j + 1):
            r[order[k]] = (i + j) / 2 + 1
        i = j + 1
    return r


def spearman(x, y):
    rx, ry = ranks(x), ranks(y)
    n = len(x)
    mx, my = sum(rx) / n, sum(ry) / n
    sxy = sum((a - mx) * (b - my) for a, b in zip(rx, ry))
    sxx = sum((a - mx) ** 2 for a in rx)
    syy = sum((b - my) ** 2 for b in ry)
    return sxy / math.sqrt(sxx * syy) if sxx and syy else 0.0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("quality")
    ap.add_argument("scores")
    ap.add_argument("--threshold", type=int, required=True)
    ap.add_argument("--shipped", default="120,0.8")
    a = ap.parse_args()

    images = {}
    by_set = collections.defaultdict(list)
    with open(a.quality) as f:
        for r in csv.DictReader(f, delimiter="\t"):
            key = (r["set"], r["image"])
            images[key] = {"clear": float(r["clearAreaMm2"]), "coherence": float(r["coherence"]),
                           "mean": float(r["meanGenuine"]), "engine": int(r["quality"])}
            by_set[r["set"]].append(key)
    gen = collections.defaultdict(list)
    with open(a.scores) as f:
        for line in f:
            p = line.split("\t")
            if len(p) >= 5 and p[3] == "1":
                gen[p[0]].append(((p[0], p[1]), (p[0], p[2]), int(p[4])))
    sets = sorted(by_set)
    t = a.threshold

    grid = list(itertools.product([60, 80, 100, 120, 150, 200, 250, 300], [0.0, 0.4, 0.8, 1.2, 1.6, 2.4]))
    shipped = tuple(float(x) for x in a.shipped.split(","))
    if shipped not in grid:
        grid.append(shipped)
    # Quality of every picture under every candidate.
    qual = {c: {k: score(m, *c) for k, m in images.items()} for c in grid}

    def change(c, chosen_sets):
        ims = [k for s in chosen_sets for k in by_set[s]]
        g = [p for s in chosen_sets for p in gen[s]]
        return reject_change(ims, qual[c], g, t)[0]

    print("Leave-one-set-out choice of the quality score's constants (FULL mm2, FLOW), "
          "by the FNMR change at threshold(1e-3) = %d when the worst 10 %% are set aside\n" % t)
    print("| set left out | chosen on the other four | change on the others | change on the set left out | "
          "shipped %s on the set |" % (a.shipped,))
    print("|---|---|---|---|---|")
    held = {}
    held_choice = {}
    for s in sets:
        others = [o for o in sets if o != s]
        best = min(grid, key=lambda c: (change(c, others), c))
        held_choice[s] = best
        for k in by_set[s]:
            held[k] = qual[best][k]
        print("| %s | %g, %g | %+.1f %% | %+.1f %% | %+.1f %% |" % (
            s, best[0], best[1], 100 * change(best, others), 100 * change(best, [s]), 100 * change(shipped, [s])))
    every = min(grid, key=lambda c: (change(c, sets), c))
    print("| (none: all five) | %g, %g | %+.1f %% | | |" % (every[0], every[1], 100 * change(every, sets)))
    all_images = [k for s in sets for k in by_set[s]]
    all_gen = [p for s in sets for p in gen[s]]
    ch, base, after = reject_change(all_images, held, all_gen, t)
    chs, _, after_s = reject_change(all_images, qual[shipped], all_gen, t)
    rng = random.Random(12345)
    rand = []
    for _ in range(200):
        order = all_images[:]
        rng.shuffle(order)
        rand.append(fnmr_kept(all_gen, set(order[int(len(order) * 0.1 + 0.5):]), t))
    mean_rand = sum(rand) / len(rand)
    print("\nPooled, the worst 10 %% set aside: FNMR %.2f %% -> %.2f %% (%+.1f %%) with the held-out choices, "
          "%.2f %% (%+.1f %%) with the shipped constants, %.2f %% (%+.1f %%) at random (mean of 200 draws)" % (
              100 * base, 100 * after, 100 * ch, 100 * after_s, 100 * chs, 100 * mean_rand, 100 * (mean_rand - base) / base))
    means = [images[k]["mean"] for k in all_images]
    print("(the pooled held-out figure sorts pictures whose scores come from different constants, so its order "
          "across sets is the least reliable part of it)")
    print("Mean over the sets of the change on the set left out: %+.1f %% with the held-out choices, %+.1f %% with the shipped constants" % (
        100 * sum(change(held_choice[s], [s]) for s in sets) / len(sets), 100 * sum(change(shipped, [s]) for s in sets) / len(sets)))
    print("Spearman of the score with the mean genuine score: %.3f held out, %.3f shipped" % (
        spearman([held[k] for k in all_images], means), spearman([qual[shipped][k] for k in all_images], means)))
    same = sum(qual[shipped][k] == images[k]["engine"] for k in all_images)
    print("The shipped candidate recomputed here equals the engine's score on %d of %d pictures" % (same, len(all_images)))


if __name__ == "__main__":
    main()
