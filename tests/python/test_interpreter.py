"""The reference interpreter against NumPy formulas written here, one table
of cases per family of layer types, and its refusals."""
import os
import subprocess
from typing import Any, Dict, List, Optional, Sequence, Tuple

import networkx as nx
import numpy as np
import pytest

import sarnic_exporter as se

EXAMPLES = os.environ["SARNIC_EXAMPLES_DIR"]
SNX_EXPORT = os.environ["SNX_EXPORT"]
SNX_RUN = os.path.join(os.path.dirname(SNX_EXPORT), "snx-run")
RNG = np.random.default_rng(7)


def rand(*shape: int, low: float = -1.0, high: float = 1.0) -> np.ndarray:
    return RNG.uniform(low, high, size=shape).astype(np.float32)


def run_node(op: str, attrs: Dict[str, Any], inputs: Dict[str, np.ndarray],
             consts: Optional[Dict[str, np.ndarray]] = None,
             out_shape: Optional[Sequence[int]] = None,
             extra: Optional[List[Tuple[str, Dict[str, Any]]]] = None) -> np.ndarray:
    """Exports a graph of the model inputs, the constants and one node `y`
    (after the `extra` nodes), runs it in the arena and with separate
    buffers (which must agree bit for bit) and returns y."""
    g = nx.DiGraph()
    consts = consts or {}
    for name, a in inputs.items():
        g.add_node(name, op="external", output_shape=list(a.shape), datatype="float32")
    for name, a in consts.items():
        g.add_node(name, op="constant", output_shape=list(a.shape))
    for name, node in (extra or []):
        g.add_node(name, **node)
    g.add_node("y", op=op, output_shape=list(out_shape or []), **attrs)
    names = set(inputs) | set(consts) | {n for n, _ in extra or []}
    for node, data in list(g.nodes(data=True)):
        for key, value in data.items():
            refs = value if isinstance(value, list) else [value]
            for ref in refs:
                if isinstance(ref, str) and ref in names and ref != node and key != "op":
                    g.add_edge(ref, node)
    model = se.SarnicExporter(se.Graph(g, list(inputs), ["y"], dict(consts)), "t").run()
    assert se.verify_model(model) == []
    interp = se.Interpreter(model)
    arena = interp.run(inputs)["y"]
    separate = interp.run(inputs, separate_buffers=True)["y"]
    assert arena.tobytes() == separate.tobytes()
    return arena


def close(got: np.ndarray, want: np.ndarray) -> None:
    assert got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5)


def sigmoid(x: np.ndarray) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-x))


UNARY = [
    ("abs", {}, np.abs),
    ("exp", {}, np.exp),
    ("log", {}, lambda x: np.log(x + 2.0)),
    ("sqrt", {}, lambda x: np.sqrt(x + 2.0)),
    ("rsqrt", {"epsilon": 0.5}, lambda x: 1.0 / np.sqrt(x + 2.0 + 0.5)),
    ("relu", {}, lambda x: np.maximum(x, 0)),
    ("relu6", {}, lambda x: np.clip(x * 8, 0, 6)),
    ("sigmoid", {}, sigmoid),
    ("tanh", {}, np.tanh),
    ("leaky_relu", {"alpha": 0.1}, lambda x: np.where(x < 0, 0.1 * x, x)),
    ("swish", {"beta": 1.5, "hard": 0}, lambda x: x * sigmoid(1.5 * x)),
    ("swish", {"beta": 1.0, "hard": 1}, lambda x: x * np.clip(x + 3, 0, 6) / 6),
]


@pytest.mark.parametrize("op,attrs,formula", UNARY, ids=[f"{u[0]}{i}" for i, u in enumerate(UNARY)])
def test_unary(op: str, attrs: Dict[str, Any], formula: Any) -> None:
    x = rand(2, 3, 5)
    shifted = {"log": 2.0, "sqrt": 2.0, "rsqrt": 2.0}.get(op, 0.0)
    scaled = 8.0 if op == "relu6" else 1.0
    got = run_node(op, dict(x="x", **attrs), {"x": x * scaled + shifted}, out_shape=x.shape)
    close(got, formula(x).astype(np.float32))


