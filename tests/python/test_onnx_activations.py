"""The activations and variadic operations that real networks use beyond
the engine's own layers, each a decomposition checked against ONNX Runtime
on ordinary values and on the edges where a decomposition could lose
exactness (large magnitudes, infinities); Dropout at inference; operator
set imports that no node uses."""
from typing import Any, Dict, List

import numpy as np
import onnx
import pytest
from onnx import helper

import sarnic_exporter as se
from test_onnx import _REFERENCE, _reference_for_run_onnx, close, model, rand, run_onnx  # noqa: F401

X = rand(2, 3, 4, low=-4.0, high=4.0)
EDGES = np.array([[-np.inf, -1e4, -88.0, -20.0, -1e-7, 0.0, 1e-7, 20.0, 88.0, 1e4, np.inf,
                   -0.5]], np.float32)

ACTIVATIONS: List[Any] = [
    ("Elu", {}),
    ("Elu", {"alpha": 0.5}),
    ("Selu", {}),
    ("Selu", {"alpha": 1.5, "gamma": 2.0}),
    ("Softplus", {}),
    ("Softsign", {}),
    ("Erf", {}),
]


@pytest.mark.parametrize("op,attrs", ACTIVATIONS, ids=[f"{a[0]}{i}" for i, a in enumerate(ACTIVATIONS)])
def test_activations_match_onnx_runtime(tmp_path: Any, op: str, attrs: Dict[str, Any]) -> None:
    m = model([helper.make_node(op, ["x"], ["y"], **attrs)], {"x": X.shape}, {"y": X.shape})
    run_onnx(tmp_path, m, {"x": X})


@pytest.mark.parametrize("op,attrs", ACTIVATIONS, ids=[f"{a[0]}{i}" for i, a in enumerate(ACTIVATIONS)])
def test_activations_at_their_edges(tmp_path: Any, op: str, attrs: Dict[str, Any]) -> None:
    m = model([helper.make_node(op, ["x"], ["y"], **attrs)], {"x": EDGES.shape},
              {"y": EDGES.shape})
    path = tmp_path / "m.onnx"
    onnx.save(m, str(path))
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run({"x": EDGES})["y"]
    want = _REFERENCE[0].run(str(path), {"x": EDGES})["y"]
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_array_equal(np.isinf(got), np.isinf(want))
    finite = np.isfinite(want)
    tolerance = 1e-4 + 1e-3 * np.abs(want[finite])
    assert np.all(np.abs(got[finite] - want[finite]) <= tolerance), (got, want)


@pytest.mark.parametrize("op", ["Sum", "Mean", "Max", "Min"])
@pytest.mark.parametrize("count", [1, 3])
def test_variadic_operations_match_onnx_runtime(tmp_path: Any, op: str, count: int) -> None:
    shapes = [(2, 3, 4), (3, 1), (4,)][:count]
    names = [f"x{i}" for i in range(count)]
    m = model([helper.make_node(op, names, ["y"])], dict(zip(names, shapes)), {"y": shapes[0]})
    run_onnx(tmp_path, m, {n: rand(*s) for n, s in zip(names, shapes)})


@pytest.mark.parametrize("slope_shape", [(1,), (3, 1, 1), (1, 3, 1, 1)])
def test_prelu_broadcasts_its_slope_as_onnx_does(tmp_path: Any, slope_shape: Any) -> None:
    slope = rand(*slope_shape, low=0.05, high=0.5)
    m = model([helper.make_node("PRelu", ["x", "s"], ["y"])], {"x": (1, 3, 4, 5)},
              {"y": (1, 3, 4, 5)}, inits={"s": slope})
    run_onnx(tmp_path, m, {"x": rand(1, 3, 4, 5)})


