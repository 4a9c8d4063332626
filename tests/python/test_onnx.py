"""The ONNX importer: single-operation models made with the onnx helper,
imported, exported and run by the interpreter, every output against ONNX
Runtime's (and, where written here, a NumPy formula); the layout
conversion, folding and fusions; the command-line route; the refusals."""
import os
import pathlib
import re
import subprocess
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import sarnic_exporter as se


SNX_EXPORT = os.environ["SNX_EXPORT"]
TOOLS = os.path.dirname(SNX_EXPORT)
RNG = np.random.default_rng(11)


def rand(*shape: int, low: float = -2.0, high: float = 2.0) -> np.ndarray:
    return RNG.uniform(low, high, size=shape).astype(np.float32)


def model(nodes: List[Any], inputs: Dict[str, Sequence[Any]], outputs: Dict[str, Sequence[Any]],
          inits: Optional[Dict[str, np.ndarray]] = None, opset: int = 14) -> onnx.ModelProto:
    graph = helper.make_graph(
        nodes, "g",
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in inputs.items()],
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in outputs.items()],
        [numpy_helper.from_array(a, n) for n, a in (inits or {}).items()])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])


_REFERENCE: List[Any] = []


@pytest.fixture(autouse=True)
def _reference_for_run_onnx(reference: Any) -> None:
    _REFERENCE[:] = [reference]


def run_onnx(tmp_path: Any, m: onnx.ModelProto, feeds: Dict[str, np.ndarray],
             dims: Optional[Dict[str, int]] = None) -> Dict[str, np.ndarray]:
    """The model imported, exported, verified and run in its planned arena
    (and with separate buffers, which must agree), each output checked
    against ONNX Runtime's."""
    path = tmp_path / "m.onnx"
    onnx.save(m, str(path))
    graph = se.load_onnx(path, dims)
    blob = se.SarnicExporter(graph, "m").run()
    assert se.verify_model(blob) == []
    interp = se.Interpreter(blob)
    got = interp.run(feeds)
    assert {k: v.tobytes() for k, v in got.items()} == {
        k: v.tobytes() for k, v in interp.run(feeds, separate_buffers=True).items()}
    want = _REFERENCE[0].run(str(path), feeds)
    assert set(want) == set(got)
    for name, array in want.items():
        close(got[name], array)
    return got


def close(got: np.ndarray, want: np.ndarray) -> None:
    assert got.shape == want.shape
    tolerance = 1e-4 + 1e-3 * float(np.abs(want).max())
    assert float(np.abs(got - want).max()) <= tolerance


def sigmoid(x: np.ndarray) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-x))


X = rand(2, 3, 4)
UNARY: List[Tuple[str, Dict[str, Any], Callable[[np.ndarray], np.ndarray]]] = [
    ("Relu", {}, lambda x: np.maximum(x, 0)),
    ("Sigmoid", {}, sigmoid),
    ("Tanh", {}, np.tanh),
    ("Exp", {}, np.exp),
    ("Abs", {}, np.abs),
    ("Neg", {}, lambda x: -x),
    ("LeakyRelu", {"alpha": 0.2}, lambda x: np.where(x < 0, 0.2 * x, x)),
    ("HardSigmoid", {"alpha": 0.3, "beta": 0.4}, lambda x: np.clip(0.3 * x + 0.4, 0, 1)),
    ("HardSwish", {}, lambda x: x * np.clip(x / 6 + 0.5, 0, 1)),
    ("Identity", {}, lambda x: x),
    ("Softmax", {"axis": -1}, lambda x: np.exp(x) / np.exp(x).sum(-1, keepdims=True)),
    ("Softmax", {"axis": 1}, lambda x: np.exp(x) / np.exp(x).sum(1, keepdims=True)),
    ("Transpose", {"perm": [2, 0, 1]}, lambda x: x.transpose(2, 0, 1)),
    ("Transpose", {}, lambda x: x.transpose()),
]


@pytest.mark.parametrize("op,attrs,formula", UNARY, ids=[f"{u[0]}{i}" for i, u in enumerate(UNARY)])
def test_one_input_operations(tmp_path: Any, op: str, attrs: Dict[str, Any], formula: Any) -> None:
    want = formula(X.astype(np.float64)).astype(np.float32)
    m = model([helper.make_node(op, ["x"], ["y"], **attrs)], {"x": X.shape}, {"y": want.shape})
    close(run_onnx(tmp_path, m, {"x": X})["y"], want)


@pytest.mark.parametrize("op,formula", [("Log", np.log), ("Sqrt", np.sqrt),
                                        ("Reciprocal", lambda x: 1 / x)])
def test_positive_input_operations(tmp_path: Any, op: str, formula: Any) -> None:
    x = rand(3, 5, low=0.5, high=3.0)
    m = model([helper.make_node(op, ["x"], ["y"])], {"x": x.shape}, {"y": x.shape})
    close(run_onnx(tmp_path, m, {"x": x})["y"], formula(x))


