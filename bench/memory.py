#!/usr/bin/python3
"""Memory benchmark: the peak resident set size of ortavixcl on real pages.

For each peer group (the Python 3.11 documentation, the Apache 2.4 manual
and the largest pages of both, as bench/peers.py collects them):

  * the whole group converted in one run, into a fresh folder (median and
    largest of N runs: the peak depends on which pages meet on the two
    processors);
  * the group's largest page converted alone;
  * the process's own floor: one empty page converted (the program and its
    libraries, whatever the input);
  * the batch's floor: the same run over as many empty files of the same
    names (beside the program: the worker threads and what the run keeps
    per file, none of which grows with what the pages hold);
  * xmllint --html --xmlout over the same group, for comparison.

The goal is a peak of at most 6x the largest input of the run, the batch's
floor aside; the raw ratio and the ratio over the one-page floor are printed
beside it. Then one page of "&" (one entity reference node per byte) gives
the bytes per node, the floor aside: at most 48.

    python3 bench/memory.py [--build DIR] [--runs N]
"""

import argparse
import os
import shlex
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
import scale  # noqa: E402

ROOT = peers.ROOT
RESULTS = os.path.join(ROOT, "bench", "results", "memory")
GOAL_RATIO = 6
GOAL_PER_NODE = 48
AMP_BYTES = 8 * 1024 * 1024


def peak_kib(cmd, stdout=subprocess.DEVNULL):
    """Peak resident set size of one run, in KiB. GNU time reports it: a
    child forked from this interpreter would count the interpreter's pages
    from before its exec."""
    report = os.path.join(RESULTS, "time.txt")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + cmd, stdout=stdout,
                   stderr=subprocess.DEVNULL, check=False)
    with open(report) as f:
        return int(f.read().split()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--runs", type=int, default=5, help="runs of each batch")
    args = ap.parse_args(argv)
    peers.ensure_tools()
    build = os.path.abspath(args.build)
    subprocess.check_call(["cmake", "--build", build, "--target", "ortavixcl", "-j", "2"])
    exe = os.path.join(build, "ortavixcl")

    scale.clear_aged(RESULTS)
    os.makedirs(RESULTS)
    fresh = scale.FreshFolders(RESULTS)
    empty = os.path.join(RESULTS, "empty.html")
    open(empty, "wb").close()
    floor = statistics.median(peak_kib([exe, "--outdir", fresh(), empty]) for _ in range(3))

    folders = [peers.collect(g, s) for g, s in peers.SOURCES.items()]
    folders.append(peers.largest(folders))
    ok = True
    print("peak memory (maximum resident set size), KiB; floor (one empty page): %d KiB" % floor)
    print("%-14s %5s %8s | %8s %8s %8s %8s | %8s %8s %8s %8s | %8s" % (
        "group", "files", "largest", "batch", "max", "alone", "empties", "raw x", "floor-x", "alone-x",
        "batch-x", "xmllint"))
    for folder in folders:
        group = os.path.basename(folder)
        pages = peers.files_of(folder, ".html")
        big = max(pages, key=os.path.getsize)
        largest = os.path.getsize(big) / 1024.0
        batch = [peak_kib([exe, "--outdir", fresh(), os.path.join(folder, "*.html")]) for _ in range(args.runs)]
        alone = statistics.median(peak_kib([exe, "--outdir", fresh(), big]) for _ in range(3))
        empties = os.path.join(RESULTS, "empty." + group)
        os.makedirs(empties)
        for page in pages:
            open(os.path.join(empties, os.path.basename(page)), "wb").close()
        batch_floor = statistics.median(
            peak_kib([exe, "--outdir", fresh(), os.path.join(empties, "*.html")]) for _ in range(5))
        with open(os.devnull, "wb") as sink:
            lint = peak_kib(["xmllint", "--html", "--xmlout"] + pages, stdout=sink)
        worst = max(batch)
        over = (worst - batch_floor) / largest
        verdict = "" if over <= GOAL_RATIO else "  over %dx" % GOAL_RATIO
        ok = ok and over <= GOAL_RATIO
        print("%-14s %5d %8.0f | %8.0f %8d %8.0f %8.0f | %7.2fx %7.2fx %7.2fx %7.2fx | %8d%s" % (
            group, len(pages), largest, statistics.median(batch), worst, alone, batch_floor, worst / largest,
            (worst - floor) / largest, (alone - floor) / largest, over, lint, verdict))
        print("  reproduce: /usr/bin/time -f %%M %s --outdir EMPTY_FOLDER %s" % (
            shlex.quote(exe), shlex.quote(os.path.join(folder, "*.html"))))

    amp = os.path.join(RESULTS, "amp.html")
    with open(amp, "wb") as f:
        f.write(b"&" * AMP_BYTES)
    per_node = (peak_kib([exe, "--outdir", fresh(), amp]) - floor) * 1024.0 / AMP_BYTES
    ok = ok and per_node <= GOAL_PER_NODE
    print('a page of %d MiB of "&" (one node per byte): %.1f bytes per node, the floor aside (goal: at most %d)%s' % (
        AMP_BYTES >> 20, per_node, GOAL_PER_NODE, "" if per_node <= GOAL_PER_NODE else "  over"))
    print("  reproduce: /usr/bin/time -f %%M %s --outdir EMPTY_FOLDER %s" % (shlex.quote(exe), shlex.quote(amp)))
    print("batch: median peak over %d runs; max: the largest of them; alone: the largest page by itself;" % args.runs)
    print("empties: the same run over empty files of the same names (the batch's floor).")
    print("raw x: max / largest input; floor-x: (max - floor) / largest input; alone-x: (alone - floor) / largest;")
    print("batch-x: (max - empties) / largest input (goal: at most %dx)." % GOAL_RATIO)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