def test_dropout_at_inference_passes_its_input_and_refuses_training(tmp_path: Any) -> None:
    m = model([helper.make_node("Dropout", ["x"], ["y"], seed=1),
               helper.make_node("Relu", ["y"], ["z"])], {"x": X.shape}, {"z": X.shape})
    got = run_onnx(tmp_path, m, {"x": X})["z"]
    close(got, np.maximum(X, 0))
    # Dropout in training mode is random: refused by name.
    g = helper.make_graph(
        [helper.make_node("Dropout", ["x", "r", "t"], ["y"], name="drop")], "g",
        [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, X.shape)],
        [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, X.shape)],
        [onnx.numpy_helper.from_array(np.array(0.5, np.float32), "r"),
         onnx.numpy_helper.from_array(np.array(True), "t")])
    path = tmp_path / "train.onnx"
    onnx.save(helper.make_model(g, opset_imports=[helper.make_opsetid("", 14)]), str(path))
    with pytest.raises(se.ExportValueError, match="node 'drop'.*may train"):
        se.load_onnx(path)
    # Training with a ratio of 0 keeps every element.
    g.initializer[0].CopyFrom(onnx.numpy_helper.from_array(np.array(0.0, np.float32), "r"))
    onnx.save(helper.make_model(g, opset_imports=[helper.make_opsetid("", 14)]), str(path))
    none_dropped = tmp_path / "none_dropped"
    none_dropped.mkdir()
    close(run_onnx(none_dropped, onnx.load(str(path)), {"x": X})["y"], X)
    g.initializer[0].CopyFrom(onnx.numpy_helper.from_array(np.array(0.5, np.float32), "r"))
    # A training mode that is a constant false is inference.
    g.initializer[1].CopyFrom(onnx.numpy_helper.from_array(np.array(False), "t"))
    onnx.save(helper.make_model(g, opset_imports=[helper.make_opsetid("", 14)]), str(path))
    inference = tmp_path / "inference"
    inference.mkdir()
    close(run_onnx(inference, onnx.load(str(path)), {"x": X})["y"], X)


def test_an_unused_operator_set_import_is_no_use_of_it(tmp_path: Any) -> None:
    m = model([helper.make_node("Relu", ["x"], ["y"])], {"x": X.shape}, {"y": X.shape})
    m.opset_import.append(helper.make_opsetid("ai.onnx.ml", 3))
    run_onnx(tmp_path, m, {"x": X})
    # A node of that set is refused by name.
    g = helper.make_graph(
        [helper.make_node("Normalizer", ["x"], ["y"], name="norm", domain="ai.onnx.ml",
                          norm="L2")], "g",
        [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [2, 3])],
        [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [2, 3])])
    used = helper.make_model(g, opset_imports=[helper.make_opsetid("", 14),
                                               helper.make_opsetid("ai.onnx.ml", 3)])
    with pytest.raises(se.ExportValueError,
                       match="node 'norm' \\(Normalizer\\).*operator set 'ai.onnx.ml'"):
        se.load_onnx(used)


@pytest.mark.parametrize("axis,split,opset,outputs", [
    (1, [1, 3, 2], 13, 3),     # channels of NCHW, sizes as an input
    (2, None, 13, 2),          # equal parts
    (-1, [2, 3], 11, 2),       # sizes as an attribute
    (3, [4, 1], 13, 2),        # the last axis
])
def test_split_matches_onnx_runtime(tmp_path: Any, axis: int, split: Any, opset: int,
                                    outputs: int) -> None:
    x = rand(1, 6, 4, 5)
    names = [f"y{i}" for i in range(outputs)]
    inits = {}
    inputs = ["x"]
    attrs: Dict[str, Any] = {"axis": axis}
    if split is not None and opset >= 13:
        inits["split"] = np.array(split, np.int64)
        inputs.append("split")
    elif split is not None:
        attrs["split"] = split
    ref = [np.split(x, np.cumsum(split)[:-1] if split else outputs, axis=axis)[i].shape
           for i in range(outputs)]
    nodes = [helper.make_node("Split", inputs, names, **attrs)]
    # Each part read by a layer of its own, so that the slices are exported.
    nodes += [helper.make_node("Relu", [n], [n + "r"]) for n in names]
    m = model(nodes, {"x": x.shape}, {n + "r": s for n, s in zip(names, ref)}, opset=opset)
    if inits:
        m.graph.initializer.extend([onnx.numpy_helper.from_array(v, k) for k, v in inits.items()])
    run_onnx(tmp_path, m, {"x": x})


