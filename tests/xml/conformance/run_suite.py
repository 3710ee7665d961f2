#!/usr/bin/env python3
"""Runs xpcheck over the W3C XML conformance suite and judges each verdict.

  run_suite.py --xpcheck BIN --tarball TGZ --workdir DIR [--known FILE]
               [--jobs N] [--list] [--write-known FILE]

The selection: XML 1.0 tests (no XML 1.1 or namespace recommendation, no
VERSION without 1.0) and, of the tests naming editions, those naming 4.
Right means: valid and invalid accepted, not-wf rejected, error either way;
a crash or a time-out is always wrong.

With --known, tests listed there (one ID a line, '#' comments) may fail; the
run fails on any other failure, and also on a listed test that now passes,
so the list only ever shrinks.
"""
import argparse
import concurrent.futures
import os
import subprocess
import sys
import tarfile
import xml.etree.ElementTree as ET

XML_BASE = '{http://www.w3.org/XML/1998/namespace}base'
TIMEOUT_SECONDS = 20
CHUNK = 40


def unpack(tarball, workdir):
    root = os.path.join(workdir, 'package')
    stamp = os.path.join(workdir, '.unpacked')
    if not os.path.exists(stamp) or os.path.getmtime(stamp) < os.path.getmtime(tarball):
        os.makedirs(workdir, exist_ok=True)
        with tarfile.open(tarball) as tar:
            if hasattr(tarfile, 'data_filter'):
                tar.extractall(workdir, filter='data')
            else:
                tar.extractall(workdir)
        with open(stamp, 'w'):
            pass
    return root


def selected(test):
    rec = test.get('RECOMMENDATION', '')
    if rec == 'XML1.1' or rec.startswith('NS'):
        return False
    version = test.get('VERSION')
    if version is not None and '1.0' not in version.split():
        return False
    edition = test.get('EDITION')
    if edition is not None and '4' not in edition.split():
        return False
    return True


def collect(root):
    catalogue = os.path.join(root, 'cleaned', 'xmlconf-flattened.xml')
    base_dir = os.path.join(root, 'xmlconf')
    tree = ET.parse(catalogue)
    tests = []

    def walk(elem, base):
        b = elem.get(XML_BASE)
        if b is not None:
            base = os.path.join(base, b)
        if elem.tag == 'TEST':
            if selected(elem):
                tests.append((elem.get('ID'), elem.get('TYPE'),
                              os.path.normpath(os.path.join(base, elem.get('URI')))))
            return
        for child in elem:
            walk(child, base)

    walk(tree.getroot(), base_dir)
    return tests


def judge(ident, kind, path, accepted, first_line):
    if kind in ('valid', 'invalid'):
        ok = accepted
    elif kind == 'not-wf':
        ok = not accepted
    else:
        ok = True
    return ident, kind, path, ok, first_line or ('accepted' if accepted else 'rejected')


