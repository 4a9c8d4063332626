"""Faults found by using the tools as users and attackers would: outputs
that replaced the files they came from, numbers reported as success that
were wrong, files that claimed more than they held, and errors that were
not the package's own."""
import os
import re
import struct
import subprocess
import zipfile
import zlib
from typing import Any, Dict, List

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import sarnic_exporter as se
from test_onnx import model, rand, write

SNX_EXPORT = os.environ["SNX_EXPORT"]
TOOLS = os.path.dirname(SNX_EXPORT)


def tool(name: str, *args: Any) -> subprocess.CompletedProcess:  # type: ignore[type-arg]
    return subprocess.run([os.path.join(TOOLS, name), *map(str, args)],
                          capture_output=True, text=True)


def refused(r: subprocess.CompletedProcess, status: int = 1) -> str:  # type: ignore[type-arg]
    assert r.returncode == status, r.stderr
    assert r.stderr.startswith("error: "), r.stderr
    return str(r.stderr)


def external_weights_model(folder: Any, location: str) -> str:
    """y = x + w, w stored in `location` beside the model."""
    w = rand(4)
    (folder / location).write_bytes(w.tobytes())
    m = model([helper.make_node("Add", ["x", "w"], ["y"])], {"x": [4]}, {"y": [4]}, {"w": w})
    t = m.graph.initializer[0]
    t.ClearField("raw_data")
    t.data_location = TensorProto.EXTERNAL
    entry = t.external_data.add()
    entry.key, entry.value = "location", location
    return write(folder, m)


def test_no_tool_writes_over_a_file_it_reads(tmp_path: Any) -> None:
    path = external_weights_model(tmp_path, "w.safetensors")
    ext = tmp_path / "w.safetensors"
    before = {p: open(p, "rb").read() for p in (path, str(ext))}
    for args in ([path, "-o", path], [path, "-o", tmp_path / "g.json", "--weights", "m.onnx"],
                 [path, "-o", tmp_path / "g.json", "--weights", "w.safetensors"],
                 [path, "-o", ext], [path, "-o", tmp_path / "w.json"]):
        message = refused(tool("snx-import", *args))
        assert "would replace an input file" in message and "nothing was written" in message
        assert len(message.splitlines()) == 1
    for args in ([path, "-o", ext], [path, "-o", tmp_path / "m.snx", "--report", ext],
                 [path, "-o", path]):
        assert "would replace an input file" in refused(tool("snx-export", *args))
    assert {p: open(p, "rb").read() for p in before} == before
    assert sorted(os.listdir(tmp_path)) == ["m.onnx", "w.safetensors"]
    # snx-run: an output file that is the input array it read.
    snx = tmp_path / "m.snx"
    assert tool("snx-export", path, "-o", snx).returncode == 0
    out = tmp_path / "out"
    out.mkdir()
    np.save(out / "y.npy", rand(4))
    x = open(out / "y.npy", "rb").read()
    assert "would replace an input file" in refused(
        tool("snx-run", snx, "--input", f"x={out / 'y.npy'}", "-o", out))
    assert open(out / "y.npy", "rb").read() == x


def test_names_the_importer_makes_never_take_the_models_own(tmp_path: Any,
                                                             reference: Any) -> None:
    """The model names values as the importer would name its helpers: a
    value "y/nhwc" beside a convolution "y", an initializer "y/filter"."""
    w, k = rand(4, 3, 3, 3), rand(1, 3, 6, 6)
    nodes = [helper.make_node("Conv", ["x", "w"], ["y"], pads=[1, 1, 1, 1]),
             helper.make_node("Sigmoid", ["x"], ["y/nhwc"]),
             helper.make_node("Mul", ["y/nhwc", "y/filter"], ["z"]),
             helper.make_node("Relu", ["y"], ["r"])]
    m = model(nodes, {"x": [1, 3, 6, 6]}, {"r": [1, 4, 6, 6], "z": [1, 3, 6, 6]},
              {"w": w, "y/filter": k})
    onnx.checker.check_model(m)
    path = write(tmp_path, m)
    x = rand(1, 3, 6, 6)
    graph = se.load_onnx(path)
    got = se.Interpreter(se.SarnicExporter(graph, "m").run()).run({"x": x})
    want = reference.run(path, {"x": x})
    for name in ("r", "z"):
        np.testing.assert_allclose(got[name], want[name], rtol=1e-5, atol=1e-5)