ONE_D: List[Any] = [
    ("Conv", {"kernel_shape": [3], "pads": [1, 1]}, (8, 4, 3)),
    ("Conv", {"kernel_shape": [5], "strides": [2], "dilations": [1], "pads": [2, 1]}, (6, 4, 5)),
    ("Conv", {"kernel_shape": [3], "dilations": [2], "group": 4}, (4, 1, 3)),
    ("Conv", {"kernel_shape": [4], "auto_pad": "SAME_UPPER", "strides": [2]}, (5, 4, 4)),
    ("ConvTranspose", {"kernel_shape": [3], "strides": [2], "pads": [1, 1]}, (4, 6, 3)),
    ("MaxPool", {"kernel_shape": [3], "strides": [2], "pads": [1, 1]}, None),
    ("AveragePool", {"kernel_shape": [4], "strides": [1], "pads": [0, 2]}, None),
    ("GlobalAveragePool", {}, None),
    ("GlobalMaxPool", {}, None),
]


@pytest.mark.parametrize("op,attrs,weights", ONE_D, ids=[f"{o[0]}{i}" for i, o in enumerate(ONE_D)])
def test_one_dimensional_operations_match_onnx_runtime(tmp_path: Any, op: str,
                                                       attrs: Dict[str, Any],
                                                       weights: Any) -> None:
    x = rand(2, 4, 17)
    inputs = ["x"]
    inits: Dict[str, np.ndarray] = {}
    if weights is not None:
        inits = {"w": rand(*weights, low=-0.5, high=0.5), "b": rand(
            weights[1] * attrs.get("group", 1) if op == "ConvTranspose" else weights[0])}
        inputs += ["w", "b"]
    node = helper.make_node(op, inputs, ["y"], **attrs)
    # The output's shape from ONNX's own inference.
    probe = model([node], {"x": x.shape}, {"y": None}, inits)  # type: ignore[dict-item]
    inferred = onnx.shape_inference.infer_shapes(probe)
    dims = [d.dim_value for d in inferred.graph.output[0].type.tensor_type.shape.dim]
    m = model([node, helper.make_node("Relu", ["y"], ["z"])], {"x": x.shape}, {"z": dims}, inits)
    run_onnx(tmp_path, m, {"x": x})


@pytest.mark.parametrize("shape,axis,bias", [((2, 5, 16), -1, True), ((2, 5, 16), 1, False),
                                             ((1, 3, 4, 6), -1, True)])
def test_layer_normalization_matches_onnx_runtime(tmp_path: Any, shape: Any, axis: int,
                                                  bias: bool) -> None:
    x = rand(*shape, low=-3.0, high=5.0)
    norm = shape[axis if axis >= 0 else len(shape) + axis:]
    inits = {"s": rand(*norm), "b": rand(*norm)}
    inputs = ["x", "s"] + (["b"] if bias else [])
    if not bias:
        del inits["b"]
    m = model([helper.make_node("LayerNormalization", inputs, ["y"], axis=axis, epsilon=1e-3)],
              {"x": shape}, {"y": shape}, inits, opset=17)
    run_onnx(tmp_path, m, {"x": x})


def test_instance_normalization_matches_onnx_runtime(tmp_path: Any) -> None:
    x = rand(2, 3, 5, 4, low=-2.0, high=6.0)
    m = model([helper.make_node("InstanceNormalization", ["x", "s", "b"], ["y"], epsilon=1e-4),
               helper.make_node("Relu", ["y"], ["z"])],
              {"x": x.shape}, {"z": x.shape}, {"s": rand(3), "b": rand(3)})
    run_onnx(tmp_path, m, {"x": x})


