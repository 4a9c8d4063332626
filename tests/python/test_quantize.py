"""Int8 quantisation end to end: the digits classifier of examples/digits
(trained by scripts/make_digits_model.py on scikit-learn's 8x8 digits)
quantised by the tools and by quantize(), its accuracy and sizes against the
float model, and every integer layer recomputed here, independently, from
the rules docs/semantics.md declares, bit for bit against snx-run's."""
import json
import math
import os
import subprocess
from typing import Any, Dict, List, Tuple

import numpy as np
import pytest

import sarnic_exporter as se
from test_faults import refused, tool

DIGITS = os.path.join(os.environ["SARNIC_EXAMPLES_DIR"], "digits")
ONNX = os.path.join(DIGITS, "digits.onnx")
CALIB = os.path.join(DIGITS, "calibration.npz")
VALID = os.path.join(DIGITS, "validation.npz")


def validation() -> Tuple[np.ndarray, np.ndarray]:
    with np.load(VALID) as v:
        images = v["image"]
    return images, np.load(os.path.join(DIGITS, "validation_labels.npy"))


def predictions(model: bytes, images: np.ndarray) -> np.ndarray:
    it = se.Interpreter(model)
    spec = it.inputs[0]
    out = []
    for img in images:
        x = img[None]
        if spec.dtype == "int8":
            raise AssertionError("float io expected")
        out.append(int(np.argmax(it.run({spec.name: x})[it.outputs[0].name])))
    return np.array(out)


@pytest.fixture(scope="module")
def exported(tmp_path_factory: Any) -> Dict[str, Any]:
    d = tmp_path_factory.mktemp("digits")
    paths = {k: str(d / f"{k}.snx") for k in ("float", "int8", "int8io")}
    r = tool("snx-export", ONNX, "-o", paths["float"])
    assert r.returncode == 0, r.stderr
    for key, io in (("int8", "float"), ("int8io", "int8")):
        r = tool("snx-export", ONNX, "--quantize", "int8", "--calibration", CALIB,
                 "--validation", VALID, "--io", io, "-o", paths[key],
                 "--quant-report", str(d / f"{key}.json"))
        assert r.returncode == 0, r.stderr
        assert "top-1 agreement" in r.stdout
    with open(d / "int8.json") as f:
        report = json.load(f)
    return {"paths": paths, "report": report, "dir": d}


def test_the_int8_digits_model_keeps_its_accuracy_and_is_a_quarter_the_size(
        exported: Dict[str, Any]) -> None:
    images, labels = validation()
    with open(exported["paths"]["float"], "rb") as f:
        float_model = f.read()
    with open(exported["paths"]["int8"], "rb") as f:
        int8_model = f.read()
    pf, pq = predictions(float_model, images), predictions(int8_model, images)
    agreement = float(np.mean(pf == pq))
    acc_f, acc_q = float(np.mean(pf == labels)), float(np.mean(pq == labels))
    assert agreement >= 0.99, agreement
    assert abs(acc_f - acc_q) <= 0.01, (acc_f, acc_q)
    assert acc_f > 0.95
    # The report agrees with what was measured here.
    v = [o for o in exported["report"]["outputs"] if o["set"] == "validation"]
    assert v[0]["top1_agreement"] == pytest.approx(agreement)
    assert exported["report"]["validation_samples"] == len(images)
    assert exported["report"]["float_islands"] == []
    assert len(float_model) >= 3.5 * len(int8_model), (len(float_model), len(int8_model))


def planned_blocks(path: str) -> int:
    r = tool("snx-inspect", "--summary", path)
    assert r.returncode == 0, r.stderr
    line = [s for s in r.stdout.splitlines() if s.strip().startswith("arena:")][0]
    # "arena:  2 reserved + 5 planned = 7 blocks, 7168 bytes"
    return int(line.split("+")[1].split("planned")[0])