def exact(got: np.ndarray, want: np.ndarray) -> None:
    assert got.shape == want.shape
    np.testing.assert_array_equal(got, want)


EDGES = np.array([-np.inf, 1.0, -3e38, 3e38, np.inf, -1.0, 0.5, 2.5], np.float32)
OTHER = np.array([1.0, -np.inf, 3e38, -3e38, 1.0, np.inf, 0.25, -7.0], np.float32)


@pytest.mark.parametrize("op", ["Max", "Min"])
def test_max_and_min_are_exact_at_the_edges(tmp_path: Any, reference: Any, op: str) -> None:
    same = model([helper.make_node(op, ["a", "b"], ["y"])], {"a": [8], "b": [8]}, {"y": [8]})
    path = write(tmp_path, same)
    feeds = {"a": EDGES, "b": OTHER}
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run(feeds)["y"]
    exact(got, reference.run(path, feeds)["y"])
    # Broadcast, a run-time value against a constant of another shape.
    a = np.tile(EDGES, (2, 3, 1)).reshape(1, 2, 3, 8)
    c = np.array([[[0.5]], [[-np.inf]]], np.float32).reshape(1, 2, 1, 1)
    bc = model([helper.make_node(op, ["a", "c"], ["y"])], {"a": [1, 2, 3, 8]}, {"y": [1, 2, 3, 8]},
               {"c": c})
    path = write(tmp_path, bc, "bc.onnx")
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run({"a": a})["y"]
    exact(got, reference.run(path, {"a": a})["y"])


@pytest.mark.parametrize("lo,hi", [(2.0, -1.0), (-1.0, 1.0), (-1.0, None), (None, 0.5),
                                   (0.0, 6.0), (0.0, None), (1e-30, 3e38)])
def test_clip_is_exact_at_the_edges(tmp_path: Any, reference: Any, lo: Any, hi: Any) -> None:
    inits = {}
    ins = ["x", "", ""]
    if lo is not None:
        inits["lo"], ins[1] = np.array(lo, np.float32), "lo"
    if hi is not None:
        inits["hi"], ins[2] = np.array(hi, np.float32), "hi"
    m = model([helper.make_node("Clip", ins, ["y"])], {"x": [1, 2, 2, 8]}, {"y": [1, 2, 2, 8]},
              inits)
    path = write(tmp_path, m)
    x = np.concatenate([EDGES, OTHER, EDGES * 1e-3, rand(8) * 4]).reshape(1, 2, 2, 8)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run({"x": x})["y"]
    want = reference.run(path, {"x": x})["y"]
    if (lo, hi) == (0.0, None):
        # A relu: +inf stays inf where ONNX's open bound is the float maximum.
        want[np.isposinf(x)] = np.inf
    exact(got, want)


LAYOUT_OPS = [
    ("Conv", dict(pads=[1, 1, 1, 1]), [1, 3, 5, 6], [1, 2, 5, 6]),
    ("MaxPool", dict(kernel_shape=[2, 2], strides=[2, 2]), [1, 3, 4, 6], [1, 3, 2, 3]),
    ("AveragePool", dict(kernel_shape=[2, 2], strides=[2, 2]), [1, 3, 4, 6], [1, 3, 2, 3]),
    ("Resize", dict(mode="nearest"), [1, 3, 4, 6], [1, 3, 8, 12]),
    ("GlobalAveragePool", {}, [1, 3, 4, 6], [1, 3, 1, 1]),
    ("ConvTranspose", dict(strides=[2, 2]), [1, 3, 4, 5], [1, 2, 9, 11]),
]