@pytest.mark.parametrize("op,formula,sb", [
    ("Add", np.add, (4,)), ("Sub", np.subtract, (3, 1)), ("Mul", np.multiply, (1, 3, 4)),
    ("Div", np.divide, (4,)), ("Pow", np.power, (1,)),
])
def test_broadcasting_operations(tmp_path: Any, op: str, formula: Any, sb: Tuple[int, ...]) -> None:
    x = rand(2, 3, 4, low=0.5, high=2.0)
    b = rand(*sb, low=0.5, high=2.0)
    m = model([helper.make_node(op, ["x", "b"], ["y"])], {"x": x.shape}, {"y": x.shape}, {"b": b})
    close(run_onnx(tmp_path, m, {"x": x})["y"], formula(x, b))


@pytest.mark.parametrize("lo,hi", [(0.0, 6.0), (-0.5, 1.5), (None, 1.0), (0.3, None), (None, None)])
def test_clip_bounds(tmp_path: Any, lo: Optional[float], hi: Optional[float]) -> None:
    inits = {}
    names = ["x", "", ""]
    if lo is not None:
        inits["lo"], names[1] = np.array(lo, np.float32), "lo"
    if hi is not None:
        inits["hi"], names[2] = np.array(hi, np.float32), "hi"
    while names and names[-1] == "":
        names.pop()
    x = rand(4, 5, low=-8, high=8)
    m = model([helper.make_node("Clip", names, ["y"])], {"x": x.shape}, {"y": x.shape}, inits)
    close(run_onnx(tmp_path, m, {"x": x})["y"], np.clip(x, lo, hi) if (lo, hi) != (None, None) else x)


@pytest.mark.parametrize("ta,tb,alpha,beta,bias", [
    (0, 0, 1.0, 1.0, True), (0, 1, 1.0, 1.0, True), (1, 0, 0.5, 2.0, True), (1, 1, 1.0, 1.0, False),
])
def test_gemm(tmp_path: Any, ta: int, tb: int, alpha: float, beta: float, bias: bool) -> None:
    a, b, c = rand(3, 4), rand(4, 5), rand(5)
    a_in = a.T.copy() if ta else a
    b_in = b.T.copy() if tb else b
    inputs = ["a", "b"] + (["c"] if bias else [])
    node = helper.make_node("Gemm", inputs, ["y"], transA=ta, transB=tb, alpha=alpha, beta=beta)
    inits = {"b": b_in, **({"c": c} if bias else {})}
    m = model([node], {"a": a_in.shape}, {"y": (3, 5)}, inits)
    want = alpha * (a @ b) + (beta * c if bias else 0)
    close(run_onnx(tmp_path, m, {"a": a_in})["y"], want)


def test_matmul_flatten_reshape_concat_with_a_dynamic_batch(tmp_path: Any) -> None:
    x, w = rand(2, 3, 4), rand(12, 6)
    shape = np.array([2, 2, 3], np.int64)
    nodes = [helper.make_node("Flatten", ["x"], ["f"], axis=1),
             helper.make_node("MatMul", ["f", "w"], ["m"]),
             helper.make_node("Reshape", ["m", "shape"], ["r"]),
             helper.make_node("Unsqueeze", ["r", "axes"], ["u"]),
             helper.make_node("Concat", ["u", "u"], ["y"], axis=-1)]
    m = model(nodes, {"x": ["batch", 3, 4]}, {"y": ["batch", 2, 3, 2]},
              {"w": w, "shape": shape, "axes": np.array([3], np.int64)})
    r = (x.reshape(2, 12) @ w).reshape(2, 2, 3)[..., None]
    close(run_onnx(tmp_path, m, {"x": x}, {"batch": 2})["y"], np.concatenate([r, r], -1))


def write(tmp_path: Any, m: onnx.ModelProto, name: str = "m.onnx") -> str:
    path = tmp_path / name
    onnx.save(m, str(path))
    return str(path)


def import_error(path: str, dims: Optional[Dict[str, int]] = None) -> str:
    with pytest.raises(se.ExportValueError) as err:
        se.load_onnx(path, dims)
    return str(err.value)


def test_refusals(tmp_path: Any) -> None:
    (tmp_path / "damaged.onnx").write_bytes(b"\x08\x07\x12\xff\xff\xff")
    assert "not an ONNX model" in import_error(str(tmp_path / "damaged.onnx"))
    relu = [helper.make_node("Relu", ["x"], ["y"])]
    newer = write(tmp_path, model(relu, {"x": [2]}, {"y": [2]}, opset=99), "newer.onnx")
    assert "uses opset 99, newer than the 21 this importer reads" in import_error(newer)
    open_dims = write(tmp_path, model(relu, {"x": ["n", "c"]}, {"y": ["n", "c"]}), "dims.onnx")
    message = import_error(open_dims, {"n": 1})
    assert "dynamic dimensions left open: c (x:1)" in message
    unnamed = write(tmp_path, model(relu, {"x": [None, 3]}, {"y": [None, 3]}), "unnamed.onnx")
    assert "dynamic dimensions left open: x:0;" in import_error(unnamed)
    assert se.load_onnx(unnamed, {"x:0": 2}).qm_nx_graph.nodes["y"]["output_shape"] == [2, 3]
    nodes = [helper.make_node("Acos", ["x"], ["a"], name="e1"),
             helper.make_node("Sin", ["a"], ["b"], name="s1"),
             helper.make_node("Acos", ["b"], ["y"], name="e2")]
    unsupported = write(tmp_path, model(nodes, {"x": [1, 4]}, {"y": [1, 4]}), "acos.onnx")
    message = import_error(unsupported)
    assert "Acos (2, first node 'e1'), Sin (1, first node 's1')" in message
    # A zero stride would divide by zero inside ONNX's shape inference.
    conv = [helper.make_node("Conv", ["x", "w"], ["y"], name="c", strides=[0, 1])]
    zero = write(tmp_path, model(conv, {"x": [1, 1, 4, 4]}, {"y": [1, 1, 2, 4]},
                                 {"w": rand(1, 1, 3, 1)}), "zero.onnx")
    assert "node 'c' (Conv): attribute 'strides' holds 0" in import_error(zero)