BINARY = [
    ("add", np.add, (2, 3, 4), (4,)),
    ("sub", np.subtract, (2, 3, 4), (2, 1, 4)),
    ("mul", np.multiply, (2, 1, 4), (3, 1)),
    ("div", np.divide, (3, 4), (1,)),
    ("pow", np.power, (2, 3), (2, 3)),
]


@pytest.mark.parametrize("op,formula,sa,sb", BINARY, ids=[b[0] for b in BINARY])
def test_binary_broadcasts_as_numpy(op: str, formula: Any, sa: Tuple[int, ...],
                                    sb: Tuple[int, ...]) -> None:
    a, b = rand(*sa, low=0.5, high=2.0), rand(*sb, low=0.5, high=2.0)
    want = formula(a, b)
    close(run_node(op, {"x": "a", "y": "b"}, {"a": a, "b": b}, out_shape=want.shape), want)


def test_prelu_takes_constant_slopes() -> None:
    x, s = rand(1, 4, 4, 3), rand(3)
    got = run_node("prelu", {"x": "x", "scales": "s"}, {"x": x}, {"s": s}, x.shape)
    close(got, np.where(x < 0, s * x, x))


def conv_ref(x: np.ndarray, w: np.ndarray, b: Optional[np.ndarray], stride: Sequence[int],
             dil: Sequence[int], head: Sequence[int], tail: Sequence[int],
             groups: int) -> np.ndarray:
    xp = np.pad(x, [(0, 0), (head[1], tail[1]), (head[2], tail[2]), (0, 0)])
    n, h, w_, _ = xp.shape
    kh, kw, cg, co = w.shape
    oh = (h - dil[0] * (kh - 1) - 1) // stride[0] + 1
    ow = (w_ - dil[1] * (kw - 1) - 1) // stride[1] + 1
    out = np.zeros((n, oh, ow, co), np.float64)
    og = co // groups
    for g in range(groups):
        for i in range(kh):
            for j in range(kw):
                y0, x0 = i * dil[0], j * dil[1]
                patch = xp[:, y0:y0 + stride[0] * (oh - 1) + 1:stride[0],
                           x0:x0 + stride[1] * (ow - 1) + 1:stride[1], g * cg:(g + 1) * cg]
                out[..., g * og:(g + 1) * og] += patch @ w[i, j, :, g * og:(g + 1) * og]
    return (out + (b if b is not None else 0)).astype(np.float32)


CONVS = [  # input, filter, stride, dilation, pads (head, tail), groups, bias, activation
    ((1, 6, 6, 3), (3, 3, 3, 4), (1, 1), (1, 1), None, 1, True, "linear"),
    ((2, 7, 8, 3), (3, 3, 3, 5), (2, 2), (1, 1), ([0, 1, 1, 0], [0, 1, 1, 0]), 1, True, "relu"),
    ((1, 9, 9, 2), (3, 3, 2, 2), (1, 1), (2, 2), ([0, 2, 1, 0], [0, 0, 2, 0]), 1, False, "linear"),
    ((1, 5, 5, 4), (3, 3, 2, 6), (1, 1), (1, 1), ([0, 1, 1, 0], [0, 1, 1, 0]), 2, True, "relu6"),
    ((1, 8, 8, 5), (3, 3, 1, 5), (2, 2), (1, 1), ([0, 1, 1, 0], [0, 1, 1, 0]), 5, True, "linear"),
    ((1, 4, 6, 8), (1, 1, 8, 3), (1, 2), (1, 1), None, 1, True, "tanh"),
]


@pytest.mark.parametrize("case", CONVS, ids=[f"conv{i}" for i in range(len(CONVS))])
def test_conv(case: Any) -> None:
    xs, ws, stride, dil, pads, groups, bias, act = case
    x, w, b = rand(*xs), rand(*ws), rand(ws[3])
    head, tail = pads or ([0] * 4, [0] * 4)
    want = conv_ref(x, w, b if bias else None, stride, dil, head, tail, groups)
    want = {"linear": want, "relu": np.maximum(want, 0), "relu6": np.clip(want, 0, 6),
            "tanh": np.tanh(want)}[act]
    attrs: Dict[str, Any] = dict(input="x", filter="w", stride=list(stride), dilation=list(dil),
                                 groups=groups, activation=act)
    consts = {"w": w}
    if bias:
        attrs["bias"] = "b"
        consts["b"] = b
    if pads:
        attrs.update(head=head, tail=tail)
    close(run_node("conv", attrs, {"x": x}, consts, want.shape), want)