@pytest.mark.parametrize("nhwc_io", [False, True])
@pytest.mark.parametrize("op,attrs,xs,ys", LAYOUT_OPS, ids=[o[0] for o in LAYOUT_OPS])
def test_layout_changing_operations_from_an_input_to_an_output(
        tmp_path: Any, reference: Any, op: str, attrs: Dict[str, Any], xs: List[int],
        ys: List[int], nhwc_io: bool) -> None:
    inits: Dict[str, np.ndarray] = {}
    ins = ["x"]
    if op == "Conv":
        inits["w"], ins = rand(2, 3, 3, 3), ["x", "w"]
    if op == "ConvTranspose":
        inits["w"], ins = rand(3, 2, 3, 3), ["x", "w"]
    if op == "Resize":
        inits["s"], ins = np.array([1, 1, 2, 2], np.float32), ["x", "", "s"]
    m = model([helper.make_node(op, ins, ["y"], **attrs)], {"x": xs}, {"y": ys}, inits)
    path = write(tmp_path, m)
    snx = tmp_path / "m.snx"
    flags = ["--nhwc-io"] if nhwc_io else []
    r = tool("snx-export", path, "-o", snx, *flags)
    assert r.returncode == 0 and r.stderr == "", r.stderr
    assert tool("snx-inspect", "--verify", snx).returncode == 0
    x = rand(*xs)
    interp = se.Interpreter(str(snx))
    to, back = (0, 2, 3, 1), (0, 3, 1, 2)
    got = interp.run({"x": x.transpose(to) if nhwc_io else x})["y"]
    want = reference.run(path, {"x": x})["y"]
    np.testing.assert_allclose(got.transpose(back) if nhwc_io else got, want, rtol=1e-5,
                               atol=1e-5)


def small_model(tmp_path: Any) -> str:
    """x [1, 4] -> relu -> the outputs "a/b" and "a_b" (and "%" in one)."""
    nodes = [helper.make_node("Relu", ["x"], ["a/b"]), helper.make_node("Neg", ["x"], ["a_b"]),
             helper.make_node("Abs", ["x"], ["p%2F"])]
    path = write(tmp_path, model(nodes, {"x": [1, 4]}, {"a/b": [1, 4], "a_b": [1, 4],
                                                         "p%2F": [1, 4]}))
    snx = str(tmp_path / "m.snx")
    assert tool("snx-export", path, "-o", snx).returncode == 0
    return snx


def test_every_output_of_snx_run_gets_a_file_of_its_own(tmp_path: Any) -> None:
    snx = small_model(tmp_path)
    x = rand(1, 4)
    np.save(tmp_path / "x.npy", x)
    out = tmp_path / "out"
    r = tool("snx-run", snx, "--input", tmp_path / "x.npy", "-o", out)
    assert r.returncode == 0, r.stderr
    files = sorted(os.listdir(out))
    assert files == ["a%2Fb.npy", "a_b.npy", "p%252F.npy"]
    exact(np.load(out / "a%2Fb.npy"), np.maximum(x, 0))
    exact(np.load(out / "a_b.npy"), -x)
    exact(np.load(out / "p%252F.npy"), np.abs(x))
    assert "%XX" in tool("snx-run", "--help").stdout


def test_snx_run_writes_all_its_outputs_or_none(tmp_path: Any) -> None:
    long = "y" * 300
    nodes = [helper.make_node("Relu", ["x"], ["a"]), helper.make_node("Neg", ["x"], [long])]
    path = write(tmp_path, model(nodes, {"x": [1, 4]}, {"a": [1, 4], long: [1, 4]}))
    snx = tmp_path / "m.snx"
    assert tool("snx-export", path, "-o", snx).returncode == 0
    np.save(tmp_path / "x.npy", rand(1, 4))
    out = tmp_path / "out"
    message = refused(tool("snx-run", snx, "--input", tmp_path / "x.npy", "-o", out))
    assert "longer than a folder takes" in message
    assert not out.exists() or os.listdir(out) == []


def npz_bytes(arrays: Dict[str, np.ndarray]) -> bytes:
    import io
    buffer = io.BytesIO()
    np.savez(buffer, **arrays)  # type: ignore[arg-type]
    return buffer.getvalue()


