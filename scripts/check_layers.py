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

# Each layer and the layers it may include (itself included).
BELOW = {
    "core": {"core"},
    "serialize": {"core", "serialize"},
    "planner": {"core", "serialize", "planner"},
    "picture": {"core", "serialize", "planner", "picture"},
    "ops": {"core", "serialize", "ops"},
    "data": {"core", "serialize", "data"},
    "svm": {"core", "serialize", "svm"},
    "exporter": {"core", "serialize", "planner", "picture", "ops", "data",
                 "svm", "exporter"},
    "io": {"core", "serialize", "io"},
}

# The layer of each public header.
PUBLIC = {
    "value.h": "core", "ndarray.h": "core", "dtype.h": "core",
    "ordered_map.h": "core", "digraph.h": "core", "errors.h": "core",
    "files.h": "core",
    "builder.h": "serialize", "schema.h": "serialize", "layers.h": "serialize",
    "operations.h": "serialize",
    "fb_assert.h": "serialize",
    "exporter.h": "exporter", "engine.h": "exporter",
    "reference.h": "exporter", "checker.h": "exporter",
    "graph_file.h": "io", "model_reader.h": "io", "analysis.h": "io",
}

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
