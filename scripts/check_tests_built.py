#!/usr/bin/env python3
"""Checks that every C++ test source (tests/**/*_test.cc) is compiled into
some test executable: a test left out of every target would pass by never
running.

Usage: check_tests_built.py SOURCES_FILE [EXTRA_TEST ...]
SOURCES_FILE lists the sources of the test targets, one per line, as the
build wrote them. Each EXTRA_TEST is taken as one more test file found in
the tree (how the check's own test shows that it fails when it should).

Exit status 0 when every test is built; 1 with one line per test that is
not."""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    built = set()
    for line in pathlib.Path(argv[1]).read_text().splitlines():
        for entry in line.split(";"):
            entry = entry.strip()
            if entry:
                path = pathlib.Path(entry)
                if not path.is_absolute():
                    path = ROOT / "tests" / path
                built.add(path.resolve())
    found = sorted((ROOT / "tests").rglob("*_test.cc"))
    found += [pathlib.Path(extra).resolve() for extra in argv[2:]]
    faults = [f"{p.relative_to(ROOT) if p.is_relative_to(ROOT) else p}: "
              "a test source in no test executable" for p in found if p.resolve() not in built]
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
