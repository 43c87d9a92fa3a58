#!/usr/bin/env python3
"""Leave-one-set-out selection among variants of the matcher or the engine.

Runs real_eval once per candidate (each a list of settings: the matcher's
--tune NAME=VALUE, or the engine's configuration fields --config FIELD=VALUE,
on fixed templates or with the engine), reads the scores it writes, and for
each set s picks the candidate whose pooled EER over the other sets is the
lowest: that candidate's figures on s are the held-out figures, reported
beside the figures of the candidate given as the final one.

  loso.py [--real-eval PATH] [--root DIR] [--templates-in DIR] [--final N]
            CANDIDATE...

A CANDIDATE is "name:setting,setting,...", for example
"k6:vote-neighbours=6,anchors=12" or "clear:MinQFG=0.3" ("name:" alone is the
shipped build). A setting whose name starts with a capital letter is one of
the engine's configuration fields (real_eval --config), any other a matcher
tuning (--tune). "name:@FILE" takes the scores that real_eval --scores wrote
into FILE, for variants of the code itself: build each, run real_eval
--no-timing --scores FILE with it, then choose among the files. --final N
(default 0) names the candidate shipped. Plain Python, no packages beyond the
standard library.
"""
import argparse
import collections
import os
import subprocess
import sys
import tempfile


def rates(gen, imp):
    """EER, FMR100 and FMR1000 (as real_eval computes them) of two score lists."""
    gen = sorted(gen)
    imp = sorted(imp)
    import bisect

    def fnmr(t):
        return bisect.bisect_left(gen, t) / len(gen)

    def fmr(t):
        return (len(imp) - bisect.bisect_left(imp, t)) / len(imp)

    steps = sorted(set(gen) | set(g + 1 for g in gen) | set(imp) | set(i + 1 for i in imp))
    t1, t2 = steps[0], steps[-1]
    for t in steps:
        if fnmr(t) <= fmr(t):
            t1 = t
    for t in reversed(steps):
        if fnmr(t) >= fmr(t):
            t2 = t
    if fnmr(t1) + fmr(t1) <= fnmr(t2) + fmr(t2):
        eer = (fnmr(t1) + fmr(t1)) / 2
    else:
        eer = (fmr(t2) + fnmr(t2)) / 2

    def at(rate):
        n = len(imp)
        allowed = int(rate * n + 1e-9)
        t = imp[0] if allowed >= n else imp[n - 1 - allowed] + 1
        return fnmr(t)

    return eer, at(1e-2), at(1e-3)


def read_scores(path):
    by_set = collections.defaultdict(lambda: ([], []))
    with open(path) as f:
        for line in f:
            cols = line.split("\t")
            by_set[cols[0]][0 if cols[3] == "1" else 1].append(int(cols[4]))
    return by_set


def run(args, name, tunes, out):
    cmd = [args.real_eval, args.root, "--no-timing", "--scores", out]
    if args.templates_in:
        cmd += ["--templates-in", args.templates_in]
    for t in tunes:
        cmd += ["--config" if t[:1].isupper() else "--tune", t]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return read_scores(out)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--real-eval", default="build/linux/bin/real_eval")
    p.add_argument("--root", default="../shared/fingerprints/fvc")
    p.add_argument("--templates-in")
    p.add_argument("--final", type=int, default=0)
    p.add_argument("candidates", nargs="+")
    args = p.parse_args()

    cands = []
    for c in args.candidates:
        name, _, tunes = c.partition(":")
        cands.append((name, tunes[1:] if tunes.startswith("@") else [t for t in tunes.split(",") if t]))
    scores = []
    with tempfile.TemporaryDirectory() as tmp:
        for k, (name, tunes) in enumerate(cands):
            if isinstance(tunes, str):
                scores.append(read_scores(tunes))
            else:
                scores.append(run(args, name, tunes, os.path.join(tmp, "%d.tsv" % k)))
    sets = sorted(scores[0])
    for (name, _), s in zip(cands, scores):
        if sorted(s) != sets:
            sys.exit("loso.py: candidate %s holds the sets %s, not %s" % (name, ", ".join(sorted(s)), ", ".join(sets)))

    def pooled(s, names):
        gen, imp = [], []
        for n in names:
            gen += s[n][0]
            imp += s[n][1]
        return rates(gen, imp)

    print("| candidate | " + " | ".join(sets) + " | pooled EER / FMR100 / FMR1000 %% |".replace("%%", "%"))
    print("|---" * (len(sets) + 2) + "|")
    for (name, _), s in zip(cands, scores):
        per = [100 * rates(*s[n])[0] for n in sets]
        pl = [100 * x for x in pooled(s, sets)]
        print("| %s | %s | %.2f / %.2f / %.2f |" % (name, " | ".join("%.2f" % x for x in per), *pl))

    print("\nHeld out: for each set, the candidate best on the other sets (their pooled EER), measured on it\n")
    print("| set | chosen | held-out EER %% | FMR100 %% | FMR1000 %% | final (%s) EER %% |" % cands[args.final][0])
    print("|---|---|---|---|---|---|")
    held_gen, held_imp = [], []
    for s in sets:
        others = [n for n in sets if n != s]
        best = min(range(len(cands)), key=lambda k: (pooled(scores[k], others)[0], k))
        r = rates(*scores[best][s])
        f = rates(*scores[args.final][s])
        held_gen += scores[best][s][0]
        held_imp += scores[best][s][1]
        print("| %s | %s | %.2f | %.2f | %.2f | %.2f |" % (s, cands[best][0], 100 * r[0], 100 * r[1], 100 * r[2], 100 * f[0]))
    r = rates(held_gen, held_imp)
    f = pooled(scores[args.final], sets)
    print("| pooled | | %.2f | %.2f | %.2f | %.2f |" % (100 * r[0], 100 * r[1], 100 * r[2], 100 * f[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