def external_model(folder: Any, entries: List[Tuple[str, str]], w: np.ndarray) -> str:
    """y = x + w, with w's data stored outside the model as `entries` say."""
    m = model([helper.make_node("Add", ["x", "w"], ["y"])], {"x": [4]}, {"y": [4]}, {"w": w})
    tensor = m.graph.initializer[0]
    tensor.ClearField("raw_data")
    tensor.data_location = TensorProto.EXTERNAL
    for key, value in entries:
        entry = tensor.external_data.add()
        entry.key, entry.value = key, value
    return write(folder, m)


@pytest.mark.parametrize("location", ["../outside.bin", "/etc/passwd", "link.bin"])
def test_external_data_outside_the_folder_is_refused(tmp_path: Any, location: str) -> None:
    folder = tmp_path / "model"
    folder.mkdir()
    (tmp_path / "outside.bin").write_bytes(np.ones(4, np.float32).tobytes())
    os.symlink(tmp_path / "outside.bin", folder / "link.bin")
    path = external_model(folder, [("location", location), ("offset", "0"), ("length", "16")],
                          np.ones(4, np.float32))
    message = import_error(path)
    assert "external data" in message and "tensor 'w'" in message


@pytest.mark.parametrize("key,value", [("offset", "8x"), ("length", "lots"), ("offset", "")])
def test_external_data_with_a_malformed_place_is_refused(tmp_path: Any, key: str,
                                                         value: str) -> None:
    (tmp_path / "weights.bin").write_bytes(b"\0" * 24)
    entries = [("location", "weights.bin"), ("offset", "8"), ("length", "16"), (key, value)]
    message = import_error(external_model(tmp_path, entries, np.zeros(4, np.float32)))
    assert f"tensor 'w': its external data {key} '{value}' is not a whole number" in message


def test_external_data_inside_the_folder_is_read(tmp_path: Any) -> None:
    w = rand(4)
    (tmp_path / "weights.bin").write_bytes(b"\0" * 8 + w.tobytes())
    path = external_model(tmp_path, [("location", "weights.bin"), ("offset", "8"),
                                     ("length", "16")], np.zeros(4, np.float32))
    x = rand(4)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run({"x": x})["y"]
    close(got, x + w)