def test_a_damaged_or_inflated_npz_is_refused_before_it_is_used(tmp_path: Any) -> None:
    nodes = [helper.make_node("Relu", ["x"], ["y"])]
    path = write(tmp_path, model(nodes, {"x": [1, 64]}, {"y": [1, 64]}))
    snx = tmp_path / "m.snx"
    assert tool("snx-export", path, "-o", snx).returncode == 0
    good = npz_bytes({"x": rand(1, 64)})
    # One bit of the data flipped, the CRC left as it was.
    at = good.index(b"\x93NUMPY") + 200
    damaged = tmp_path / "damaged.npz"
    damaged.write_bytes(good[:at] + bytes([good[at] ^ 1]) + good[at + 1:])
    with pytest.raises(zipfile.BadZipFile):
        np.load(damaged)["x"]
    assert "CRC-32" in refused(tool("snx-run", snx, "--input", damaged))
    # A directory that claims a 4 GiB entry: refused from the claim alone.
    name = b"x.npy"
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, zlib.crc32(b""), 0,
                        0xFFFFFFF0, len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0,
                          zlib.crc32(b""), 0, 0xFFFFFFF0, len(name), 0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    inflated = tmp_path / "inflated.npz"
    inflated.write_bytes(local + central + end)
    message = refused(tool("snx-run", snx, "--input", inflated))
    assert "claims 4294967280 bytes" in message
    # Thousands of entries the model does not take: one line.
    many = tmp_path / "many.npz"
    many.write_bytes(npz_bytes({f"n{i}": np.zeros(1, np.float32) for i in range(3000)}))
    message = refused(tool("snx-run", snx, "--input", many))
    assert len(message.splitlines()) == 1 and "2995 more" in message


def test_python_names_that_are_not_utf8_are_export_errors(tmp_path: Any) -> None:
    nodes = [helper.make_node("Relu", ["x"], ["probs"])]
    path = write(tmp_path, model(nodes, {"x": [1, 4]}, {"probs": [1, 4]}))
    blob = se.SarnicExporter(se.load_onnx(path), "m").run()
    assert blob.count(b"probs") >= 1
    bad = blob.replace(b"probs", b"pr\xffbs")
    with pytest.raises(se.ExportValueError, match="not valid UTF-8"):
        se.Interpreter(bad)


def test_python_duplicate_output_names_are_refused(tmp_path: Any) -> None:
    nodes = [helper.make_node("Relu", ["x"], ["aa"]), helper.make_node("Neg", ["x"], ["ab"])]
    path = write(tmp_path, model(nodes, {"x": [1, 4]}, {"aa": [1, 4], "ab": [1, 4]}))
    blob = se.SarnicExporter(se.load_onnx(path), "m").run()
    with pytest.raises(se.ExportValueError, match="two outputs named"):
        se.Interpreter(blob.replace(b"ab", b"aa"))


def test_dims_that_fix_nothing_are_refused(tmp_path: Any) -> None:
    relu = [helper.make_node("Relu", ["x"], ["y"])]
    path = write(tmp_path, model(relu, {"x": ["batch", 4]}, {"y": ["batch", 4]}))
    out = tmp_path / "m.snx"
    assert tool("snx-export", path, "--dim", "batch=1", "-o", out).returncode == 0
    for dims, status, says in (
            (["batch=1", "batch=2"], 2, "given twice"), (["batch==3"], 2, "NAME=VALUE"),
            (["batch=1", "bacth=1"], 1, "bacth names no dynamic dimension"),
            (["batch=1", "x:5=1"], 1, "x:5 names no dynamic dimension"),
            (["batch=1", "x:1=4"], 1, "x:1 is fixed by the model already")):
        args = [a for d in dims for a in ("--dim", d)]
        assert says in refused(tool("snx-export", path, *args, "-o", out), status)
    for dims, kind in (({"batch": 1.7}, se.ExportTypeError), ({"batch": -1}, se.ExportValueError),
                       ({"batch": 0}, se.ExportValueError), ({"batch": "a"}, se.ExportTypeError),
                       ({"batch": 2**70}, se.ExportValueError),
                       ({"batch": 1, "nope": 1}, se.ExportValueError)):
        with pytest.raises(kind):
            se.load_onnx(path, dims)  # type: ignore[arg-type]


