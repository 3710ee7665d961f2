#!/usr/bin/python3
"""Peer benchmark: ortavixcl against xmllint, xpcheck against xmlwf.

On the same files, runs interleaved (tool A, tool B, A, B, ...) and reports
the median wall time of each and their ratio:

  * ortavixcl (convert + write + check) against `xmllint --html --xmlout`
    (convert + write), per corpus group;
  * xpcheck against expat's `xmlwf`, over the XML that ortavixcl wrote.

Groups: the Python 3.11 documentation, the Apache 2.4 manual (its real
files; the language links are left out) and the largest pages of both. The
files are copied flat into bench/corpus/peers/ so that one pattern takes a
whole group. xmllint and xmlwf (Debian packages libxml2-utils and expat)
are installed for this benchmark only.

    python3 bench/peers.py [--build DIR] [--runs N]
"""

import argparse
import os
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scale  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEERS = os.path.join(ROOT, "bench", "corpus", "peers")
RESULTS = os.path.join(ROOT, "bench", "results", "peers")

SOURCES = {
    "python-docs": "/usr/share/doc/python3.11/html",
    "apache-manual": "/usr/share/doc/apache2-doc/manual",
}
PACKAGES = {"xmllint": "libxml2-utils", "xmlwf": "expat", "/usr/bin/time": "time",
            "/usr/share/doc/python3.11/html": "python3.11-doc",
            "/usr/share/doc/apache2-doc/manual": "apache2-doc"}


def ensure_tools():
    missing = [pkg for what, pkg in PACKAGES.items()
               if not (os.path.exists(what) if what.startswith("/") else shutil.which(what))]
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.check_call(sudo + ["apt-get", "install", "-y", "--no-install-recommends"] + missing)


def collect(group, source):
    """Copies the group's real HTML files flat into the corpus folder."""
    target = os.path.join(PEERS, group)
    if os.path.isdir(target):
        return target
    os.makedirs(target)
    for directory, _, files in os.walk(source):
        for name in sorted(files):
            path = os.path.join(directory, name)
            if ".html" not in name or name.endswith(".gz") or os.path.islink(path):
                continue
            flat = os.path.relpath(path, source).replace("/", "__").replace(".", "_") + ".html"
            shutil.copyfile(path, os.path.join(target, flat))
    return target


def largest(groups, count=40):
    target = os.path.join(PEERS, "large-pages")
    if os.path.isdir(target):
        return target
    os.makedirs(target)
    pages = []
    for folder in groups:
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            pages.append((os.path.getsize(path), path, name))
    for _, path, name in sorted(pages, reverse=True)[:count]:
        shutil.copyfile(path, os.path.join(target, name))
    return target


def timed(cmd, stdout=subprocess.DEVNULL):
    """(wall seconds, CPU seconds) of one run: on a machine shared with other
    work the CPU time is the steadier figure."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, stdout=stdout, stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def medians(samples):
    return statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples)


def files_of(folder, suffix):
    return sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(suffix))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--runs", type=int, default=3, help="median of N interleaved runs")
    args = ap.parse_args(argv)
    ensure_tools()
    build = os.path.abspath(args.build)
    subprocess.check_call(["cmake", "--build", build, "--target", "ortavixcl", "xpcheck", "-j", "2"])
    ortavixcl = os.path.join(build, "ortavixcl")
    xpcheck = os.path.join(build, "xpcheck")

    # One tool makes hundreds of files, the other one: earlier results go
    # (and age) before timing, and nothing is deleted while timing.
    scale.clear_aged(RESULTS)
    os.makedirs(RESULTS)

    folders = [collect(g, s) for g, s in SOURCES.items()]
    folders.append(largest(folders))
    print("peer benchmark, median of %d interleaved runs" % args.runs)
    print("%-14s %6s %8s | %9s %9s %6s %6s | %9s %9s %6s %6s" % (
        "group", "files", "HTML MB", "ortavixcl", "xmllint", "ratio", "cpu", "xpcheck", "xmlwf", "ratio", "cpu"))
    for folder in folders:
        group = os.path.basename(folder)
        pages = files_of(folder, ".html")
        size = sum(os.path.getsize(p) for p in pages)
        lint_out = os.path.join(RESULTS, group + ".xmllint.xml")
        ours, lint = [], []
        for run in range(args.runs):
            # A fresh folder per run (see above).
            out = os.path.join(RESULTS, "%s.%d" % (group, run))
            os.makedirs(out)
            ours.append(timed([ortavixcl, "--outdir", out, os.path.join(folder, "*.html")]))
            with open(lint_out, "wb") as sink:
                lint.append(timed(["xmllint", "--html", "--xmlout"] + pages, stdout=sink))
        xml = files_of(out, ".XML")
        check, wf = [], []
        for _ in range(args.runs):
            check.append(timed([xpcheck] + xml))
            wf.append(timed(["xmlwf"] + xml))
        (o, oc), (l, lc) = medians(ours), medians(lint)
        (c, cc), (w, wc) = medians(check), medians(wf)
        print("%-14s %6d %8.1f | %8.2fs %8.2fs %6.2f %6.2f | %8.2fs %8.2fs %6.2f %6.2f" % (
            group, len(pages), size / 1e6, o, l, o / l, oc / lc, c, w, c / w, cc / wc))
        print("  reproduce: %s --outdir %s %s" % (
            shlex.quote(ortavixcl), shlex.quote(out), shlex.quote(os.path.join(folder, "*.html"))))
        print("             xmllint --html --xmlout %s/*.html > %s" % (shlex.quote(folder), shlex.quote(lint_out)))
        print("             %s %s/*.XML ; xmlwf %s/*.XML" % (shlex.quote(xpcheck), shlex.quote(out), shlex.quote(out)))
    print("ratio: ours / peer's median wall time (below 1 is faster than the peer);")
    print("cpu: the same for user + system CPU time (ortavixcl converts on every")
    print("processor, %d here; xmllint, xpcheck and xmlwf use one)." % (os.cpu_count() or 1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