def test_command_line_route(tmp_path: Any) -> None:
    w = rand(4, 3)
    m = model([helper.make_node("MatMul", ["x", "w"], ["m"]), helper.make_node("Relu", ["m"], ["y"])],
              {"x": ["batch", 4]}, {"y": ["batch", 3]}, {"w": w})
    path = write(tmp_path, m)
    graph, snx = str(tmp_path / "g.json"), str(tmp_path / "m.snx")
    out = subprocess.run([os.path.join(TOOLS, "snx-import"), path, "-o", graph, "--dim", "batch=2"],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert os.path.exists(tmp_path / "g.safetensors")
    direct = subprocess.run([SNX_EXPORT, path, "--dim", "batch=2", "-o", snx],
                            capture_output=True, text=True)
    assert direct.returncode == 0, direct.stderr
    via_graph = subprocess.run([SNX_EXPORT, graph, "-o", str(tmp_path / "g.snx"), "--name", "m"],
                               capture_output=True, text=True)
    assert via_graph.returncode == 0, via_graph.stderr
    x = rand(2, 4)
    close(se.Interpreter(snx).run({"x": x})["y"], np.maximum(x @ w, 0))
    missing = subprocess.run([SNX_EXPORT, path, "-o", snx], capture_output=True, text=True)
    assert missing.returncode == 1
    assert missing.stderr.startswith("error: ") and "batch (x:0)" in missing.stderr
    listed = subprocess.run([os.path.join(TOOLS, "snx-import"), "--list-ops"],
                            capture_output=True, text=True)
    assert "Gemm  matmul" in listed.stdout and "HardSwish" in listed.stdout


def conv_nchw(x: np.ndarray, w: np.ndarray, b: Optional[np.ndarray], s: Sequence[int],
              d: Sequence[int], p: Sequence[int], g: int) -> np.ndarray:
    xp = np.pad(x.astype(np.float64), [(0, 0), (0, 0), (p[0], p[2]), (p[1], p[3])])
    n, _, h, wd = xp.shape
    m, cg, kh, kw = w.shape
    oh, ow = (h - d[0] * (kh - 1) - 1) // s[0] + 1, (wd - d[1] * (kw - 1) - 1) // s[1] + 1
    out = np.zeros((n, m, oh, ow))
    og = m // g
    for gi in range(g):
        for i in range(kh):
            for j in range(kw):
                patch = xp[:, gi * cg:(gi + 1) * cg, i * d[0]:i * d[0] + s[0] * (oh - 1) + 1:s[0],
                           j * d[1]:j * d[1] + s[1] * (ow - 1) + 1:s[1]]
                out[:, gi * og:(gi + 1) * og] += np.einsum(
                    "nchw,mc->nmhw", patch, w[gi * og:(gi + 1) * og, :, i, j])
    if b is not None:
        out += b[None, :, None, None]
    return out.astype(np.float32)


CONVS: List[Tuple[Tuple[int, ...], Tuple[int, ...], Dict[str, Any], Sequence[int], bool]] = [
    # input, filter, attributes, the pads they mean (h, w begin, end), bias
    ((1, 3, 8, 8), (4, 3, 3, 3), {}, (0, 0, 0, 0), True),
    ((2, 3, 9, 7), (5, 3, 3, 3), {"strides": [2, 2], "pads": [1, 1, 1, 1]}, (1, 1, 1, 1), True),
    ((1, 2, 10, 10), (3, 2, 3, 3), {"dilations": [2, 2], "pads": [2, 1, 0, 2]}, (2, 1, 0, 2), False),
    ((1, 4, 6, 6), (6, 2, 3, 3), {"group": 2, "pads": [1, 1, 1, 1]}, (1, 1, 1, 1), True),
    ((1, 5, 8, 8), (5, 1, 3, 3), {"group": 5, "strides": [2, 2], "pads": [1, 1, 1, 1]},
     (1, 1, 1, 1), True),
    ((1, 3, 7, 7), (4, 3, 3, 3), {"auto_pad": "SAME_UPPER", "strides": [2, 2]}, (1, 1, 1, 1), True),
    ((1, 3, 6, 6), (4, 3, 2, 2), {"auto_pad": "SAME_LOWER"}, (1, 1, 0, 0), True),
    ((1, 3, 6, 6), (4, 3, 2, 2), {"auto_pad": "SAME_UPPER"}, (0, 0, 1, 1), True),
    ((1, 3, 7, 5), (2, 3, 3, 1), {"auto_pad": "VALID", "strides": [1, 2]}, (0, 0, 0, 0), True),
]


@pytest.mark.parametrize("case", CONVS, ids=[f"conv{i}" for i in range(len(CONVS))])
def test_conv_in_the_models_layout(tmp_path: Any, case: Any) -> None:
    xs, ws, attrs, pads, bias = case
    x, w, b = rand(*xs), rand(*ws), rand(ws[0])
    s = attrs.get("strides", [1, 1])
    d = attrs.get("dilations", [1, 1])
    want = conv_nchw(x, w, b if bias else None, s, d, pads, attrs.get("group", 1))
    inputs = ["x", "w"] + (["b"] if bias else [])
    inits = {"w": w, **({"b": b} if bias else {})}
    m = model([helper.make_node("Conv", inputs, ["y"], **attrs)], {"x": xs}, {"y": want.shape},
              inits)
    close(run_onnx(tmp_path, m, {"x": x})["y"], want)


def pool_nchw(x: np.ndarray, k: int, s: int, hb: int, out: int, average: bool) -> np.ndarray:
    n, c, h, w = x.shape
    y = np.zeros((n, c, out, out), np.float32)
    for i in range(out):
        for j in range(out):
            y0, x0 = i * s - hb, j * s - hb
            win = x[:, :, max(y0, 0):min(y0 + k, h), max(x0, 0):min(x0 + k, w)]
            y[:, :, i, j] = win.mean(axis=(2, 3)) if average else win.max(axis=(2, 3))
    return y


@pytest.mark.parametrize("op", ["MaxPool", "AveragePool"])
@pytest.mark.parametrize("k,s,pad,ceil,out", [
    (2, 2, 0, 0, 4), (3, 2, 1, 0, 4), (3, 2, 0, 1, 4), (3, 1, 1, 0, 8),
])
def test_pooling(tmp_path: Any, op: str, k: int, s: int, pad: int, ceil: int, out: int) -> None:
    x = rand(2, 3, 8, 8)
    attrs = {"kernel_shape": [k, k], "strides": [s, s], "pads": [pad] * 4, "ceil_mode": ceil}
    m = model([helper.make_node(op, ["x"], ["y"], **attrs)], {"x": x.shape},
              {"y": (2, 3, out, out)})
    close(run_onnx(tmp_path, m, {"x": x})["y"], pool_nchw(x, k, s, pad, out, op == "AveragePool"))


def test_global_pools_batch_normalization_and_reductions(tmp_path: Any) -> None:
    x = rand(2, 3, 4, 5)
    scale, bias, mean, var = rand(3), rand(3), rand(3), rand(3, low=0.5, high=2.0)
    nodes = [helper.make_node("BatchNormalization", ["x", "scale", "bias", "mean", "var"], ["bn"],
                              epsilon=1e-3),
             helper.make_node("GlobalAveragePool", ["bn"], ["gap"]),
             helper.make_node("GlobalMaxPool", ["x"], ["gmp"]),
             helper.make_node("ReduceMean", ["x"], ["rm"], axes=[1, -1], keepdims=1),
             helper.make_node("ReduceSum", ["x", "axes"], ["rs"], keepdims=0),
             helper.make_node("ReduceMax", ["x"], ["rx"], axes=[2], keepdims=0)]
    outs = {"bn": x.shape, "gap": (2, 3, 1, 1), "gmp": (2, 3, 1, 1), "rm": (2, 1, 4, 1),
            "rs": (2, 5), "rx": (2, 3, 5)}
    inits = {"scale": scale, "bias": bias, "mean": mean, "var": var,
             "axes": np.array([1, 2], np.int64)}
    got = run_onnx(tmp_path, model(nodes, {"x": x.shape}, outs, inits, opset=13), {"x": x})
    c = (None, slice(None), None, None)
    bn = (x - mean[c]) / np.sqrt(var[c] + 1e-3) * scale[c] + bias[c]
    close(got["bn"], bn)
    close(got["gap"], bn.mean(axis=(2, 3), keepdims=True))
    close(got["gmp"], x.max(axis=(2, 3), keepdims=True))
    close(got["rm"], x.mean(axis=(1, 3), keepdims=True))
    close(got["rs"], x.sum(axis=(1, 2)))
    close(got["rx"], x.max(axis=2))


def test_a_small_convolutional_network(tmp_path: Any) -> None:
    """Conv, batch normalization, ReLU, pooling, a depthwise and a pointwise
    convolution, a residual add, global pooling, Flatten, Gemm and Softmax:
    the transposes around each convolution meet the layout of the rest."""
    x = rand(1, 3, 16, 16)
    w1, b1 = rand(8, 3, 3, 3), rand(8)
    scale, bias, mean, var = rand(8), rand(8), rand(8), rand(8, low=0.5, high=2.0)
    dw, pw = rand(8, 1, 3, 3), rand(8, 8, 1, 1)
    fc, fb = rand(8, 10), rand(10)
    nodes = [
        helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], strides=[2, 2], pads=[1, 1, 1, 1]),
        helper.make_node("BatchNormalization", ["c1", "scale", "bias", "mean", "var"], ["bn"]),
        helper.make_node("Relu", ["bn"], ["r"]),
        helper.make_node("MaxPool", ["r"], ["p"], kernel_shape=[2, 2], strides=[2, 2]),
        helper.make_node("Conv", ["p", "dw"], ["d"], group=8, pads=[1, 1, 1, 1]),
        helper.make_node("Conv", ["d", "pw"], ["q"]),
        helper.make_node("Add", ["q", "p"], ["res"]),
        helper.make_node("GlobalAveragePool", ["res"], ["g"]),
        helper.make_node("Flatten", ["g"], ["f"]),
        helper.make_node("Gemm", ["f", "fc", "fb"], ["logits"]),
        helper.make_node("Softmax", ["logits"], ["y"], axis=1),
    ]
    inits = {"w1": w1, "b1": b1, "scale": scale, "bias": bias, "mean": mean, "var": var,
             "dw": dw, "pw": pw, "fc": fc, "fb": fb}
    m = model(nodes, {"x": x.shape}, {"y": (1, 10)}, inits)
    c = (None, slice(None), None, None)
    h = conv_nchw(x, w1, b1, [2, 2], [1, 1], [1, 1, 1, 1], 1)
    h = np.maximum((h - mean[c]) / np.sqrt(var[c] + 1e-5) * scale[c] + bias[c], 0)
    p = pool_nchw(h.astype(np.float32), 2, 2, 0, 4, False)
    q = conv_nchw(conv_nchw(p, dw, None, [1, 1], [1, 1], [1, 1, 1, 1], 8), pw, None,
                  [1, 1], [1, 1], [0, 0, 0, 0], 1)
    logits = (q + p).mean(axis=(2, 3)) @ fc + fb
    e = np.exp(logits - logits.max(axis=1, keepdims=True))
    close(run_onnx(tmp_path, m, {"x": x})["y"], e / e.sum(axis=1, keepdims=True))