INVALID = {
    "reshape": (model([helper.make_node("Reshape", ["x", "s"], ["y"])], {"x": [1, 32]},
                      {"y": [3, 11]}, {"s": np.array([3, 11], np.int64)}),
                "holds 33 elements but its input"),
    "groups": (model([helper.make_node("Conv", ["x", "w"], ["y"], group=3)], {"x": [1, 2, 4, 4]},
                     {"y": [1, 3, 2, 2]}, {"w": rand(3, 1, 3, 3)}),
               "in 3 groups does not fit an input of 2 channels"),
    "gemm": (model([helper.make_node("Gemm", ["a", "b", "c"], ["y"])], {"a": [2, 3]}, {"y": [2, 4]},
                   {"b": rand(3, 4), "c": rand(3)}), "do not broadcast"),
    "bias": (model([helper.make_node("Conv", ["x", "w", "b"], ["y"], name="c")],
                   {"x": [1, 2, 4, 4]}, {"y": [1, 3, 2, 2]}, {"w": rand(3, 2, 3, 3),
                                                               "b": rand(3, 1)}),
             "node 'c' (Conv): has a bias of shape [3, 1]; it takes [3]"),
}


@pytest.mark.parametrize("case", sorted(INVALID))
def test_models_whose_shapes_cannot_be_reconciled_are_refused(tmp_path: Any, case: str) -> None:
    m, says = INVALID[case]
    onnx.checker.check_model(m, full_check=True)  # ONNX's checker lets each through
    path = write(tmp_path, m)
    with pytest.raises(se.ExportValueError, match=re.escape(says)):
        se.load_onnx(path)
    for tool_name, args in (("snx-export", ["-o", tmp_path / "m.snx"]),
                            ("snx-import", ["-o", tmp_path / "g.json"])):
        assert says in refused(tool(tool_name, path, *args))
    assert sorted(os.listdir(tmp_path)) == ["m.onnx"]


def graph_model(nodes: List[Any], inputs: Dict[str, List[int]], consts: Dict[str, np.ndarray],
                outputs: List[str], mem_map: bool = True) -> bytes:
    """A model of `nodes` ((name, attrs) pairs, each reading the names its
    attributes give)."""
    import networkx as nx
    g = nx.DiGraph()
    for name, shape in inputs.items():
        g.add_node(name, op="external", output_shape=shape, datatype="float32")
    for name, a in consts.items():
        g.add_node(name, op="constant", output_shape=list(a.shape))
    for name, attrs in nodes:
        g.add_node(name, **attrs)
    for node, data in list(g.nodes(data=True)):
        for key, value in data.items():
            if key != "op" and isinstance(value, str) and value in g and value != node:
                g.add_edge(value, node)
    return bytes(se.SarnicExporter(se.Graph(g, list(inputs), outputs, dict(consts)), "t",
                                   mem_map=mem_map).run())


def spread(pool: str) -> bytes:
    """A 1×1 input resized to 2048 × 2048, pooled over 2048 × 2048 windows."""
    big = [1, 2048, 2048, 1]
    return graph_model(
        [("r", dict(op="resize", input="x", output_shape=big, mode=0, align_corners=False,
                    half_pixel_centers=False)),
         ("p", dict(op=pool, input="r", output_shape=big, size=[2048, 2048], stride=[1, 1],
                    head=[0, 1023, 1023, 0], tail=[0, 1024, 1024, 0]))],
        {"x": [1, 1, 1, 1]}, {}, ["p"])