@pytest.mark.parametrize("axis,indices", [(1, 0), (1, -1), (1, [4, 0, 1]), (2, [[0, 2], [1, 1]]),
                                          (0, [1])])
def test_gather_of_run_time_data_at_constant_indices(tmp_path: Any, axis: int,
                                                     indices: Any) -> None:
    x = rand(2, 5, 3)
    idx = np.array(indices, np.int64)
    want = np.take(x, idx, axis=axis)
    m = model([helper.make_node("Gather", ["x", "i"], ["y"], axis=axis),
               helper.make_node("Relu", ["y"], ["z"])],
              {"x": x.shape}, {"z": want.shape}, {"i": idx})  # type: ignore[dict-item]
    close(run_onnx(tmp_path, m, {"x": x})["z"], np.maximum(want, 0))


@pytest.mark.parametrize("xshape,shape", [((3, 1), (2, 3, 4)), ((1, 4, 1, 1), (1, 4, 3, 5)),
                                          ((5,), (2, 5))])
def test_expand_broadcasts_exactly(tmp_path: Any, xshape: Any, shape: Any) -> None:
    x = rand(*xshape)
    m = model([helper.make_node("Expand", ["x", "s"], ["y"]),
               helper.make_node("Relu", ["y"], ["z"])], {"x": xshape}, {"z": shape},
              {"s": np.array(shape, np.int64)})  # type: ignore[dict-item]
    run_onnx(tmp_path, m, {"x": x})


@pytest.mark.parametrize("repeats", [[1, 2, 3], [2, 1, 1], [1, 1, 1]])
def test_tile_matches_onnx_runtime(tmp_path: Any, repeats: List[int]) -> None:
    x = rand(2, 3, 4)
    want = np.tile(x, repeats)
    m = model([helper.make_node("Tile", ["x", "r"], ["y"]),
               helper.make_node("Relu", ["y"], ["z"])], {"x": x.shape}, {"z": want.shape},
              {"r": np.array(repeats, np.int64)})  # type: ignore[dict-item]
    run_onnx(tmp_path, m, {"x": x})


@pytest.mark.parametrize("op,attrs,xshape,yshape", [
    ("DepthToSpace", {"blocksize": 2}, (1, 8, 3, 4), (1, 2, 6, 8)),
    ("DepthToSpace", {"blocksize": 2, "mode": "CRD"}, (1, 8, 3, 4), (1, 2, 6, 8)),
    ("SpaceToDepth", {"blocksize": 2}, (1, 3, 4, 6), (1, 12, 2, 3)),
])
def test_depth_and_space_rearrangements(tmp_path: Any, op: str, attrs: Dict[str, Any],
                                        xshape: Any, yshape: Any) -> None:
    m = model([helper.make_node(op, ["x"], ["y"], **attrs),
               helper.make_node("Relu", ["y"], ["z"])], {"x": xshape}, {"z": yshape})
    run_onnx(tmp_path, m, {"x": rand(*xshape)})


def test_gelu_by_erf_matches_onnx_runtime(tmp_path: Any) -> None:
    """GELU as PyTorch exports it: x × 0.5 × (1 + erf(x / √2))."""
    x = rand(2, 8, 16, low=-6.0, high=6.0)
    nodes = [helper.make_node("Div", ["x", "root2"], ["d"]),
             helper.make_node("Erf", ["d"], ["e"]),
             helper.make_node("Add", ["e", "one"], ["a"]),
             helper.make_node("Mul", ["x", "a"], ["m"]),
             helper.make_node("Mul", ["m", "half"], ["y"])]
    inits = {"root2": np.array(1.4142135, np.float32), "one": np.array(1.0, np.float32),
             "half": np.array(0.5, np.float32)}
    got = run_onnx(tmp_path, model(nodes, {"x": x.shape}, {"y": x.shape}, inits), {"x": x})["y"]
    import math
    want = np.vectorize(lambda v: 0.5 * v * (1 + math.erf(v / math.sqrt(2))))(
        x.astype(np.float64))
    assert float(np.abs(got - want).max()) < 2e-6