def test_max_min_cast_pad_and_slice(tmp_path: Any) -> None:
    a, b = rand(2, 3, 4), rand(2, 3, 4)
    big = np.iinfo(np.int64).max
    nodes = [helper.make_node("Max", ["a", "b"], ["mx"]),
             helper.make_node("Min", ["a", "b"], ["mn"]),
             helper.make_node("Cast", ["a"], ["cast"], to=TensorProto.FLOAT),
             helper.make_node("Pad", ["a", "pads", "value"], ["pad"]),
             helper.make_node("Slice", ["a", "starts", "ends", "axes", "steps"], ["sl"])]
    inits = {"b": b, "pads": np.array([0, 1, 0, 1, 0, 2], np.int64),
             "value": np.array(0.5, np.float32),
             "starts": np.array([-1, 1], np.int64), "ends": np.array([-big, big], np.int64),
             "axes": np.array([2, 1], np.int64), "steps": np.array([-2, 1], np.int64)}
    outs = {"mx": a.shape, "mn": a.shape, "cast": a.shape, "pad": (3, 4, 6), "sl": (2, 2, 2)}
    got = run_onnx(tmp_path, model(nodes, {"a": a.shape}, outs, inits, opset=13), {"a": a})
    close(got["mx"], np.maximum(a, b))
    close(got["mn"], np.minimum(a, b))
    close(got["cast"], a)
    close(got["pad"], np.pad(a, [(0, 1), (1, 0), (0, 2)], constant_values=0.5))
    close(got["sl"], a[:, 1:, ::-2])


