"""LSTM and GRU unrolled over their fixed sequence, against ONNX Runtime:
each direction, initial states absent, constant or computed, every output
read, both GRU gate layouts; and the cases refused by name."""
from typing import Any, Dict, List, Optional

import numpy as np
import onnx
import pytest
from onnx import helper

import sarnic_exporter as se
from test_onnx import _reference_for_run_onnx, model, rand, run_onnx  # noqa: F401

T, N, I, H = 5, 2, 3, 4

CASES: List[Any] = [
    # op, direction, initial state ("none", "constant", "zero", "input"), extra attributes
    ("LSTM", "forward", "none", {}),
    ("LSTM", "reverse", "constant", {}),
    ("LSTM", "bidirectional", "input", {}),
    ("LSTM", "forward", "zero", {}),
    ("GRU", "forward", "none", {"linear_before_reset": 1}),
    ("GRU", "bidirectional", "input", {"linear_before_reset": 1}),
    ("GRU", "reverse", "constant", {"linear_before_reset": 1}),
    ("GRU", "forward", "none", {}),
    ("GRU", "bidirectional", "constant", {"linear_before_reset": 0}),
    ("GRU", "reverse", "input", {}),
]


def recurrent_model(op: str, direction: str, state: str, attrs: Dict[str, Any],
                    bias: bool = True, outputs: Optional[List[str]] = None) -> onnx.ModelProto:
    gates = 4 if op == "LSTM" else 3
    d = 2 if direction == "bidirectional" else 1
    inits = {"W": rand(d, gates * H, I, low=-0.7, high=0.7),
             "R": rand(d, gates * H, H, low=-0.7, high=0.7)}
    if bias:
        inits["B"] = rand(d, 2 * gates * H, low=-0.5, high=0.5)
    names = ["x", "W", "R", "B" if bias else "", ""]
    inputs: Dict[str, Any] = {"x": (T, N, I)}
    states = ["h0", "c0"] if op == "LSTM" else ["h0"]
    for s in states:
        if state == "input":
            inputs[s] = (d, N, H)
        elif state == "constant":
            inits[s] = rand(d, N, H)
        elif state == "zero":
            inits[s] = np.zeros((d, N, H), np.float32)
        names.append(s if state != "none" else "")
    while names and names[-1] == "":
        names.pop()
    shapes = {"Y": (T, d, N, H), "Y_h": (d, N, H), "Y_c": (d, N, H)}
    outs = outputs or (["Y", "Y_h", "Y_c"] if op == "LSTM" else ["Y", "Y_h"])
    node = helper.make_node(op, names, outs, name="rnn", direction=direction, hidden_size=H,
                            **attrs)
    return model([node], inputs, {o: shapes[o] for o in outs if o}, inits=inits)


@pytest.mark.parametrize("op,direction,state,attrs", CASES,
                         ids=[f"{c[0]}-{c[1]}-{c[2]}-{i}" for i, c in enumerate(CASES)])
def test_recurrent_layers_match_onnx_runtime(tmp_path: Any, op: str, direction: str, state: str,
                                             attrs: Dict[str, Any]) -> None:
    m = recurrent_model(op, direction, state, attrs)
    d = 2 if direction == "bidirectional" else 1
    feeds = {"x": rand(T, N, I)}
    for g in m.graph.input:
        if g.name != "x":
            feeds[g.name] = rand(d, N, H)
    run_onnx(tmp_path, m, feeds)


def test_only_the_outputs_read_are_made_and_a_bias_may_be_absent(tmp_path: Any) -> None:
    m = recurrent_model("LSTM", "forward", "none", {}, bias=False, outputs=["", "Y_h"])
    got = run_onnx(tmp_path, m, {"x": rand(T, N, I)})
    assert set(got) == {"Y_h"}
    # No concat of the per-step outputs nobody reads: Y_h is the last step's h.
    assert ops(se.load_onnx(m)).count("concat") == 0


def ops(graph: Any) -> List[str]:
    return [attrs["op"] for _, attrs in graph.qm_nx_graph.nodes(data=True)]


@pytest.mark.parametrize("reset_after,cells", [(1, T), (0, 0)])
def test_a_gru_whose_reset_follows_its_product_is_the_engines_cell(reset_after: int,
                                                                   cells: int) -> None:
    m = recurrent_model("GRU", "forward", "none", {"linear_before_reset": reset_after})
    assert ops(se.load_onnx(m)).count("cudnn_gru") == cells


REFUSED = [
    ("LSTM", {"layout": 1}, "batch first"),
    ("LSTM", {"clip": 3.0}, "clips"),
    ("LSTM", {"input_forget": 1}, "input and forget"),
    ("GRU", {"activations": ["Relu", "Tanh"]}, "'Relu' where only Sigmoid"),
]


@pytest.mark.parametrize("op,attrs,message", REFUSED, ids=[r[2] for r in REFUSED])
def test_what_is_not_converted_is_refused_naming_the_node(op: str, attrs: Dict[str, Any],
                                                          message: str) -> None:
    m = recurrent_model(op, "forward", "none", attrs)
    for o in m.graph.output:  # batch first, they are [N, T, ...]
        for i, dim in enumerate(o.type.tensor_type.shape.dim):
            dim.dim_param = f"d{i}"
    with pytest.raises(se.ExportValueError, match=f"node 'rnn'.*{message}"):
        se.load_onnx(m)


def test_shorter_sequences_and_weights_computed_at_run_time_are_refused() -> None:
    m = recurrent_model("GRU", "forward", "none", {})
    lens = onnx.numpy_helper.from_array(np.array([T, T - 1], np.int32), "lens")
    m.graph.initializer.append(lens)
    m.graph.node[0].input[:] = ["x", "W", "R", "B", "lens"]
    with pytest.raises(se.ExportValueError, match="node 'rnn'.*sequence length of 4.*5 steps"):
        se.load_onnx(m)
    m = recurrent_model("LSTM", "forward", "none", {})
    m.graph.initializer.pop(1)  # R
    m.graph.input.append(helper.make_tensor_value_info("R", onnx.TensorProto.FLOAT, [1, 4 * H, H]))
    with pytest.raises(se.ExportValueError, match="node 'rnn'.*recurrent weights R not constant"):
        se.load_onnx(m)