@pytest.mark.parametrize("op,formula", [
    ("ReduceL1", lambda x, a, k: np.abs(x).sum(axis=a, keepdims=k)),
    ("ReduceL2", lambda x, a, k: np.sqrt((x * x).sum(axis=a, keepdims=k))),
    ("ReduceSumSquare", lambda x, a, k: (x * x).sum(axis=a, keepdims=k)),
    ("ReduceLogSumExp", lambda x, a, k: np.log(np.exp(x).sum(axis=a, keepdims=k))),
])
@pytest.mark.parametrize("axes,keep", [((1,), 1), ((0, 2), 0), ((-1,), 1)])
def test_norm_reductions_match_onnx_runtime(tmp_path: Any, op: str, formula: Any, axes: Any,
                                            keep: int) -> None:
    x = rand(3, 4, 5)
    want = formula(x.astype(np.float64), tuple(axes), bool(keep)).astype(np.float32)
    m = model([helper.make_node(op, ["x"], ["y"], axes=list(axes), keepdims=keep)],
              {"x": x.shape}, {"y": want.shape}, opset=13)
    close(run_onnx(tmp_path, m, {"x": x})["y"], want)


def test_log_sum_exp_does_not_overflow(tmp_path: Any) -> None:
    x = np.array([[100.0, 101.0, 99.0], [-100.0, -101.0, -99.0]], np.float32)
    m = model([helper.make_node("ReduceLogSumExp", ["x"], ["y"], axes=[1], keepdims=0)],
              {"x": x.shape}, {"y": (2,)}, opset=13)
    want = np.array([101.0 + np.log(np.exp(-1.0) + 1 + np.exp(-2.0)),
                     -99.0 + np.log(np.exp(-1.0) + 1 + np.exp(-2.0))], np.float32)
    close(run_onnx(tmp_path, m, {"x": x})["y"], want)


def test_masks_and_tables_computed_from_constants_fold(tmp_path: Any) -> None:
    """Range, Mod, Equal, Not, Less, Greater, GreaterOrEqual, LessOrEqual,
    And, Or, Xor, Where, ScatterND and Expand over constants fold away; only
    the additions to the run-time input stay."""
    i64 = lambda v: np.array(v, np.int64)  # noqa: E731
    inits = {"zero": i64(0), "six": i64(6), "one": i64(1), "three": i64(3), "two": i64(2),
             "a": rand(6), "b": rand(6), "data": np.zeros(6, np.float32),
             "idx": i64([[1], [4]]), "upd": np.array([5.0, 7.0], np.float32),
             "col": rand(2, 1), "to": i64([1, 6])}
    nodes = [helper.make_node("Range", ["zero", "six", "one"], ["r"]),
             helper.make_node("Mod", ["r", "three"], ["m"]),
             helper.make_node("Equal", ["m", "zero"], ["e"]),
             helper.make_node("Not", ["e"], ["ne"]),
             helper.make_node("Less", ["r", "three"], ["lt"]),
             helper.make_node("Greater", ["r", "one"], ["gt"]),
             helper.make_node("GreaterOrEqual", ["r", "two"], ["ge"]),
             helper.make_node("LessOrEqual", ["r", "three"], ["le"]),
             helper.make_node("And", ["ne", "lt"], ["and"]),
             helper.make_node("Or", ["and", "gt"], ["or"]),
             helper.make_node("Xor", ["or", "ge"], ["xor"]),
             helper.make_node("And", ["xor", "le"], ["mask"]),
             helper.make_node("Where", ["mask", "a", "b"], ["w"]),
             helper.make_node("ScatterND", ["data", "idx", "upd"], ["s"]),
             helper.make_node("Add", ["x", "w"], ["xw"]),
             helper.make_node("Add", ["xw", "s"], ["xs"]),
             # [2, 1] broadcast with [1, 6]: the data's 2 rows kept.
             helper.make_node("Expand", ["col", "to"], ["ex"]),
             helper.make_node("Add", ["xs", "ex"], ["y"])]
    m = model(nodes, {"x": (2, 6)}, {"y": (2, 6)}, inits)
    got = run_onnx(tmp_path, m, {"x": rand(2, 6)})
    assert got["y"].shape == (2, 6)
    graph = se.load_onnx(m)
    ops = {attrs["op"] for _, attrs in graph.qm_nx_graph.nodes(data=True)}
    assert ops <= {"external", "constant", "add"}, ops


