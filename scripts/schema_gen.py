#!/usr/bin/env python3
"""Generates, from the model schema (schema/snx.fbs), what is otherwise kept
by hand beside it: the C++ lists of the schema's tables and fields that the
table operations and their Python bindings are made from (snx_lists.h), and
the typing stub of the Python module snxf (snxf.pyi). A new schema field is
then one edit, in snx.fbs.

usage: schema_gen.py SCHEMA.fbs LISTS.h SNXF.pyi"""
import re
import sys

SCALARS = {"byte": ("int8_t", 1), "ubyte": ("uint8_t", 1), "short": ("int16_t", 2),
           "ushort": ("uint16_t", 2), "int": ("int32_t", 4), "int32": ("int32_t", 4),
           "uint": ("uint32_t", 4), "uint32": ("uint32_t", 4), "float": ("float", 4),
           "bool": ("uint8_t", 1)}


def camel(name):
    return "".join(part.capitalize() for part in name.split("_"))


def parse(text):
    text = re.sub(r"//[^\n]*", "", text)
    enums = {}
    for name, base, body in re.findall(r"enum\s+(\w+)\s*:\s*(\w+)\s*\{(.*?)\}", text, re.S):
        enums[name] = (base, [m.strip() for m in body.split(",") if m.strip()])
    tables = []
    for name, body in re.findall(r"table\s+(\w+)\s*\{(.*?)\}", text, re.S):
        fields = []
        for field, ftype, default in re.findall(
                r"(\w+)\s*:\s*(\[?\w+\]?)\s*(?:=\s*(\w+))?\s*;", body):
            fields.append((field, ftype, default))
        tables.append((name, fields))
    return enums, tables


def lists_header(enums, tables):
    # Tables as the builder meets them: the root last in the file, first here.
    order = list(reversed(tables))
    offset, vector, scalar, defaulted = [], [], [], []
    for table, fields in order:
        for field, ftype, default in fields:
            f, slot = camel(field), field.upper()
            if ftype.startswith("["):
                element = ftype[1:-1]
                size = SCALARS[element][1] if element in SCALARS else 4
                offset.append(f"X({table}, {f}, {slot})")
                vector.append(f"X({table}, {f}, {size})")
            elif ftype == "string" or any(ftype == t for t, _ in tables):
                offset.append(f"X({table}, {f}, {slot})")
            else:
                if ftype in enums:
                    value, stored = ftype, SCALARS[enums[ftype][0]][0]
                else:
                    value = stored = SCALARS[ftype][0]
                row = f"X({table}, {f}, {slot}, {value}, {stored})"
                (scalar if default == "null" else defaulted).append(row)

    def macro(name, rows, what):
        body = " \\\n  ".join(rows) if rows else ""
        return f"// {what}\n#define {name}(X) \\\n  {body}\n"

    return "\n".join([
        "// Generated from snx.fbs by scripts/schema_gen.py at build time; do not edit.",
        "#ifndef SARNIC_SNX_LISTS_H_", "#define SARNIC_SNX_LISTS_H_", "",
        macro("SNXF_TABLES", [f"X({t})" for t, _ in order], "X(Table): the tables."),
        macro("SNXF_OFFSET_FIELDS", offset,
              "X(Table, Field, SLOT): fields holding the offset of a string, a table or\n// a vector."),
        macro("SNXF_VECTOR_FIELDS", vector,
              "X(Table, Field, ELEMENT_BYTES): vector fields and the size (and alignment)\n// of their elements."),
        macro("SNXF_SCALAR_FIELDS", scalar,
              "X(Table, Field, SLOT, Type, Stored): scalar fields without a default,\n// written whenever added; `Stored` is their type in the buffer."),
        macro("SNXF_DEFAULTED_FIELDS", defaulted,
              "X(Table, Field, SLOT, Type, Stored): scalar fields with the default 0,\n// left out of the buffer when they hold it."),
        "#endif  // SARNIC_SNX_LISTS_H_", ""])


ENUM_DOCS = {"Op": "An operation of the schema (the layer type written).",
             "Datatype": "An element type of the schema."}


def stub(enums, tables):
    out = ['"""The model schema\'s table operations and enumerations, for plug-ins.',
           'Generated from snx.fbs by scripts/schema_gen.py; checked against the',
           'bindings by the python_types test (mypy stubtest)."""',
           "from typing import ClassVar, Dict", "", "from ._core import Builder", ""]
    for name in ("Op", "Datatype"):
        doc = ENUM_DOCS.get(name, "An enumeration of the schema.")
        out += [f"class {name}:",
                f'    """{doc} Integer-like: int(x) is its number."""',
                f"    __members__: ClassVar[Dict[str, {name}]]"]
        out += [f"    {m}: ClassVar[{name}]  # {i}" for i, m in enumerate(enums[name][1])]
        out += ["    def __init__(self, value: int) -> None: ...",
                "    def __int__(self) -> int: ...",
                "    def __index__(self) -> int: ...",
                "    @property", "    def name(self) -> str: ...",
                "    @property", "    def value(self) -> int: ...", ""]
    order = list(reversed(tables))
    for t, _ in order:
        out += [f"def {t}Start(builder: Builder) -> None: ...",
                f"def {t}End(builder: Builder) -> int: ..."]
    offsets, vectors, scalars, defaulted = [], [], [], []
    for t, fields in order:
        for field, ftype, default in fields:
            f = camel(field)
            if ftype.startswith("[") or ftype == "string" or any(ftype == n for n, _ in tables):
                offsets.append(f"def {t}Add{f}(builder: Builder, offset: int) -> None: ...")
                if ftype.startswith("["):
                    vectors.append(
                        f"def {t}Start{f}Vector(builder: Builder, count: int) -> None: ...")
            else:
                kind = ftype if ftype in enums else ("float" if ftype == "float" else "int")
                row = f"def {t}Add{f}(builder: Builder, value: {kind}) -> None: ..."
                (scalars if default == "null" else defaulted).append(row)
    return "\n".join(out + offsets + vectors + scalars + defaulted) + "\n"


def main():
    schema, header, pyi = sys.argv[1:4]
    enums, tables = parse(open(schema).read())
    for path, text in ((header, lists_header(enums, tables)), (pyi, stub(enums, tables))):
        try:
            if open(path).read() == text:
                continue  # unchanged: nothing that depends on it rebuilds
        except FileNotFoundError:
            pass
        with open(path, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