def test_work_is_counted_at_load_and_bounded(tmp_path: Any) -> None:
    with pytest.raises(se.ExportValueError,
                       match=re.escape("layer 'p' (pool2d) takes 1.76e+13), more than the limit")):
        se.Interpreter(spread("max_pool"))
    # An average over the same windows is a running sum: it runs at once.
    average = se.Interpreter(spread("avg_pool"))
    assert average.operations < 1e8
    got = average.run({"x": np.full((1, 1, 1, 1), 0.75, np.float32)})["p"]
    assert got.shape == (1, 2048, 2048, 1) and np.all(got == np.float32(0.75))
    small = graph_model([("y", dict(op="relu", x="x", output_shape=[1, 4]))], {"x": [1, 4]}, {},
                        ["y"])
    with pytest.raises(se.ExportValueError, match="operations.*more than the limit of 2"):
        se.Interpreter(small, max_operations=2)
    path = tmp_path / "m.snx"
    path.write_bytes(small)
    np.save(tmp_path / "x.npy", rand(1, 4))
    message = refused(tool("snx-run", path, "--input", tmp_path / "x.npy", "--max-operations", 2))
    assert "--max-operations" in message
    assert tool("snx-run", path, "--input", tmp_path / "x.npy").returncode == 0


def test_memory_is_counted_before_anything_is_allocated(tmp_path: Any) -> None:
    huge = [1, 16384, 16384, 1]
    nodes = [(f"r{i}", dict(op="resize", input="x", output_shape=huge, mode=0,
                            align_corners=False, half_pixel_centers=False)) for i in range(3)]
    model = graph_model(nodes, {"x": [1, 1, 1, 1]}, {}, ["r0", "r1", "r2"], mem_map=False)
    assert len(model) < 4096
    with pytest.raises(se.ExportValueError, match="holds 64424509[0-9]{2} bytes at once"):
        se.Interpreter(model)
    small = graph_model([("y", dict(op="relu", x="x", output_shape=[1, 4]))], {"x": [1, 4]}, {},
                        ["y"])
    with pytest.raises(se.ExportValueError, match="holds 3088 bytes at once"):
        se.Interpreter(small, max_memory=64)  # its arena: three blocks, and 16 result bytes
    interp = se.Interpreter(small, max_memory=3088)
    interp.run({"x": rand(1, 4)})
    with pytest.raises(se.ExportValueError, match="keeping every layer's output holds 3104 bytes"):
        interp.run({"x": rand(1, 4)}, all_layers=True)
    with pytest.raises(se.ExportTypeError):
        se.Interpreter(small, max_memory=1.5)  # type: ignore[arg-type]
    path = tmp_path / "m.snx"
    path.write_bytes(small)
    np.save(tmp_path / "x.npy", rand(1, 4))
    assert "--max-memory" in refused(tool("snx-run", path, "--input", tmp_path / "x.npy",
                                          "--max-memory", "16"))
    fits = tool("snx-run", path, "--input", tmp_path / "x.npy", "--max-memory", "4k")
    assert fits.returncode == 0, fits.stderr