def run_one(xpcheck, test):
    ident, kind, path = test
    try:
        proc = subprocess.run([xpcheck, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        return ident, kind, path, False, 'time-out'
    out = proc.stdout.decode('utf-8', 'replace').strip()
    if proc.returncode not in (0, 1):
        return ident, kind, path, False, 'crash (status %d) %s' % (proc.returncode,
                                                                 proc.stderr.decode('utf-8', 'replace')[-300:])
    return judge(ident, kind, path, proc.returncode == 0, out.splitlines()[0] if out else '')


def run_chunk(xpcheck, chunk):
    """Many files in one process; a chunk that crashes or hangs is run again
    file by file, so that the culprit is named."""
    try:
        proc = subprocess.run([xpcheck, '--verdicts'] + [t[2] for t in chunk], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=TIMEOUT_SECONDS * 5)
    except subprocess.TimeoutExpired:
        return [run_one(xpcheck, t) for t in chunk]
    if proc.returncode not in (0, 1):
        return [run_one(xpcheck, t) for t in chunk]
    verdicts = {}
    first = None
    for line in proc.stdout.decode('utf-8', 'replace').splitlines():
        if line.startswith('=ok ') or line.startswith('=error '):
            verdict, path = line[1:].split(' ', 1)
            verdicts[path] = (verdict == 'ok', first)
            first = None
        elif first is None:
            first = line
    results = []
    for ident, kind, path in chunk:
        if path not in verdicts:
            results.append(run_one(xpcheck, (ident, kind, path)))
        else:
            results.append(judge(ident, kind, path, *verdicts[path]))
    return results


def check_pinned(xpcheck, root, path):
    base = os.path.join(root, 'xmlconf')
    status = 0
    with open(path) as f:
        for line in f:
            if not line.strip() or line.startswith('#'):
                continue
            rel, expected = line.rstrip('\n').split('\t', 1)
            proc = subprocess.run([xpcheck, os.path.join(base, rel)], stdout=subprocess.PIPE,
                                  timeout=TIMEOUT_SECONDS)
            out = proc.stdout.decode('utf-8', 'replace').splitlines()
            got = out[0].replace(base, '@') if out else '(no line)'
            if got != expected:
                print('WRONG LINE for %s\n  expected: %s\n  printed:  %s' % (rel, expected, got))
                status = 1
    return status


def read_known(path):
    known = set()
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.split('#', 1)[0].strip()
                if line:
                    known.add(line)
    return known


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--xpcheck', required=True)
    ap.add_argument('--tarball', required=True)
    ap.add_argument('--workdir', required=True)
    ap.add_argument('--known')
    ap.add_argument('--jobs', type=int, default=2)
    ap.add_argument('--list', action='store_true', help='print every failure')
    ap.add_argument('--write-known', help='write the failing IDs to this file')
    ap.add_argument('--pinned', help='file of suite paths and the exact line expected for each')
    args = ap.parse_args()

    root = unpack(args.tarball, args.workdir)
    tests = collect(root)
    chunks = [tests[i:i + CHUNK] for i in range(0, len(tests), CHUNK)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = [r for rs in pool.map(lambda c: run_chunk(args.xpcheck, c), chunks) for r in rs]

    failures = [r for r in results if not r[3]]
    hard = [r for r in failures if r[4] == 'time-out' or r[4].startswith('crash')]
    right = len(results) - len(failures)
    print('%d tests, %d right (%.1f%%), %d wrong (%d crashes or time-outs)' % (
        len(results), right, 100.0 * right / max(1, len(results)), len(failures), len(hard)))
    wf_rejected = sum(1 for r in failures if r[1] in ('valid', 'invalid'))
    print('  %d not-wf accepted, %d well-formed rejected' % (len(failures) - wf_rejected, wf_rejected))

    if args.list:
        for ident, kind, path, _, detail in failures:
            print('%s %s %s: %s' % (kind, ident, os.path.relpath(path, os.path.join(root, 'xmlconf')), detail))
    if args.write_known:
        with open(args.write_known, 'w') as f:
            f.write('# Conformance tests the checker still gets wrong; shrink as they are fixed.\n')
            for r in sorted(failures, key=lambda r: r[0]):
                f.write('%s\n' % r[0])

    pinned_status = check_pinned(args.xpcheck, root, args.pinned) if args.pinned else 0
    if args.known is None:
        return 1 if failures or pinned_status else 0
    known = read_known(args.known)
    status = 0
    for ident, kind, path, _, detail in failures:
        if ident not in known or detail == 'time-out' or detail.startswith('crash'):
            print('NEW FAILURE %s %s %s: %s' % (kind, ident, path, detail))
            status = 1
    fixed = sorted(known - {r[0] for r in failures})
    for ident in fixed:
        print('NOW PASSES (remove from the known list): %s' % ident)
        status = 1
    return status or pinned_status


if __name__ == '__main__':
    sys.exit(main())