def test_conv_shape_disagreeing_with_the_stored_one_is_refused() -> None:
    x, w = rand(1, 6, 6, 3), rand(3, 3, 3, 4)
    with pytest.raises(se.ExportValueError, match=r"layer 'y' \(conv2d\).*\[1, 4, 4, 4\].*\[1, 6, 6, 4\]"):
        run_node("conv", dict(input="x", filter="w", stride=[1, 1], dilation=[1, 1], groups=1),
                 {"x": x}, {"w": w}, (1, 6, 6, 4))


@pytest.mark.parametrize("stride,head,out_hw", [(2, 0, 7), (2, 1, 6), (1, 1, 4), (3, 0, 9)])
def test_transpose_conv(stride: int, head: int, out_hw: int) -> None:
    x, w, b = rand(1, 3, 3, 4), rand(3, 3, 2, 4), rand(2)
    full = np.zeros((1, (3 - 1) * stride + 3, (3 - 1) * stride + 3, 2), np.float64)
    for i in range(3):
        for j in range(3):
            full[:, i * stride:i * stride + 3, j * stride:j * stride + 3, :] += np.einsum(
                "nc,hwoc->nhwo", x[:, i, j, :], w)
    want = (full[:, head:head + out_hw, head:head + out_hw, :] + b).astype(np.float32)
    attrs = dict(input="x", filter="w", bias="b", stride=[stride, stride],
                 head=[0, head, head, 0], tail=[0, head, head, 0])
    close(run_node("transpose_conv", attrs, {"x": x}, {"w": w, "b": b}, want.shape), want)


def pool_ref(x: np.ndarray, k: int, s: int, head: int, tail: int, average: bool) -> np.ndarray:
    n, h, w, c = x.shape
    oh, ow = (h + head + tail - k) // s + 1, (w + head + tail - k) // s + 1
    out = np.zeros((n, oh, ow, c), np.float32)
    for i in range(oh):
        for j in range(ow):
            y0, x0 = i * s - head, j * s - head
            win = x[:, max(y0, 0):min(y0 + k, h), max(x0, 0):min(x0 + k, w), :]
            out[:, i, j, :] = win.mean(axis=(1, 2)) if average else win.max(axis=(1, 2))
    return out


@pytest.mark.parametrize("op", ["max_pool", "avg_pool"])
@pytest.mark.parametrize("k,s,head,tail", [(2, 2, 0, 0), (3, 2, 1, 1), (3, 1, 1, 1), (3, 3, 0, 2)])
def test_pool_counts_unpadded_elements(op: str, k: int, s: int, head: int, tail: int) -> None:
    x = rand(2, 7, 7, 3)
    want = pool_ref(x, k, s, head, tail, op == "avg_pool")
    attrs: Dict[str, Any] = dict(input="x", size=[k, k], stride=[s, s])
    if head or tail:
        attrs.update(head=[0, head, head, 0], tail=[0, tail, tail, 0])
    close(run_node(op, attrs, {"x": x}, out_shape=want.shape), want)


@pytest.mark.parametrize("op", ["dense", "linear"])
def test_dense(op: str) -> None:
    a, b, bias = rand(2, 3, 5), rand(5, 4), rand(4)
    want = np.maximum(a @ b + bias, 0)
    got = run_node(op, dict(A="a", B="b", bias="c", activation="relu"), {"a": a},
                   {"b": b, "c": bias}, want.shape)
    close(got, want)