def test_a_transposed_convolution_computes_only_what_its_output_reads() -> None:
    """A wide input whose stored output keeps three columns: the work is
    that of the columns read, and the numbers are the full result's."""
    x, w, b = rand(1, 2, 4000, 3), rand(2, 3, 4, 3), rand(4)
    full = np.zeros((1, 3, 4002, 4), np.float64)
    for i in range(2):
        for j in range(4000):
            full[:, i:i + 2, j:j + 3, :] += np.einsum("nc,hwoc->nhwo", x[:, i, j, :], w)
    want = (full[:, 1:3, 5:8, :] + b).astype(np.float32)
    model = graph_model([("y", dict(op="transpose_conv", input="x", filter="w", bias="b",
                                    stride=[1, 1], head=[0, 1, 5, 0], tail=[0, 0, 3994, 0],
                                    output_shape=list(want.shape)))],
                        {"x": list(x.shape)}, {"w": w, "b": b}, ["y"])
    interp = se.Interpreter(model)
    assert interp.operations < x.size + 2000  # the input's copy, then the columns read
    np.testing.assert_allclose(interp.run({"x": x})["y"], want, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("k,s,head,tail", [(9, 1, 4, 4), (12, 3, 0, 5), (9, 9, 0, 0)])
def test_large_average_windows_are_running_sums_with_the_same_numbers(
        k: int, s: int, head: int, tail: int) -> None:
    x = rand(2, 20, 23, 3)
    n, h, w, c = x.shape
    oh, ow = (h + head + tail - k) // s + 1, (w + head + tail - k) // s + 1
    want = np.zeros((n, oh, ow, c), np.float32)
    for i in range(oh):
        for j in range(ow):
            y0, x0 = i * s - head, j * s - head
            want[:, i, j] = x[:, max(y0, 0):y0 + k, max(x0, 0):x0 + k].mean(axis=(1, 2))
    model = graph_model([("y", dict(op="avg_pool", input="x", size=[k, k], stride=[s, s],
                                    head=[0, head, head, 0], tail=[0, tail, tail, 0],
                                    output_shape=list(want.shape)))], {"x": list(x.shape)}, {},
                        ["y"])
    interp = se.Interpreter(model)
    assert interp.operations < 20 * x.size
    np.testing.assert_allclose(interp.run({"x": x})["y"], want, rtol=1e-5, atol=1e-6)


def test_a_chain_of_shape_and_reshape_pairs_folds_in_one_pass(tmp_path: Any,
                                                              reference: Any) -> None:
    """Each Reshape's shape is worked out as the pass meets it, so the next
    Shape folds at once (a round of ONNX's inference per pair was
    quadratic); the numbers are ONNX Runtime's."""
    nodes, prev = [], "x"
    for i in range(300):
        nodes += [helper.make_node("Shape", [prev], [f"s{i}"]),
                  helper.make_node("Reshape", [prev, f"s{i}"], [f"y{i}"])]
        prev = f"y{i}"
    nodes += [helper.make_node("Reshape", [prev, "flat"], ["r"]),
              helper.make_node("Shape", ["r"], ["rs"]),
              helper.make_node("Gather", ["rs", "zero"], ["rows"], axis=0),
              helper.make_node("Relu", ["r"], ["y"])]
    m = model(nodes, {"x": [2, 3, 4]}, {"y": [6, 4]},
              {"flat": np.array([-1, 4], np.int64), "zero": np.array(0, np.int64)})
    path = write(tmp_path, m)
    x = rand(2, 3, 4)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run({"x": x})["y"]
    exact(got, reference.run(path, {"x": x})["y"])


def test_nan_stays_nan_through_relu_as_a_layer_and_fused() -> None:
    x = np.array([[np.nan, -1.0, 2.0, np.nan]], np.float32)
    for op in ("relu", "relu6"):
        model = graph_model([("y", dict(op=op, x="x", output_shape=[1, 4]))], {"x": [1, 4]}, {},
                            ["y"])
        got = se.Interpreter(model).run({"x": x})["y"]
        np.testing.assert_array_equal(got, np.array([[np.nan, 0.0, 2.0, np.nan]], np.float32))
    # A depthwise 1 × 1 convolution by ones, its relu fused.
    conv = graph_model([("y", dict(op="conv", input="x", filter="w", stride=[1, 1],
                                   dilation=[1, 1], groups=4, activation="relu",
                                   output_shape=[1, 1, 1, 4]))],
                       {"x": [1, 1, 1, 4]}, {"w": np.ones((1, 1, 1, 4), np.float32)}, ["y"])
    got = se.Interpreter(conv).run({"x": x.reshape(1, 1, 1, 4)})["y"]
    np.testing.assert_array_equal(got.reshape(1, 4),
                                  np.array([[np.nan, 0.0, 2.0, np.nan]], np.float32))


def test_a_plugin_text_that_utf8_cannot_encode_is_an_export_error() -> None:
    from test_exporter import PyRelu, small_graph

    class Surrogate:
        def SarnicExporter(self, exporter: Any) -> Any:
            return PyRelu(exporter, mark="r\ud800")

    with pytest.raises(se.ExportValueError, match="the text given to CreateString"):
        se.SarnicExporter(small_graph(), "m", user_ops=[Surrogate()]).run()

