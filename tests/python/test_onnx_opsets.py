"""Models of operator sets 18 to 21, which ONNX's checker here does not
know: each changed signature read in its newer form, the operations new in
them decomposed, against ONNX Runtime; what has no older form refused by
name."""
from typing import Any, Dict, List

import numpy as np
import onnx
import pytest
from onnx import helper

import sarnic_exporter as se
from test_onnx import _reference_for_run_onnx, model, rand, run_onnx  # noqa: F401

X = rand(2, 6, 3, 4)


@pytest.mark.parametrize("op", ["ReduceMean", "ReduceL2", "ReduceMax", "ReduceLogSumExp",
                                "ReduceSumSquare"])
@pytest.mark.parametrize("opset", [18, 20])
def test_reductions_with_axes_as_an_input(tmp_path: Any, op: str, opset: int) -> None:
    m = model([helper.make_node(op, ["x", "axes"], ["y"], keepdims=0)], {"x": X.shape},
              {"y": (2, 4)}, inits={"axes": np.array([1, -2], np.int64)}, opset=opset)
    run_onnx(tmp_path, m, {"x": X})


def test_a_reduction_without_axes_reduces_all_or_with_noop_passes_its_input(
        tmp_path: Any) -> None:
    m = model([helper.make_node("ReduceMax", ["x"], ["y"], keepdims=1)], {"x": X.shape},
              {"y": (1, 1, 1, 1)}, opset=18)
    run_onnx(tmp_path, m, {"x": X})
    m = model([helper.make_node("ReduceMean", ["x"], ["y"], noop_with_empty_axes=1)],
              {"x": X.shape}, {"y": X.shape}, opset=18)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(m), "m").run()).run({"x": X})["y"]
    np.testing.assert_array_equal(got, X)


def test_split_into_num_outputs(tmp_path: Any) -> None:
    m = model([helper.make_node("Split", ["x"], ["a", "b", "c"], axis=1, num_outputs=3)],
              {"x": X.shape}, {v: (2, 2, 3, 4) for v in "abc"}, opset=18)
    run_onnx(tmp_path, m, {"x": X})


EDGES = np.array([[-np.inf, -1e4, -88.0, -20.0, -1.0, 0.0, 0.5, 20.0, 88.0, 1e4, np.inf]],
                 np.float32)


@pytest.mark.parametrize("op,attrs,opset", [
    ("Mish", {}, 18),
    ("Gelu", {}, 20),
    ("Gelu", {"approximate": "tanh"}, 20),
])
def test_activations_new_in_these_sets(tmp_path: Any, op: str, attrs: Dict[str, Any],
                                       opset: int) -> None:
    x = rand(2, 3, 4, low=-5.0, high=5.0)
    m = model([helper.make_node(op, ["x"], ["y"], **attrs)], {"x": x.shape}, {"y": x.shape},
              opset=opset)
    run_onnx(tmp_path, m, {"x": x})
    # At the edges: the infinities as ONNX Runtime has them, the rest close.
    m = model([helper.make_node(op, ["x"], ["y"], **attrs)], {"x": EDGES.shape},
              {"y": EDGES.shape}, opset=opset)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(m), "m").run()).run({"x": EDGES})["y"]
    path = tmp_path / "edges.onnx"
    onnx.save(m, str(path))
    want = _reference(path, {"x": EDGES})["y"]
    finite = np.isfinite(want)
    np.testing.assert_array_equal(got[~finite], want[~finite])
    assert np.all(np.abs(got[finite] - want[finite]) <= 1e-4 + 1e-3 * np.abs(want[finite]))


def _reference(path: Any, feeds: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
    from test_onnx import _REFERENCE
    return _REFERENCE[0].run(str(path), feeds)  # type: ignore[no-any-return]


@pytest.mark.parametrize("opset,per", [(18, "group"), (21, "channel")])
def test_group_normalization(tmp_path: Any, opset: int, per: str) -> None:
    groups = 3
    size = groups if per == "group" else X.shape[1]
    m = model([helper.make_node("GroupNormalization", ["x", "s", "b"], ["y"],
                                num_groups=groups, epsilon=1e-3)],
              {"x": X.shape}, {"y": X.shape},
              inits={"s": rand(size, low=0.5, high=1.5), "b": rand(size)}, opset=opset)
    run_onnx(tmp_path, m, {"x": X})


def test_a_network_of_operator_set_21(tmp_path: Any) -> None:
    w = rand(4, 6, 3, 3, low=-0.5, high=0.5)
    nodes = [
        helper.make_node("Pad", ["x", "pads"], ["p"]),
        helper.make_node("Conv", ["p", "w"], ["c"]),
        helper.make_node("Relu", ["c"], ["r"]),
        helper.make_node("Resize", ["r", "", "scales"], ["u"], mode="nearest"),
        helper.make_node("Transpose", ["u"], ["t"], perm=[0, 2, 3, 1]),
        helper.make_node("Reshape", ["t", "shape"], ["f"]),
        helper.make_node("Cast", ["f"], ["g"], to=onnx.TensorProto.FLOAT, saturate=1),
        helper.make_node("Softmax", ["g"], ["y"], axis=-1),
    ]
    inits = {"pads": np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64), "w": w,
             "scales": np.array([1, 1, 2, 2], np.float32), "shape": np.array([2, -1], np.int64)}
    m = model(nodes, {"x": X.shape}, {"y": (2, 4 * 6 * 8)}, inits=inits, opset=21)
    run_onnx(tmp_path, m, {"x": X})


REFUSED: List[Any] = [
    (helper.make_node("Resize", ["x", "", "scales"], ["y"], name="n", antialias=1,
                      mode="linear"), "antialiases"),
    (helper.make_node("Pad", ["x", "pads", "", "axes"], ["y"], name="n"), "some axes only"),
    (helper.make_node("AveragePool", ["x"], ["y"], name="n", kernel_shape=[2, 2],
                      dilations=[2, 2]), "dilations"),
    (helper.make_node("ReduceMean", ["x", "a"], ["y"], name="n"), "axes that the model computes"),
]


@pytest.mark.parametrize("node,message", REFUSED, ids=[r[1] for r in REFUSED])
def test_what_has_no_older_form_is_refused_naming_the_node(node: Any, message: str) -> None:
    inits = {"scales": np.array([1, 1, 2, 2], np.float32), "pads": np.array([1, 1], np.int64),
             "axes": np.array([2], np.int64)}
    inputs: Dict[str, Any] = {"x": X.shape}
    if "a" in node.input:
        inputs["a"] = (1,)
    m = model([node], inputs, {"y": X.shape}, opset=19,
              inits={k: v for k, v in inits.items() if k in node.input})
    m.graph.input[-1].type.tensor_type.elem_type = (
        onnx.TensorProto.INT64 if "a" in node.input else onnx.TensorProto.FLOAT)
    with pytest.raises(se.ExportValueError, match=f"node 'n'.*{message}.*operator set 19"):
        se.load_onnx(m)