@pytest.mark.parametrize("ta,tb,sa,sb", [
    (False, False, (2, 3, 4), (4, 5)),
    (True, False, (4, 3), (4, 5)),
    (False, True, (2, 1, 3, 4), (3, 5, 4)),
    (True, True, (4, 3), (5, 4)),
])
def test_matmul_transposes_and_broadcasts(ta: bool, tb: bool, sa: Tuple[int, ...],
                                          sb: Tuple[int, ...]) -> None:
    a, b = rand(*sa), rand(*sb)
    want = np.matmul(np.swapaxes(a, -1, -2) if ta else a, np.swapaxes(b, -1, -2) if tb else b)
    got = run_node("matmul", dict(A="a", B="b", transposeA=str(ta), transposeB=str(tb)),
                   {"a": a, "b": b}, out_shape=want.shape)
    close(got, want)


def test_batch_normalization_over_the_last_axis() -> None:
    x = rand(1, 4, 4, 3)
    mean, var, off, scale = rand(3), rand(3, low=0.1, high=2.0), rand(3), rand(3)
    eps = np.array([1e-3], np.float32)
    want = (x - mean) / np.sqrt(var + eps) * scale + off
    attrs = dict(input="x", mean="m", variance="v", offset="o", scale="s", epsilon="e")
    got = run_node("batch_normalization", attrs, {"x": x},
                   {"m": mean, "v": var, "o": off, "s": scale, "e": eps}, x.shape)
    close(got, want)


