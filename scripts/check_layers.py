#!/usr/bin/env python3
"""Checks that the include graph between the library's layers follows their
order: a file of a layer may include its own layer's headers and those of
the layers it links, never those of a layer above it. Public headers
(include/sarnic/*.h) belong to the layer that implements them.

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


def main():
    faults = []
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
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