DECONVS: List[Tuple[Tuple[int, ...], Tuple[int, ...], Dict[str, Any], bool]] = [
    # input, weights [C_in, C_out, KH, KW], attributes, bias
    ((1, 4, 5, 5), (4, 3, 2, 2), {"strides": [2, 2]}, True),
    ((2, 3, 4, 5), (3, 2, 3, 3), {"strides": [2, 2], "pads": [1, 1, 1, 1],
                                  "output_padding": [1, 1]}, True),
    ((1, 3, 4, 4), (3, 5, 3, 3), {"strides": [2, 1], "pads": [0, 1, 2, 1]}, False),
    ((1, 2, 3, 3), (2, 2, 4, 4), {"strides": [2, 2], "auto_pad": "SAME_UPPER"}, True),
    ((1, 2, 3, 3), (2, 2, 3, 3), {"strides": [2, 2], "output_shape": [6, 7]}, True),
]


@pytest.mark.parametrize("case", DECONVS, ids=[f"deconv{i}" for i in range(len(DECONVS))])
def test_transposed_convolution(tmp_path: Any, case: Any) -> None:
    xs, ws, attrs, bias = case
    x, w, b = rand(*xs), rand(*ws), rand(ws[1])
    inputs = ["x", "w"] + (["b"] if bias else [])
    m = model([helper.make_node("ConvTranspose", inputs, ["y"], **attrs)], {"x": xs},
              {"y": None}, {"w": w, **({"b": b} if bias else {})})
    run_onnx(tmp_path, onnx.shape_inference.infer_shapes(m), {"x": x})


RESIZES: List[Tuple[Tuple[int, ...], Dict[str, Any], Sequence[float], Sequence[int]]] = [
    # input, attributes, scales or (when empty) sizes
    ((1, 2, 3, 4), {"mode": "nearest", "coordinate_transformation_mode": "asymmetric",
                    "nearest_mode": "floor"}, [1, 1, 2, 2], []),
    ((1, 2, 3, 4), {"mode": "nearest"}, [1, 1, 2, 3], []),
    ((2, 3, 4, 4), {"mode": "linear"}, [1, 1, 2, 2], []),
    ((1, 2, 5, 3), {"mode": "linear", "coordinate_transformation_mode": "align_corners"},
     [], [1, 2, 9, 7]),
    ((1, 2, 6, 6), {"mode": "linear", "coordinate_transformation_mode": "asymmetric"},
     [], [1, 2, 3, 4]),
    ((1, 1, 4, 6), {"mode": "nearest", "coordinate_transformation_mode": "align_corners",
                    "nearest_mode": "round_prefer_ceil"}, [], [1, 1, 7, 3]),
]


@pytest.mark.parametrize("case", RESIZES, ids=[f"resize{i}" for i in range(len(RESIZES))])
def test_resize(tmp_path: Any, case: Any) -> None:
    xs, attrs, scales, sizes = case
    inits = {"roi": np.zeros(0, np.float32), "scales": np.array(scales, np.float32)}
    inputs = ["x", "roi", "scales"]
    if sizes:
        inits = {"roi": inits["roi"], "sizes": np.array(sizes, np.int64)}
        inputs = ["x", "roi", "", "sizes"]
    m = model([helper.make_node("Resize", inputs, ["y"], **attrs)], {"x": xs}, {"y": None},
              inits, opset=13)
    run_onnx(tmp_path, onnx.shape_inference.infer_shapes(m), {"x": rand(*xs)})


def test_resize_rounding_that_picks_other_samples_is_refused(tmp_path: Any) -> None:
    # Halving with half-pixel centres rounds ties down; the layer's nearest
    # rounds them up: every sample would differ.
    m = model([helper.make_node("Resize", ["x", "", "scales"], ["y"], name="r", mode="nearest")],
              {"x": (1, 1, 8, 8)}, {"y": (1, 1, 4, 4)},
              {"scales": np.array([1, 1, 0.5, 0.5], np.float32)}, opset=13)
    message = import_error(write(tmp_path, m))
    assert "node 'r' (Resize)" in message and "round_prefer_floor" in message
    m.graph.node[0].attribute.append(helper.make_attribute("nearest_mode", "f|oor"))
    assert "node 'r' (Resize): has nearest_mode 'f|oor'" in import_error(write(tmp_path, m))


