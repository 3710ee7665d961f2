#!/usr/bin/env python3
"""Converts the Apache manual's pages with and without "--encoding=auto" and
counts the pages whose title comes out exactly as the page's own bytes
decoded in its declared encoding.

Usage: measure-encodings.py ORTAVIXCL [MANUAL_DIR]
"""
import html, os, re, shutil, subprocess, sys, tempfile

exe = os.path.abspath(sys.argv[1])
manual = sys.argv[2] if len(sys.argv) > 2 else "/usr/share/doc/apache2-doc/manual"

pages = []
for root, _, files in os.walk(manual, followlinks=True):
    for f in sorted(files):
        if f.endswith(".html"):
            pages.append(os.path.join(root, f))

def declared(raw):
    m = re.search(rb'charset=([A-Za-z0-9_\-]+)', raw[:1024], re.I)
    return m.group(1).decode("ascii").lower() if m else "windows-1252"

def title(text):
    m = re.search(r"<title>(.*?)</title>", text, re.S | re.I)
    return html.unescape(m.group(1)).replace("\r\n", "\n") if m else None

work = tempfile.mkdtemp()
try:
    src = os.path.join(work, "in")
    os.mkdir(src)
    info = []
    for i, p in enumerate(pages):
        name = "p%05d.html" % i
        shutil.copyfile(p, os.path.join(src, name))
        raw = open(p, "rb").read()
        enc = declared(raw)
        info.append((name, p, enc, title(raw.decode(enc, errors="replace"))))
    results = {}
    for mode, args in (("default", []), ("auto", ["--encoding=auto"])):
        out = os.path.join(work, mode)
        os.mkdir(out)
        subprocess.run([exe, "--outdir", out] + args + ["*.html"], cwd=src, check=True,
                       stdout=subprocess.DEVNULL)
        for name, p, enc, want in info:
            xml = open(os.path.join(out, name[:-5] + ".XML"), "rb").read().decode("utf-16")
            got = title(xml)
            r = results.setdefault((mode, enc), [0, 0, 0])
            r[1] += 1
            if got == want and want is not None:
                r[0] += 1
            if "\ufffd" in xml:
                r[2] += 1
    for (mode, enc), (ok, total, bad) in sorted(results.items()):
        nonascii = sum(1 for n, p, e, w in info if e == enc and w and any(ord(c) > 127 for c in w))
        print("%-8s %-14s titles right: %4d of %4d (non-ASCII titles: %3d; outputs with U+FFFD: %d)"
              % (mode, enc, ok, total, nonascii, bad))
finally:
    shutil.rmtree(work)
