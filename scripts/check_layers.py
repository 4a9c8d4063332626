#!/usr/bin/env python3
"""Checks that the include graph between the library's layers follows their
order: a file of a layer may include its own layer's headers and those of
the layers it links, never those of a layer above it. Public headers
(include/sarnic/*.h) belong to the layer that implements them.

The programs built on the library (tools/, python/src/, bench/, fuzz/)
include its public headers only; a fuzz target or a benchmark that works
on one layer's internals names that layer's private headers, and says so in
PRIVATE_USE below.

Exit status 0 when the order holds; 1 with one line per backward include."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Each layer and the layers it may include (itself included): the layers
# it links, read from the one place that declares them, the sarnic_layer()
# calls of CMakeLists.txt, and closed over what those link in turn.
LAYER_CALL = re.compile(r"sarnic_layer\((\w+)(.*?)\)", re.S)


def declared_layers():
    text = (ROOT / "CMakeLists.txt").read_text()
    links = {}
    for name, body in LAYER_CALL.findall(text):
        deps = re.search(r"DEPS((?:\s+[\w:]+)+)", body)
        links[name] = {d[len("sarnic_"):] for d in (deps.group(1).split() if deps else [])
                       if d.startswith("sarnic_")}
    below = {}

    def close(layer):
        if layer not in below:
            below[layer] = {layer}
            for dep in links[layer]:
                below[layer] |= close(dep)
        return below[layer]

    for layer in links:
        close(layer)
    return below


BELOW = declared_layers()

# The layer of each public header, from the HEADERS of the same calls.
def declared_headers():
    owners = {}
    for name, body in LAYER_CALL.findall((ROOT / "CMakeLists.txt").read_text()):
        headers = re.search(r"HEADERS((?:\s+\w+\.h)+)", body)
        for header in headers.group(1).split() if headers else []:
            owners[header] = name
    return owners


PUBLIC = declared_headers()

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of_include(name):
    if name.startswith("sarnic/"):
        return PUBLIC.get(name[len("sarnic/"):], "unknown public header")
    first = name.split("/", 1)[0]
    return first if first in BELOW else None


def files_of(layer):
    yield from sorted((ROOT / "src" / layer).glob("*.[ch]*"))
    for header, owner in PUBLIC.items():
        if owner == layer:
            yield ROOT / "include" / "sarnic" / header


# The programs above the library, and the one layer whose private headers
# each file of them may name.
PROGRAMS = ("tools", "python/src", "bench", "fuzz")
PRIVATE_USE = {
    # The fuzz targets of the checker run its rules one by one, so that a
    # rule that throws is found rather than contained.
    "fuzz/fuzz_export.cc": "check",
    "fuzz/fuzz_graph_file.cc": "check",
    # The planners' benchmark measures the planners themselves, which have
    # no public header.
    "bench/planner_bench.cc": "planner",
}


def program_faults(extra):
    faults = []
    paths = [p for folder in PROGRAMS for p in sorted((ROOT / folder).glob("*.[ch]*"))]
    for path in paths + extra:
        rel = str(path.relative_to(ROOT))
        for name in INCLUDE.findall(path.read_text()):
            if name.startswith("sarnic/"):
                if name[len("sarnic/"):] not in PUBLIC:
                    faults.append(f"{rel}: includes {name}, which no layer declares public")
                continue
            layer = name.split("/", 1)[0] if "/" in name else None
            if layer in BELOW and PRIVATE_USE.get(rel) != layer:
                faults.append(f"{rel}: includes {name}, a private header of layer {layer}")
    return faults


def main(argv):
    # Each further argument is checked as one more program file (how the
    # check's own test shows that it finds a private include).
    faults = program_faults([pathlib.Path(a).resolve() for a in argv[1:]])
    unknown = {p.name for p in (ROOT / "include" / "sarnic").glob("*.h")} - set(PUBLIC)
    for name in sorted(unknown):
        faults.append(f"include/sarnic/{name}: public header of no known layer")
    for folder in sorted(p.name for p in (ROOT / "src").iterdir() if p.is_dir()):
        if folder not in BELOW:
            faults.append(f"src/{folder}: a folder that is no known layer")
    for layer, allowed in BELOW.items():
        for path in files_of(layer):
            for name in INCLUDE.findall(path.read_text()):
                target = layer_of_include(name)
                if target is not None and target not in allowed:
                    rel = path.relative_to(ROOT)
                    faults.append(f"{rel}: includes {name} of layer {target}, "
                                  f"above or beside layer {layer}")
    # docs/architecture.md has one row per layer, and none for a layer that
    # is not declared.
    page = (ROOT / "docs" / "architecture.md").read_text()
    rows = set(re.findall(r"^\| `src/(\w+)` \|", page, re.M))
    for layer in sorted(set(BELOW) - rows):
        faults.append(f"docs/architecture.md: no row for layer {layer}")
    for layer in sorted(rows - set(BELOW)):
        faults.append(f"docs/architecture.md: a row for {layer}, which is no layer")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