def test_shape_computations_fold_into_constants(tmp_path: Any) -> None:
    """Shape, Gather, Unsqueeze, Concat, Cast, ConstantOfShape and Slice of
    constants are computed at import: what is left is a reshape, an add of
    a constant and a slice written with attributes (opset 9)."""
    x = rand(2, 3, 4, 5)
    nodes = [helper.make_node("Shape", ["x"], ["s"]),
             helper.make_node("Gather", ["s", "zero"], ["n"], axis=0),
             helper.make_node("Unsqueeze", ["n"], ["nu"], axes=[0]),
             helper.make_node("Concat", ["nu", "minus_one"], ["target"], axis=0),
             helper.make_node("Cast", ["target"], ["target32"], to=TensorProto.INT32),
             helper.make_node("Cast", ["target32"], ["target64"], to=TensorProto.INT64),
             helper.make_node("Reshape", ["x", "target64"], ["flat"]),
             helper.make_node("Slice", ["s"], ["tail"], starts=[2], ends=[4], axes=[0]),
             helper.make_node("ConstantOfShape", ["tail"], ["ones"],
                              value=numpy_helper.from_array(np.array([1.5], np.float32))),
             helper.make_node("Add", ["x", "ones"], ["shifted"]),
             helper.make_node("Slice", ["x"], ["y"], starts=[1, -3], ends=[3, 100], axes=[1, 3])]
    inits = {"zero": np.array(0, np.int64), "minus_one": np.array([-1], np.int64)}
    m = model(nodes, {"x": x.shape}, {"flat": (2, 60), "shifted": x.shape, "y": (2, 2, 4, 3)},
              inits, opset=9)
    got = run_onnx(tmp_path, m, {"x": x})
    close(got["flat"], x.reshape(2, 60))
    close(got["shifted"], x + 1.5)
    graph = se.load_onnx(write(tmp_path, m)).qm_nx_graph
    assert sorted({graph.nodes[n]["op"] for n in graph}) == [
        "add", "constant", "external", "reshape", "slice"]


def ops_of(graph: Any) -> List[str]:
    g = graph.qm_nx_graph
    return sorted(g.nodes[n]["op"] for n in g if g.nodes[n]["op"] not in ("constant", "external"))


def conv_chain(tail: List[Any], extra_outputs: Sequence[str] = ()) -> onnx.ModelProto:
    """x → Conv → the tail nodes → y, with the tensors the tail reads. The
    layers left always include the transposes into NHWC and back."""
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["c"], pads=[1, 1, 1, 1])] + tail
    inits = {"w": rand(4, 3, 3, 3), "b": rand(4), "scale": rand(4), "bias": rand(4),
             "mean": rand(4), "var": rand(4, low=0.5, high=2.0), "k": rand(4, 1, 1),
             "three": np.array(3, np.float32), "six": np.array(6, np.float32),
             "zero": np.array(0, np.float32)}
    outs = {"y": (1, 4, 5, 5), **{o: (1, 4, 5, 5) for o in extra_outputs}}
    return model(nodes, {"x": (1, 3, 5, 5)}, outs, inits, opset=13)


FUSIONS: List[Tuple[str, List[Any], Sequence[str], List[str]]] = [
    # case, nodes after the convolution, extra model outputs, the layers left
    ("normalisation, scale and relu into the convolution",
     [helper.make_node("BatchNormalization", ["c", "scale", "bias", "mean", "var"], ["n"]),
      helper.make_node("Mul", ["n", "k"], ["s"]),
      helper.make_node("Relu", ["s"], ["r"]),
      helper.make_node("Abs", ["r"], ["y"])], [], ["abs", "conv", "transpose", "transpose"]),
    ("relu6 as a clip",
     [helper.make_node("Clip", ["c", "zero", "six"], ["r"]),
      helper.make_node("Abs", ["r"], ["y"])], [], ["abs", "conv", "transpose", "transpose"]),
    ("the four operations of a hard swish",
     [helper.make_node("Add", ["c", "three"], ["a"]),
      helper.make_node("Clip", ["a", "zero", "six"], ["r"]),
      helper.make_node("Mul", ["c", "r"], ["m"]),
      helper.make_node("Div", ["m", "six"], ["y"])], [], ["conv", "swish", "transpose", "transpose"]),
    ("a sigmoid of x times x (SiLU)",
     [helper.make_node("Sigmoid", ["c"], ["g"]),
      helper.make_node("Mul", ["g", "c"], ["y"])], [], ["conv", "swish", "transpose", "transpose"]),
    ("no SiLU when the sigmoid is read twice",
     [helper.make_node("Sigmoid", ["c"], ["g"]),
      helper.make_node("Mul", ["c", "g"], ["y"])], ["g"],
     ["conv", "mul", "sigmoid"] + ["transpose"] * 3),
    ("nothing fused into a value that is read twice",
     [helper.make_node("Relu", ["c"], ["y"])], ["c"], ["conv", "relu"] + ["transpose"] * 3),
    ("nor into one the model outputs",
     [helper.make_node("BatchNormalization", ["c", "scale", "bias", "mean", "var"], ["y"])],
     [], ["add", "conv", "mul", "transpose", "transpose"]),
]