def test_the_int8_arena_plans_a_quarter_of_the_blocks(exported: Dict[str, Any]) -> None:
    f = planned_blocks(exported["paths"]["float"])
    q = planned_blocks(exported["paths"]["int8io"])
    assert f >= 3.5 * q, (f, q)


# The integer arithmetic as docs/semantics.md declares it, written here
# again from the text, in Python integers.
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


def srdhm(a: int, b: int) -> int:
    if a == b == INT32_MIN:
        return INT32_MAX
    ab = a * b
    nudge = 2**30 if ab >= 0 else 1 - 2**30
    n = ab + nudge
    return int(n / 2**31) if abs(n) < 2**52 else (abs(n) // 2**31) * (1 if n >= 0 else -1)


def rdbpot(x: int, e: int) -> int:
    if e == 0:
        return x
    q, r = divmod(abs(x), 2**e)
    q += 1 if 2 * r >= 2**e else 0
    return q if x >= 0 else -q


def multiplier(real: float) -> Tuple[int, int]:
    f, s = math.frexp(real)
    m = math.floor(f * 2**31 + 0.5)
    if m == 2**31:
        m, s = 2**30, s + 1
    if s < -31:
        return 0, 0
    return m, s


def requantise(x: int, real: float) -> int:
    m, s = multiplier(real)
    x = max(INT32_MIN, min(INT32_MAX, x * 2**max(s, 0)))
    return rdbpot(srdhm(x, m), max(-s, 0))


def round_away(x: float) -> int:
    return int(math.floor(abs(x) + 0.5)) * (1 if x >= 0 else -1)


def params(node: Dict[str, Any]) -> Tuple[np.ndarray, np.ndarray]:
    return (np.asarray(node["quant_scale"], np.float32).reshape(-1),
            np.asarray(node["zero_point"], np.int64).reshape(-1))


def clamp_bounds(node: Dict[str, Any], s_out: float, z_out: int) -> Tuple[int, int]:
    act = node.get("activation", "linear")
    if act == "relu":
        return z_out, 127
    if act == "relu6":
        return z_out, min(127, z_out + round_away(float(np.float32(6) / np.float32(s_out))))
    return -128, 127


def output_of(acc: np.ndarray, in_scale: float, w_scales: np.ndarray, node: Dict[str, Any]
              ) -> np.ndarray:
    s, z = params(node)
    lo, hi = clamp_bounds(node, float(s[0]), int(z[0]))
    flat = acc.reshape(-1, acc.shape[-1])
    out = np.empty(flat.shape, np.int64)
    for c in range(flat.shape[1]):
        real = float(in_scale) * float(w_scales[c if len(w_scales) > 1 else 0]) / float(s[0])
        for i in range(flat.shape[0]):
            v = max(INT32_MIN, min(INT32_MAX, int(flat[i, c])))
            out[i, c] = max(lo, min(hi, requantise(v, real) + int(z[0])))
    return out.reshape(acc.shape)


def hw(v: List[int]) -> Tuple[int, int]:
    """Height and width of a window, stride or dilation: [h, w] or
    [1, h, w, 1]."""
    return (v[1], v[2]) if len(v) == 4 else (v[0], v[1])


def recompute(graph: Any, name: str, layers: Dict[str, np.ndarray]) -> np.ndarray:
    g = graph.qm_nx_graph
    node = g.nodes[name]
    op = node["op"]
    if op in ("reshape",):
        return layers[node["input"]].reshape(node["output_shape"])
    if op == "transpose":
        return np.transpose(layers[node["input"]], node["axes"])
    if op == "max_pool":
        x = layers[node["input"]]
        size, stride = node["size"], node["stride"]
        kh, kw = hw(size)
        sh, sw = hw(stride)
        n, h, w, c = x.shape
        oh, ow = node["output_shape"][1], node["output_shape"][2]
        out = np.empty((n, oh, ow, c), np.int64)
        for y in range(oh):
            for xx in range(ow):
                out[:, y, xx] = x[:, y * sh:y * sh + kh, xx * sw:xx * sw + kw].max(axis=(1, 2))
        return out
    if op == "conv":
        x = layers[node["input"]].astype(np.int64)
        in_s, in_z = params(g.nodes[node["input"]])
        w = graph.tensor_dict[node["filter"]].astype(np.int64)
        w_s, _ = params(g.nodes[node["filter"]])
        b = graph.tensor_dict[node["bias"]].astype(np.int64)
        head = node.get("head", [0, 0, 0, 0])
        tail = node.get("tail", [0, 0, 0, 0])
        stride = hw(node["stride"])
        assert node["groups"] == 1 and hw(node["dilation"]) == (1, 1)
        xp = np.pad(x - int(in_z[0]), ((0, 0), (head[1], tail[1]), (head[2], tail[2]), (0, 0)))
        kh, kw = w.shape[0], w.shape[1]
        oh, ow = node["output_shape"][1], node["output_shape"][2]
        acc = np.zeros((x.shape[0], oh, ow, w.shape[3]), np.int64) + b
        for ky in range(kh):
            for kx in range(kw):
                patch = xp[:, ky:ky + oh * stride[0]:stride[0], kx:kx + ow * stride[1]:stride[1]]
                acc += patch @ w[ky, kx]
        return output_of(acc, float(in_s[0]), w_s, node)
    if op == "dense":
        a = layers[node["A"]].astype(np.int64)
        in_s, in_z = params(g.nodes[node["A"]])
        bm = graph.tensor_dict[node["B"]].astype(np.int64)
        w_s, _ = params(g.nodes[node["B"]])
        acc = (a - int(in_z[0])) @ bm + graph.tensor_dict[node["bias"]].astype(np.int64)
        return output_of(acc, float(in_s[0]), w_s, node)
    raise AssertionError(f"no recomputation for {op}")


def test_every_integer_layer_is_its_declared_rule_bit_for_bit(tmp_path: Any) -> None:
    gpath = tmp_path / "q.json"
    r = tool("snx-import", ONNX, "--quantize", "int8", "--calibration", CALIB,
             "--io", "int8", "-o", gpath)
    assert r.returncode == 0, r.stderr
    graph = se.load_graph(gpath)
    model = se.SarnicExporter(se.load_graph(gpath), "q").run()
    it = se.Interpreter(model)
    images, _ = validation()
    s, z = params(graph.qm_nx_graph.nodes["image"])
    checked = set()
    for img in images[:20]:
        q = np.clip(np.rint(img[None] / s[0]) + z[0], -128, 127).astype(np.int8)
        layers = it.run({"image": q}, all_layers=True)
        for name in layers:
            node = graph.qm_nx_graph.nodes[name]
            if node.get("datatype") != "int8" or node["op"] in ("external", "constant"):
                continue
            want = recompute(graph, name, {k: v.astype(np.int64) for k, v in layers.items()})
            np.testing.assert_array_equal(layers[name].astype(np.int64), want, err_msg=name)
            checked.add(node["op"])
    assert {"conv", "dense", "max_pool"} <= checked


def test_quantize_from_python_gives_the_graph_and_a_typed_report() -> None:
    g = se.load_onnx(ONNX)
    with np.load(CALIB) as c:
        calib = {"image": c["image"][:60]}
    q, report = se.quantize(g, calib, method="percentile", percentile=99.9,
                            keep_float=["m1/nhwc"], validation=VALID)
    assert isinstance(report, se.QuantReport)
    assert report.method == "percentile" and report.calibration_samples == 60
    assert ["m1/nhwc"] in report.float_islands
    assert {o.set for o in report.outputs} == {"calibration", "validation"}
    assert report.as_dict()["flash"]["int8"] < report.as_dict()["flash"]["float"]
    assert "top-1 agreement" in str(report)
    assert q.qm_nx_graph.nodes["m1/nhwc"].get("datatype") is None
    model = se.SarnicExporter(q, "q").run()
    out = se.Interpreter(model).run({"image": calib["image"][:1]})
    assert out["logits"].dtype == np.float32
    # The source graph is unchanged.
    assert "quant_scale" not in g.qm_nx_graph.nodes["logits"]
    with pytest.raises(se.ExportValueError, match="no array for the model's input 'image'"):
        se.quantize(g, {"other": calib["image"]})


def test_the_tools_refuse_bad_quantisation_input_writing_nothing(tmp_path: Any) -> None:
    out = tmp_path / "m.snx"
    r = tool("snx-export", ONNX, "--quantize", "int8", "-o", out)
    assert r.returncode == 2 and "needs --calibration" in r.stderr
    r = tool("snx-export", ONNX, "--calibration", CALIB, "-o", out)
    assert r.returncode == 2 and "applies only with --quantize int8" in r.stderr
    bad = tmp_path / "bad.npz"
    np.savez(bad, image=np.zeros((4, 1, 8, 8), np.float64))
    msg = refused(tool("snx-export", ONNX, "--quantize", "int8", "--calibration", bad,
                       "-o", out))
    assert "holds float64 data" in msg
    nan = tmp_path / "nan.npz"
    x = np.zeros((4, 1, 8, 8), np.float32)
    x[2, 0, 3, 3] = np.nan
    np.savez(nan, image=x)
    assert "NaN in sample 2" in refused(tool("snx-export", ONNX, "--quantize", "int8",
                                             "--calibration", nan, "-o", out))
    assert not out.exists()
    # No output may replace the samples.
    copy = tmp_path / "calib.npz"
    copy.write_bytes(open(CALIB, "rb").read())
    assert "would replace an input file" in refused(tool(
        "snx-export", ONNX, "--quantize", "int8", "--calibration", copy, "-o", copy))
    assert copy.read_bytes() == open(CALIB, "rb").read()
    # Few samples: a warning, and the model is written.
    few = tmp_path / "few.npz"
    np.savez(few, image=np.random.default_rng(0).random((10, 1, 8, 8), np.float32))
    r = tool("snx-export", ONNX, "--quantize", "int8", "--calibration", few, "-o", out)
    assert r.returncode == 0 and "warning: only 10 calibration samples" in r.stderr
    assert out.exists()


def test_the_report_holds_both_models_to_the_budgets(tmp_path: Any) -> None:
    out, report = tmp_path / "m.snx", tmp_path / "r.json"
    r = tool("snx-export", ONNX, "--quantize", "int8", "--calibration", CALIB,
             "--flash-budget", "64K", "--ram-budget", "8K", "-o", out,
             "--quant-report", report)
    assert r.returncode == 0, r.stderr
    assert "flash budget 64.0 KiB: float over, int8 within" in r.stdout
    with open(report) as f:
        doc = json.load(f)
    assert doc["flash"]["budget"] == 65536 and doc["ram"]["budget"] == 8192
    assert doc["flash"]["int8"] <= 65536 < doc["flash"]["float"]
    # Over a budget the int8 model is not written, nor the report.
    out2, report2 = tmp_path / "m2.snx", tmp_path / "r2.json"
    msg = refused(tool("snx-export", ONNX, "--quantize", "int8", "--calibration", CALIB,
                       "--flash-budget", "16K", "-o", out2, "--quant-report", report2))
    assert "flash" in msg and "over the budget" in msg
    assert not out2.exists() and not report2.exists()


def test_nhwc_io_takes_the_calibration_in_the_onnx_models_layout(tmp_path: Any) -> None:
    out = tmp_path / "m.snx"
    r = tool("snx-export", ONNX, "--nhwc-io", "--quantize", "int8", "--calibration", CALIB,
             "--validation", VALID, "-o", out)
    assert r.returncode == 0, r.stderr
    it = se.Interpreter(str(out))
    assert it.inputs[0].shape == (1, 8, 8, 1)
    images, labels = validation()
    right = sum(int(np.argmax(it.run({"image": img.transpose(1, 2, 0)[None]})["logits"])) == lab
                for img, lab in zip(images[:100], labels[:100]))
    assert right >= 95
