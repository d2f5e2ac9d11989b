#!/usr/bin/env python3
"""Lines of tests beside lines of handwritten library code, and the tests' share.

Tests: every file under tests/ (programs, helpers, scripts, the CMake files
that declare tests, test data). Code: the C and C++ sources and headers of
base/, platform/, NUVZub/, include/ and tools/, and the catalogue generator.
Neither: the catalogue data, generated sources (only in build trees),
benchmarks, fuzz targets, documentation, scripts and build files. Lines are
counted as wc -l counts them, over the files git tracks.
"""
import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE_DIRS = ("base/", "platform/", "NUVZub/", "include/", "tools/")
CODE_SUFFIXES = (".c", ".cpp", ".h")
GENERATOR = "NUVZub/NUVZubExc.m/generate.py"


def tracked_files():
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], stdout=subprocess.PIPE,
                            check=True).stdout
    return sorted(p for p in listed.decode().split("\0") if p)


def kind(path):
    if path.startswith("tests/"):
        return "tests"
    if path == GENERATOR or (path.startswith(CODE_DIRS) and path.endswith(CODE_SUFFIXES)):
        return "code"
    return None


def lines(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read().count(b"\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", action="store_true", help="list every counted file")
    args = ap.parse_args()
    totals = {"tests": [0, 0], "code": [0, 0]}
    for path in tracked_files():
        k = kind(path)
        if k is None or not os.path.isfile(os.path.join(ROOT, path)):
            continue
        n = lines(path)
        totals[k][0] += n
        totals[k][1] += 1
        if args.files:
            print("%-5s %6d %s" % (k, n, path))
    tests, code = totals["tests"][0], totals["code"][0]
    print("tests %6d lines in %d files" % (tests, totals["tests"][1]))
    print("code  %6d lines in %d files" % (code, totals["code"][1]))
    print("tests' share: %.1f%% of tests and code together" % (100.0 * tests / (tests + code)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
