"""Judges every *.XML file in a folder with expat, an XML parser written
elsewhere: prints one line per file it rejects and exits 1 if there was one.

    python3 expat_judge.py FOLDER
"""
import os
import sys
import xml.parsers.expat


def main():
    folder = sys.argv[1]
    bad = 0
    names = sorted(n for n in os.listdir(folder) if n.endswith(".XML"))
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        parser = xml.parsers.expat.ParserCreate()
        try:
            parser.Parse(data, True)
        except xml.parsers.expat.ExpatError as e:
            bad += 1
            print("%s: %s" % (name, e))
    print("judged %d files, %d rejected" % (len(names), bad))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