@pytest.mark.parametrize("case,tail,extra,left", FUSIONS, ids=[f[0] for f in FUSIONS])
def test_fusions_keep_the_numbers(tmp_path: Any, case: str, tail: List[Any],
                                  extra: Sequence[str], left: List[str]) -> None:
    m = conv_chain(tail, extra)
    run_onnx(tmp_path, m, {"x": rand(1, 3, 5, 5)})
    assert ops_of(se.load_onnx(write(tmp_path, m))) == left


def test_transposes_of_a_channels_last_model_cancel(tmp_path: Any) -> None:
    """A model written for NHWC inputs (a transpose into NCHW before its
    convolution and one back after): both compose with the layout's into
    no transpose at all."""
    nodes = [helper.make_node("Transpose", ["x"], ["t"], perm=[0, 3, 1, 2]),
             helper.make_node("Conv", ["t", "w"], ["c"], pads=[1, 1, 1, 1]),
             helper.make_node("Transpose", ["c"], ["y"], perm=[0, 2, 3, 1])]
    m = model(nodes, {"x": (1, 6, 7, 3)}, {"y": (1, 6, 7, 4)}, {"w": rand(4, 3, 3, 3)})
    run_onnx(tmp_path, m, {"x": rand(1, 6, 7, 3)})
    assert ops_of(se.load_onnx(write(tmp_path, m))) == ["conv", "reshape", "reshape"]


def test_min_and_product_reductions_and_squeeze(tmp_path: Any) -> None:
    x = rand(2, 1, 3, 4, low=0.5, high=1.5)
    nodes = [helper.make_node("ReduceMin", ["x"], ["mn"], axes=[-1], keepdims=1),
             helper.make_node("ReduceProd", ["x"], ["pr"], axes=[0, 2], keepdims=0),
             helper.make_node("Squeeze", ["x", "axes"], ["sq"]),
             helper.make_node("Unsqueeze", ["sq", "where"], ["un"])]
    outs = {"mn": (2, 1, 3, 1), "pr": (1, 4), "sq": (2, 3, 4), "un": (2, 3, 1, 4)}
    inits = {"axes": np.array([-3], np.int64), "where": np.array([-2], np.int64)}
    got = run_onnx(tmp_path, model(nodes, {"x": x.shape}, outs, inits, opset=13), {"x": x})
    close(got["pr"], x.prod(axis=(0, 2)))
    close(got["un"], x.reshape(2, 3, 1, 4))


def test_a_constant_too_large_to_fold_is_refused_by_name(tmp_path: Any) -> None:
    big = numpy_helper.from_array(np.array([1.0], np.float32))
    nodes = [helper.make_node("ConstantOfShape", ["shape"], ["big"], name="fill", value=big),
             helper.make_node("Add", ["x", "big"], ["y"])]
    m = model(nodes, {"x": [1, 1]}, {"y": [1 << 20, 1 << 20]},
              {"shape": np.array([1 << 20, 1 << 20], np.int64)}, opset=13)
    message = import_error(write(tmp_path, m))
    assert "node 'fill' (ConstantOfShape): reads constants only, but its result is not" \
        " computed at import (over 16,777,216 elements" in message


@pytest.mark.parametrize("k,s,pads,ceil,out", [
    (3, 2, [1, 1, 1, 1], 0, 4), (3, 2, [1, 0, 1, 0], 1, 5), (2, 1, [1, 1, 0, 0], 0, 8),
])
def test_average_pooling_that_counts_its_pads(tmp_path: Any, k: int, s: int,
                                              pads: List[int], ceil: int, out: int) -> None:
    x = rand(1, 2, 8, 8)
    attrs = {"kernel_shape": [k, k], "strides": [s, s], "pads": pads, "ceil_mode": ceil,
             "count_include_pad": 1}
    m = model([helper.make_node("AveragePool", ["x"], ["y"], **attrs)], {"x": x.shape},
              {"y": None}, opset=13)
    got = run_onnx(tmp_path, onnx.shape_inference.infer_shapes(m), {"x": x})["y"]
    assert got.shape[2] == out


def test_every_conversion_and_fold_is_named_by_a_test_that_builds_nodes():
    """Each row of the importer's table, and each operation it folds, is
    named by a test here that builds ONNX nodes: a new row comes with its
    test, or this fails naming it."""
    listed = subprocess.run([os.path.join(TOOLS, "snx-import"), "--list-ops"],
                            capture_output=True, text=True, check=True).stdout
    rows, folds = set(), set()
    for line in listed.splitlines():
        if line.startswith("Computed at import"):
            folds = {op.strip() for op in line.split(":", 1)[1].split(",")}
        elif line and not line.startswith("Fused"):
            rows.add(line.split()[0])
    assert len(rows) > 40 and "Shape" in folds
    named = set()
    for path in pathlib.Path(__file__).parent.glob("test_*.py"):
        text = path.read_text()
        if "make_node" in text:
            named |= set(re.findall(r"[\"']([A-Z][A-Za-z0-9]+)[\"']", text))
    assert sorted((rows | folds) - named) == []