@pytest.mark.parametrize("fmod,a,b", [(0, [7, -7, 7, -7], [3, 3, -3, -3]),
                                      (1, [7.5, -7.5, 7.5], [2.0, 2.0, -2.0])])
def test_mod_folds_as_onnx_defines_it(tmp_path: Any, fmod: int, a: Any, b: Any) -> None:
    dtype = np.int64 if fmod == 0 else np.float32
    inits = {"a": np.array(a, dtype), "b": np.array(b, dtype)}
    nodes = [helper.make_node("Mod", ["a", "b"], ["m"], fmod=fmod),
             helper.make_node("Cast", ["m"], ["mf"], to=onnx.TensorProto.FLOAT),
             helper.make_node("Add", ["x", "mf"], ["y"])]
    m = model(nodes, {"x": (len(a),)}, {"y": (len(a),)}, inits)
    run_onnx(tmp_path, m, {"x": np.zeros(len(a), np.float32)})


def test_an_operation_folded_only_names_the_computed_value_it_reads() -> None:
    m = model([helper.make_node("Range", ["zero", "x", "one"], ["r"], name="range")],
              {"x": ()}, {"r": (4,)},
              {"zero": np.array(0, np.float32), "one": np.array(1, np.float32)})
    with pytest.raises(se.ExportValueError,
                       match="node 'range'.*reads 'x', a value the model computes"):
        se.load_onnx(m)


@pytest.mark.parametrize("constant", ["none", "y", "x"])
def test_where_over_a_constant_condition(tmp_path: Any, constant: str) -> None:
    cond = np.array([[True, False, True, False, False, True]])  # broadcast over rows
    inits: Dict[str, Any] = {"c": cond}
    inputs: Dict[str, Any] = {}
    for v in "xy":
        if v == constant:
            inits[v] = np.array(-1e4 if v == "y" else 2.5, np.float32)
        else:
            inputs[v] = (3, 6)
    m = model([helper.make_node("Where", ["c", "x", "y"], ["w"])], inputs, {"w": (3, 6)}, inits)
    run_onnx(tmp_path, m, {v: rand(3, 6) for v in inputs})


def test_where_fills_with_infinity_and_a_computed_condition_is_refused() -> None:
    cond = np.tril(np.ones((4, 4), bool))  # a causal mask
    m = model([helper.make_node("Where", ["c", "x", "fill"], ["w"])], {"x": (2, 4, 4)},
              {"w": (2, 4, 4)}, {"c": cond, "fill": np.array(-np.inf, np.float32)})
    x = rand(2, 4, 4)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(m), "m").run()).run({"x": x})["w"]
    np.testing.assert_array_equal(got, np.where(cond, x, -np.inf))
    # A comparison of run-time data is refused, naming it and what it reads.
    m = model([helper.make_node("Greater", ["x", "zero"], ["c"], name="greater"),
               helper.make_node("Where", ["c", "x", "zero"], ["w"])],
              {"x": (2, 3)}, {"w": (2, 3)}, {"zero": np.array(0, np.float32)})
    with pytest.raises(se.ExportValueError, match="node 'greater'.*reads 'x', a value the model"):
        se.load_onnx(m)
