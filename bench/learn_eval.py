#!/usr/bin/env python3
"""Accuracy of the header learner beside bogofilter on a labelled corpus.

Each split trains on one part of the spam and ham files and tests on the rest. The figure is
spam recall with at most 0.5 % of the tested ham above the threshold: the threshold is the score
of the highest ham that may not pass, and a spam message counts only when it scores above it.

  learn_eval.py --cli build/src/cli/norva-cli --spam DIR --ham DIR [--bogofilter] [--json F]

The development corpus is spam-1 and easy-ham-1. Two splits: "temporal" trains on the older
half of each folder (files sorted by name, which starts with their number) and tests on the
later half; "random" shuffles each folder with seed 1 and halves it.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

MAX_FP = 0.005


def files_of(folder):
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".txt"))


def splits(spam, ham):
    def temporal(files):
        half = len(files) // 2
        return files[:half], files[half:]

    def shuffled(files):
        files = list(files)
        random.Random(1).shuffle(files)
        half = len(files) // 2
        return files[:half], files[half:]

    out = {}
    for name, cut in (("temporal", temporal), ("random", shuffled)):
        s_train, s_test = cut(spam)
        h_train, h_test = cut(ham)
        out[name] = (s_train, h_train, s_test, h_test)
    return out


def recall_at(spam_scores, ham_scores, max_fp=MAX_FP):
    allowed = int(max_fp * len(ham_scores))
    ranked = sorted(ham_scores, reverse=True)
    threshold = ranked[allowed] if allowed < len(ranked) else -1.0
    caught = sum(1 for s in spam_scores if s > threshold)
    return caught / len(spam_scores), threshold


def batches(files, size=500):
    for i in range(0, len(files), size):
        yield files[i:i + size]


class Norva:
    name = "norva (header block)"

    def __init__(self, cli):
        self.cli = cli

    def run(self, s_train, h_train, s_test, h_test):
        with tempfile.TemporaryDirectory() as folder:
            for label, files in (("--spam", s_train), ("--ham", h_train)):
                for chunk in batches(files):
                    subprocess.run([self.cli, "learn", "--folder", folder, label] + chunk,
                                   check=True, stdout=subprocess.DEVNULL)
            scores = {}
            start = time.perf_counter()
            for chunk in batches(s_test + h_test):
                out = subprocess.run([self.cli, "classify", "--folder", folder] + chunk,
                                     check=True, capture_output=True, text=True).stdout
                for line in out.splitlines():
                    score, path = line.split(" ", 1)
                    scores[path] = float(score)
            per_message = (time.perf_counter() - start) / len(s_test + h_test)
            size = os.path.getsize(os.path.join(folder, "Learn.QDB"))
        return [scores[f] for f in s_test], [scores[f] for f in h_test], per_message, size


def header_block(path):
    with open(path, "rb") as f:
        data = f.read()
    for sep in (b"\r\n\r\n", b"\n\n"):
        at = data.find(sep)
        if at >= 0:
            return data[:at + len(sep)]
    return data


class Bogofilter:
    def __init__(self, headers_only):
        self.headers_only = headers_only
        self.name = "bogofilter, " + ("header block" if headers_only else "whole message")

    def run(self, s_train, h_train, s_test, h_test):
        with tempfile.TemporaryDirectory() as work:
            db = os.path.join(work, "db")
            os.mkdir(db)
            if self.headers_only:
                copies = {}
                for i, f in enumerate(s_train + h_train + s_test + h_test):
                    copy = os.path.join(work, "%05d.eml" % i)
                    with open(copy, "wb") as out:
                        out.write(header_block(f))
                    copies[f] = copy
                path = copies.__getitem__
            else:
                path = lambda f: f
            for flag, files in (("-s", s_train), ("-n", h_train)):
                for chunk in batches(files):
                    subprocess.run(["bogofilter", "-d", db, flag, "-B"] + [path(f) for f in chunk],
                                   check=True)
            scores = {}
            start = time.perf_counter()
            for chunk in batches(s_test + h_test):
                names = [path(f) for f in chunk]
                out = subprocess.run(["bogofilter", "-d", db, "-T", "-B"] + names,
                                     capture_output=True, text=True).stdout
                for line, f in zip(out.splitlines(), chunk):
                    scores[f] = float(line.split()[-1])
            per_message = (time.perf_counter() - start) / len(s_test + h_test)
            size = sum(os.path.getsize(os.path.join(db, n)) for n in os.listdir(db))
        return [scores[f] for f in s_test], [scores[f] for f in h_test], per_message, size


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--spam", required=True)
    ap.add_argument("--ham", required=True)
    ap.add_argument("--bogofilter", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    spam, ham = files_of(args.spam), files_of(args.ham)
    runners = [Norva(args.cli)]
    if args.bogofilter:
        runners += [Bogofilter(True), Bogofilter(False)]
    results = []
    for split, parts in splits(spam, ham).items():
        for r in runners:
            s_scores, h_scores, per_message, size = r.run(*parts)
            recall, threshold = recall_at(s_scores, h_scores)
            results.append({"split": split, "learner": r.name, "recall": recall,
                            "threshold": threshold, "spam": len(s_scores), "ham": len(h_scores),
                            "trained": len(parts[0]) + len(parts[1]),
                            "ms_per_message": per_message * 1000, "state_bytes": size})
            print("%-9s %-30s recall %5.1f %%  threshold %.6g  %.3f ms/message  state %d KB" %
                  (split, r.name, recall * 100, threshold, per_message * 1000, size // 1024),
                  flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