def softmax_ref(x: np.ndarray, axis: int) -> np.ndarray:
    e = np.exp(x - x.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


LAYOUT = [
    ("softmax", lambda x: dict(x="x", axes=[-1]), lambda x: softmax_ref(x, -1)),
    ("softmax", lambda x: dict(x="x", axes=[1]), lambda x: softmax_ref(x, 1)),
    ("sum_reduce", lambda x: dict(input="x", axes=[2, 0]), lambda x: x.sum(axis=(0, 2))),
    ("mean_reduce", lambda x: dict(input="x", axes=[1]), lambda x: x.mean(axis=1)),
    ("max_reduce", lambda x: dict(input="x", axes=[-1]), lambda x: x.max(axis=-1)),
    ("min_reduce", lambda x: dict(input="x", axes=[0, 1]), lambda x: x.min(axis=(0, 1))),
    ("prod_reduce", lambda x: dict(input="x", axes=[2]), lambda x: x.prod(axis=2)),
    ("transpose", lambda x: dict(input="x", axes=[2, 0, 1]), lambda x: x.transpose(2, 0, 1)),
    ("slice", lambda x: dict(input="x", axes=[0, 2], begin=[1, -1], end=[3, 0], strides=[1, -2]),
     lambda x: x[1:3, :, -1:0:-2]),
    ("slice", lambda x: dict(input="x", axes=[1], begin=[-2], end=[10]), lambda x: x[:, -2:10]),
    ("pad", lambda x: dict(input="x", head=[1, 0, 2], tail=[0, 2, 1], value=0.5),
     lambda x: np.pad(x, [(1, 0), (0, 2), (2, 1)], constant_values=0.5)),
    ("reshape", lambda x: dict(input="x"), lambda x: x.reshape(4, 15)),
]


@pytest.mark.parametrize("op,attrs,formula", LAYOUT, ids=[f"{c[0]}{i}" for i, c in enumerate(LAYOUT)])
def test_layout_and_axes(op: str, attrs: Any, formula: Any) -> None:
    x = rand(3, 4, 5, low=0.5, high=1.5)
    want = formula(x)
    close(run_node(op, attrs(x), {"x": x}, out_shape=want.shape), want)


@pytest.mark.parametrize("axis", [0, 1, -1])
def test_concat(axis: int) -> None:
    a, b = rand(2, 3, 4), rand(2, 3, 4)
    want = np.concatenate([a, b, a], axis=axis)
    got = run_node("concat", dict(values=["a", "b", "a"], axis=axis), {"a": a, "b": b},
                   out_shape=want.shape)
    close(got, want)


def resize_ref(x: np.ndarray, oh: int, ow: int, nearest: bool, align: bool) -> np.ndarray:
    n, h, w, c = x.shape
    out = np.zeros((n, oh, ow, c), np.float32)

    def axis(o: int, size: int, osize: int) -> Tuple[int, int, float]:
        scale = (size - 1) / (osize - 1) if align and osize > 1 else size / osize
        src = o * scale
        if nearest:
            i = min(int(np.floor(src + 0.5) if align else np.floor(src)), size - 1)
            return i, i, 0.0
        lo = int(np.floor(src))
        return min(lo, size - 1), min(int(np.ceil(src)), size - 1), src - lo

    for i in range(oh):
        y0, y1, fy = axis(i, h, oh)
        for j in range(ow):
            x0, x1, fx = axis(j, w, ow)
            top = x[:, y0, x0] + (x[:, y0, x1] - x[:, y0, x0]) * fx
            bottom = x[:, y1, x0] + (x[:, y1, x1] - x[:, y1, x0]) * fx
            out[:, i, j] = top + (bottom - top) * fy
    return out


@pytest.mark.parametrize("mode,align", [(0, False), (1, False), (1, True), (0, True)])
def test_resize(mode: int, align: bool) -> None:
    x = rand(1, 3, 4, 2)
    want = resize_ref(x, 6, 7, mode == 0, align)
    attrs = dict(input="x", mode=mode, align_corners=align, half_pixel_centers=False)
    close(run_node("resize", attrs, {"x": x}, out_shape=want.shape), want)


def test_quant_then_dequant() -> None:
    x = rand(2, 6, low=-4.0, high=4.0)
    scale, zero = 0.05, 3
    q = np.clip(np.round(x / scale) + zero, -128, 127)
    qparams = dict(quant_scale=np.array([scale], np.float32), zero_point=np.array([zero], np.int32))
    quant = ("q", dict(op="quant", x="x", output_shape=[2, 6], datatype="int8", **qparams))
    got = run_node("dequant", dict(x="q", **qparams), {"x": x},
                   out_shape=x.shape, extra=[quant])
    close(got, (scale * (q - zero)).astype(np.float32))


def test_gru_step() -> None:
    n, i, h = 2, 3, 4
    x, state = rand(n, i), rand(n, h)
    w_ir, b_ir, w_h, b_wh, r_h, b_rh = (rand(i + h, 2 * h), rand(2 * h), rand(i, h), rand(h),
                                        rand(h, h), rand(h))
    gates = sigmoid(np.concatenate([x, state], 1) @ w_ir + b_ir)
    r, u = gates[:, :h], gates[:, h:]
    c = np.tanh(x @ w_h + b_wh + r * (state @ r_h + b_rh))
    want = u * state + (1 - u) * c
    consts = dict(w_ir=w_ir, b_ir=b_ir, w_h=w_h, b_wh=b_wh, r_h=r_h, b_rh=b_rh)
    attrs = dict(input="x", h="s", **{k: k for k in consts})
    close(run_node("cudnn_gru", attrs, {"x": x, "s": state}, consts, (n, h)), want)


def test_the_example_runs_and_its_probabilities_sum_to_one(tmp_path: Any) -> None:
    model = se.SarnicExporter(se.load_graph(os.path.join(EXAMPLES, "mobilenet/mobilenet.json")),
                              "mobilenet").run()
    interp = se.Interpreter(model)
    assert interp.inputs == [se.TensorSpec("image", (1, 64, 64, 3), "float32")]
    image = rand(1, 64, 64, 3, low=0.0, high=1.0)
    probs = interp.run({"image": image})["probs"]
    assert probs.shape == (1, 10) and abs(float(probs.sum()) - 1.0) < 1e-5
    layers = interp.run({"image": image}, all_layers=True)
    assert np.array_equal(layers["probs"], probs) and len(layers) > 50
    # The command line computes the same bytes.
    path, npy = tmp_path / "m.snx", tmp_path / "image.npy"
    path.write_bytes(model)
    np.save(npy, image)
    out = subprocess.run([SNX_RUN, str(path), "--input", f"image={npy}", "-o", str(tmp_path)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("probs float32 [1, 10]:")
    assert np.load(tmp_path / "probs.npy").tobytes() == probs.tobytes()
    # One .npz holding the inputs, stored or compressed, does the same.
    for save in (np.savez, np.savez_compressed):
        save(tmp_path / "inputs.npz", image=image)
        out = subprocess.run([SNX_RUN, str(path), "--input", str(tmp_path / "inputs.npz")],
                             capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith("probs float32 [1, 10]:")


def test_bad_inputs_are_one_error_line_each(tmp_path: Any) -> None:
    model = se.SarnicExporter(se.load_graph(os.path.join(EXAMPLES, "mobilenet/mobilenet.json")),
                              "mobilenet").run()
    path = tmp_path / "m.snx"
    path.write_bytes(model)
    np.save(tmp_path / "small.npy", rand(1, 32, 32, 3))
    np.save(tmp_path / "ints.npy", np.zeros((1, 64, 64, 3), np.int32))
    (tmp_path / "junk.npy").write_bytes(b"\x93NUMPY\x01\x00\xff\x00{'descr'")
    np.savez(tmp_path / "small.npz", image=rand(1, 32, 32, 3))
    header = b"{'descr': '|h1', 'fortran_order': False, 'shape': (3, 2), }".ljust(117) + b"\n"
    (tmp_path / "odd.npy").write_bytes(b"\x93NUMPY\x01\x00" + bytes([len(header), 0]) + header
                                       + bytes(6))
    import zipfile
    with zipfile.ZipFile(tmp_path / "both.npz", "w") as z:
        z.write(tmp_path / "small.npy", "image.npy")
        z.writestr("junk.npy.txt", b"x")
    cases = [
        ([], "input 'image' (float32 [1, 64, 64, 3]) is not given"),
        ([f"image={tmp_path / 'small.npy'}"], "is float32 [1, 32, 32, 3] but the model takes"),
        ([f"image={tmp_path / 'ints.npy'}"], "is int32 [1, 64, 64, 3]"),
        ([f"image={tmp_path / 'small.npy'}", f"label={tmp_path / 'small.npy'}"],
         "the model has no input 'label'"),
        ([f"image={tmp_path / 'junk.npy'}"], "header runs past its end"),
        ([f"image={tmp_path / 'none.npy'}"], "none.npy"),
        ([f"image={tmp_path / 'odd.npy'}"], "header is not one NumPy writes"),
        ([str(tmp_path / "both.npz")], "'junk.npy.txt', which is no .npy file"),
        ([str(tmp_path / "small.npz")], "is float32 [1, 32, 32, 3] but the model takes"),
    ]
    for args, message in cases:
        out = subprocess.run([SNX_RUN, str(path)] + sum((["--input", a] for a in args), []),
                             capture_output=True, text=True)
        assert out.returncode == 1 and message in out.stderr, (args, out.stderr)
        assert all(line.startswith("error: ") for line in out.stderr.splitlines())
    with pytest.raises(se.ExportValueError, match="not given"):
        se.Interpreter(model).run({})


def test_types_without_declared_arithmetic_are_refused_by_name() -> None:
    for op in ["cos", "elu"]:
        with pytest.raises(se.ExportValueError, match=r"layer 'y' \(none\): cannot be run"):
            run_node(op, {"x": "x"}, {"x": rand(2, 2)}, out_shape=(2, 2))


def wrong_conv_graph() -> se.Graph:
    g = nx.DiGraph()
    g.add_node("x", op="external", output_shape=[1, 8, 8, 3], datatype="float32")
    g.add_node("w", op="constant", output_shape=[3, 3, 3, 7])
    g.add_node("y", op="conv", input="x", filter="w", stride=[1, 1], dilation=[1, 1], groups=1,
               output_shape=[1, 99, 99, 7])
    g.add_edge("x", "y")
    g.add_edge("w", "y")
    return se.Graph(g, ["x"], ["y"], {"w": rand(3, 3, 3, 7)})


def test_check_and_strict_find_a_wrong_output_shape(capsys: Any) -> None:
    expected = ("node 'y' attribute 'output_shape': is [1, 99, 99, 7] but its inputs and "
                "attributes give [1, 6, 6, 7] (layer type conv2d)")
    findings = se.check_graph(wrong_conv_graph())
    assert [(f.node, f.attribute, f.severity) for f in findings] == [
        ("y", "output_shape", "warning")]
    for kwargs in [{"check": True}, {"strict": True}]:
        with pytest.raises(se.ExportValueError, match="the check found 1 problem"):
            se.SarnicExporter(wrong_conv_graph(), "m").run(**kwargs)
        assert capsys.readouterr().err == f"warning: {expected}\n"
    # Without asking, the export goes on and its model is refused when run.
    model = se.SarnicExporter(wrong_conv_graph(), "m").run()
    with pytest.raises(se.ExportValueError, match=r"computes \[1, 6, 6, 7\]"):
        se.Interpreter(model)
    sound = wrong_conv_graph()
    sound.qm_nx_graph.nodes["y"]["output_shape"] = [1, 6, 6, 7]
    assert se.SarnicExporter(sound, "m").run(check=True) == b""
    assert se.SarnicExporter(sound, "m").run(strict=True)[4:8] == b"SNXF"


def test_per_axis_quantization() -> None:
    x = rand(2, 3, 4, low=-2.0, high=2.0)
    scales = np.array([0.01, 0.02, 0.05], np.float32)
    zeros = np.array([0, 3, -2], np.int32)
    q = np.clip(np.round(x / scales[None, :, None]) + zeros[None, :, None], -128, 127)
    params = dict(quant_scale=scales, zero_point=zeros, quant_axis=1)
    quant = ("q", dict(op="quant", x="x", output_shape=[2, 3, 4], datatype="int8", **params))
    got = run_node("dequant", dict(x="q", **params), {"x": x}, out_shape=x.shape, extra=[quant])
    want = scales[None, :, None] * (q - zeros[None, :, None])
    close(got, want.astype(np.float32))


def test_a_copy_layer_writes_into_its_variable() -> None:
    g = nx.DiGraph()
    g.add_node("x", op="external", output_shape=[2, 3], datatype="float32")
    g.add_node("state", op="constant", output_shape=[2, 3])
    g.add_node("r", op="relu", x="x", output_shape=[2, 3])
    g.add_node("y", op="add", x="r", y="state", output_shape=[2, 3])
    for a, b in [("x", "r"), ("r", "y"), ("state", "y")]:
        g.add_edge(a, b)
    state = rand(2, 3)
    model = se.SarnicExporter(se.Graph(g, ["x"], ["y"], {"state": state}), "m",
                              copy_layers=[("r", "state")]).run()
    interp = se.Interpreter(model)
    x = rand(2, 3)
    layers = interp.run({"x": x}, all_layers=True)
    # The copy's target becomes a variable that starts at zero.
    close(layers["state"], np.zeros_like(state))
    close(layers["y"], np.maximum(x, 0))
    # The copy, after y, leaves the variable holding relu(x).
    copies = [name for name in layers if name not in ("x", "state", "r", "y")]
    assert len(copies) == 1
    close(layers[copies[0]], np.maximum(x, 0))
    assert interp.run({"x": x})["y"].tobytes() == interp.run(
        {"x": x}, separate_buffers=True)["y"].tobytes()


def test_the_svm_head_is_refused_by_name(tmp_path: Any) -> None:
    k, l_, d = 3, 4, 10
    p = k * (k - 1) // 2
    (tmp_path / "kld.json").write_text(f'{{"K": {k}, "L": {l_}, "D": {d}}}')
    sizes = dict(alpha=(k - 1) * l_, a=p, b=p, sv=l_ * d, nsv=k, rho=p, label=k)
    for key, n in sizes.items():
        rand(n).tofile(tmp_path / f"{key}.bin")
    g = nx.DiGraph()
    g.add_node("x", op="external", output_shape=[1, d], datatype="float32")
    g.add_node("output", op="relu", x="x", output_shape=[1, d])
    g.add_edge("x", "output")
    model = se.SarnicExporter(se.Graph(g, ["x"], ["output"]), "m", svm=str(tmp_path)).run()
    with pytest.raises(se.ExportValueError,
                       match=r"layer 'svm_kernel' \(svm_update_kernel\): cannot be run"):
        se.Interpreter(model)
