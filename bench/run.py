#!/usr/bin/python3
"""Conversion benchmark of ortavixcl.

Builds a corpus under bench/corpus/ (the sample pages repeated, plus
generated pages: deep nesting, many attributes, many entity references and
one 10 MB page), runs the release ortavixcl on each group and reports MB/s
of HTML converted and the peak memory (maximum resident set size). The
driver re-reads every file it writes with the XML checker, so its figure is
the whole convert-and-check pipeline; when tools/xpcheck is built the
checker alone is timed on the same output, giving the conversion share too.

    python3 bench/run.py [--build DIR] [--runs N] [--depth N] [--keep]

DIR defaults to build (configured as Release when missing; only ortavixcl
and xpcheck are built). Further steps, each on its own or all with --all:

    --peers         ortavixcl against xmllint, xpcheck against xmlwf,
                    interleaved on the same files (bench/peers.py; installs
                    libxml2-utils and expat for the bench only)
    --linear        pathological pages at n and 2n units: doubling may at
                    most double the time (x2.5 for noise); the whole
                    pathological corpus in under 5 s
    --small-files   many small files against cp -r into a fresh folder
    --shard         100,000 small files: xargs -P shards give the output
                    of a single run
    --memory        peak memory on real pages against their largest input,
                    and bytes per node on a page of "&" (bench/memory.py)
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scale  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
CORPUS = os.path.join(BENCH, "corpus")
RESULTS = os.path.join(BENCH, "results")

TIME = "/usr/bin/time"


def write(path, text, encoding="ascii"):
    with open(path, "wb") as f:
        f.write(text.encode(encoding))


def make_corpus(depth):
    """Writes the corpus groups; returns {group: directory}."""
    groups = {}

    def group(name):
        # Only the group's own folder: the other steps keep theirs.
        d = os.path.join(CORPUS, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        groups[name] = d
        return d

    # Many small files: every sample page 300 times.
    d = group("samples")
    samples = os.path.join(ROOT, "samples")
    for name in sorted(os.listdir(samples)):
        if not name.endswith(".html"):
            continue
        for i in range(300):
            base = name[:-5]
            shutil.copyfile(os.path.join(samples, name), os.path.join(d, "%s-%03d.html" % (base, i)))

    # Unclosed tags nest: every <div> stays open to the end of the page.
    d = group("deep")
    write(os.path.join(d, "deep.html"), "<html><body>" + "<div>" * depth + "bottom")
    write(os.path.join(d, "deep-mixed.html"),
          "<html><body>" + "<span class=a><em>x " * (depth // 4) + "end")

    # Many attributes, quoted, unquoted and bare.
    d = group("attributes")
    rows = []
    for i in range(25000):
        attrs = " ".join('a%d="v%d&amp;%d"' % (k, i, k) for k in range(12))
        rows.append('<div id=d%d %s data-x=%d hidden title=\'t "%d"\'>cell %d</div>\n'
                    % (i, attrs, i, i, i))
    write(os.path.join(d, "attributes.html"), "<html><body>\n" + "".join(rows) + "</body></html>\n")

    # Entity references: named, decimal, hexadecimal, unknown, stray "&".
    d = group("entities")
    piece = ("&amp;&lt;&gt;&quot;&copy;&eacute;&nbsp;&euro;&hellip;&alpha;&Omega;"
             "&#169;&#xA9;&#8364;&#x20AC;&#65; & &unknown; R&D ")
    lines = ["<p>" + piece * 8 + "\n" for _ in range(12000)]
    write(os.path.join(d, "entities.html"), "<html><body>\n" + "".join(lines) + "</body></html>\n")

    # One 10 MB page of ordinary markup, most of it unclosed the way pages
    # in the wild are.
    d = group("big")
    parts = ["<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n<html><head>"
             "<title>Big page</title><script>if (a < b && c) x();</script></head><body>\n"]
    size = sum(len(p) for p in parts)
    i = 0
    while size < 10 * 1024 * 1024:
        block = ("<h2>Section %d</h2>\n<p>Some <b>bold</b> and <i>italic</i> text with a "
                 "<a href=\"page%d.html?a=1&b=2\">link</a> &amp; an entity &copy;.\n"
                 "<p>Second paragraph, never closed, with <br> a break\n"
                 "<ul><li>one<li>two<li>three</ul>\n"
                 "<table border=1><tr><td>a<td>b<tr><td>c<td>d</table>\n"
                 "<!-- comment %d -->\n" % (i, i, i))
        parts.append(block)
        size += len(block)
        i += 1
    parts.append("</body></html>\n")
    write(os.path.join(d, "big.html"), "".join(parts))
    return groups


def tree_size(directory):
    total = 0
    count = 0
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            total += os.path.getsize(path)
            count += 1
    return total, count


def measure(cmd, cwd):
    """Runs cmd; returns (wall seconds, peak RSS in KiB, stdout, exit status,
    stderr, CPU seconds or None)."""
    use_time = os.access(TIME, os.X_OK)
    full = [TIME, "-v"] + cmd if use_time else cmd
    start = time.perf_counter()
    proc = subprocess.Popen(full, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    seconds = time.perf_counter() - start
    peak = 0
    cpu = None
    text = err.decode("latin-1")
    if use_time:
        u = re.search(r"User time \(seconds\): ([0-9.]+)", text)
        k = re.search(r"System time \(seconds\): ([0-9.]+)", text)
        if u and k:
            cpu = float(u.group(1)) + float(k.group(1))
        m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
        if m:
            peak = int(m.group(1))
        m = re.search(r"Exit status: (\d+)", text)
        status = int(m.group(1)) if m else proc.returncode
        m = re.search(r"Command terminated by signal (\d+)", text)
        if m:
            status = 128 + int(m.group(1))
    else:
        # Without /usr/bin/time the children's rusage gives the same figure.
        import resource
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        status = proc.returncode
    return seconds, peak, out.decode("latin-1"), status, text, cpu


def ensure_build(build):
    exe = os.path.join(build, "ortavixcl")
    if not os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=Release", "-DORTAVIX_GUI=OFF",
                               "-DORTAVIX_TESTS=OFF"])
    subprocess.check_call(["cmake", "--build", build, "--target", "ortavixcl", "-j", "2"])
    xpcheck = os.path.join(build, "xpcheck")
    if os.path.isfile(os.path.join(ROOT, "tools", "xpcheck.cpp")):
        subprocess.call(["cmake", "--build", build, "--target", "xpcheck", "-j", "2"])
    return exe, xpcheck if os.path.isfile(xpcheck) else None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--runs", type=int, default=3, help="best of N runs")
    ap.add_argument("--depth", type=int, default=1000000, help="nesting depth of deep.html")
    ap.add_argument("--keep", action="store_true", help="reuse an existing corpus")
    ap.add_argument("--peers", action="store_true", help="time against xmllint and xmlwf")
    ap.add_argument("--linear", action="store_true", help="linearity pairs of pathological pages")
    ap.add_argument("--small-files", action="store_true", help="many small files against cp -r")
    ap.add_argument("--shard", action="store_true", help="sharded run against a single run")
    ap.add_argument("--memory", action="store_true", help="peak memory on real pages")
    ap.add_argument("--all", action="store_true", help="the corpus groups and every step above")
    ap.add_argument("--count", type=int, default=None,
                    help="files for --small-files (20,000) and --shard (100,000)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2, help="processes for --shard")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    exe, xpcheck = ensure_build(build)
    steps = [s for s in ("peers", "memory", "linear", "small_files", "shard") if getattr(args, s)]
    if args.all:
        steps = ["groups", "peers", "memory", "linear", "small_files", "shard"]
    if not steps:
        steps = ["groups"]
    failed = False
    for step in steps:
        if step == "groups":
            failed = groups_step(args, exe, xpcheck) or failed
        elif step == "peers":
            import peers
            failed = peers.main(["--build", build, "--runs", str(args.runs)]) != 0 or failed
        elif step == "memory":
            import memory
            failed = memory.main(["--build", build, "--runs", str(max(args.runs, 5))]) != 0 or failed
        elif step == "linear":
            failed = not scale.linear(exe, args.runs) or failed
        elif step == "small_files":
            failed = not scale.small(exe, args.runs, args.count or 20000) or failed
        elif step == "shard":
            failed = not scale.shard(exe, args.count or 100000, args.jobs) or failed
        print()
    return 1 if failed else 0


def groups_step(args, exe, xpcheck):
    """The corpus groups; True when a run failed."""
    if args.keep and os.path.isdir(CORPUS):
        groups = {g: os.path.join(CORPUS, g) for g in sorted(os.listdir(CORPUS))}
    else:
        groups = make_corpus(args.depth)

    order = ["samples", "deep", "attributes", "entities", "big"]
    print("ortavixcl benchmark: %s, best of %d runs" % (exe, args.runs))
    print("%-11s %6s %8s %8s %8s %8s %9s %8s %8s %8s %6s" % (
        "group", "files", "HTML MB", "XML MB", "wall s", "cpu s", "HTML MB/s", "peak MB", "conMB/s",
        "xmlMB/s", "errors"))
    failed = False
    for name in order:
        if name not in groups:
            continue
        src = groups[name]
        outdir = os.path.join(RESULTS, name)
        html_bytes, files = tree_size(src)
        best = None
        for _ in range(max(1, args.runs)):
            if os.path.isdir(outdir):
                shutil.rmtree(outdir)
            os.makedirs(outdir)
            cmd = [exe, "--outdir", outdir, os.path.join(src, "*.html")]
            seconds, peak, out, status, err, cpu = measure(cmd, ROOT)
            if status != 0:
                print("%s: ortavixcl exited with %d\n%s" % (name, status, err[-2000:]))
                failed = True
                break
            if best is None or seconds < best[0]:
                best = (seconds, peak, out, cpu)
        if best is None:
            continue
        seconds, peak, out, cpu = best
        xml_bytes, written = tree_size(outdir)
        errors = sum(1 for line in out.splitlines() if line.startswith("File: "))
        xml_rate = conv_rate = "-"
        if xpcheck and written:
            ck = None
            for _ in range(max(1, args.runs)):
                s, _, _, _, _, _ = measure([xpcheck] + sorted(
                    os.path.join(outdir, f) for f in os.listdir(outdir)), ROOT)
                ck = s if ck is None else min(ck, s)
            xml_rate = "%.1f" % (xml_bytes / 1e6 / ck)
            if seconds > ck:
                conv_rate = "%.1f" % (html_bytes / 1e6 / (seconds - ck))
        print("%-11s %6d %8.2f %8.2f %8.3f %8s %9.1f %8.1f %8s %8s %6d" % (
            name, files, html_bytes / 1e6, xml_bytes / 1e6, seconds,
            "%.3f" % cpu if cpu is not None else "-",
            html_bytes / 1e6 / seconds, peak / 1024.0, conv_rate, xml_rate, errors))
        if written == 0:
            print("  (no XML written: the conversion steps are not linked in yet)")
        print("  reproduce: %s -v %s --outdir %s %s" % (
            TIME, shlex.quote(exe), shlex.quote(outdir), shlex.quote(os.path.join(src, "*.html"))))
    print("HTML MB/s: input bytes / wall time of ortavixcl (load, convert, write, check);")
    print("  on a busy machine compare cpu s (user + system) too.")
    print("conMB/s: input bytes / (that time - xpcheck's time): the conversion without the check.")
    print("xmlMB/s: xpcheck alone over the XML written (UTF-16), when xpcheck is built.")
    return failed


if __name__ == "__main__":
    sys.exit(main())
