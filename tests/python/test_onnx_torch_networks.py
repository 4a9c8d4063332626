"""Networks of the kinds real models are made of, exported by PyTorch
(scripts/make_onnx_networks.py, committed in tests/data/torch_networks):
each imported, exported, verified and run in its planned arena against
ONNX Runtime."""
import os
from typing import Any, Dict, Tuple

import numpy as np
import onnx
import pytest

from test_onnx import _reference_for_run_onnx, rand, run_onnx  # noqa: F401

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "torch_networks")

NETWORKS: Dict[str, Tuple[Tuple[int, ...], Tuple[str, ...]]] = {
    # name: input shape, operations the network must contain
    "encoder_block": ((1, 9, 12), ("Erf", "LayerNormalization", "Softmax", "Gather")),
    "audio_conv1d": ((1, 16, 40), ("Conv", "MaxPool", "AveragePool")),
    "lstm_classifier": ((1, 12, 10), ("LSTM",)),
    "gru_classifier": ((1, 12, 10), ("GRU",)),
    "activations": ((2, 8), ("Elu", "Selu", "Softplus", "PRelu", "Clip", "Erf", "HardSwish")),
}


@pytest.mark.parametrize("name", sorted(NETWORKS))
def test_networks_made_by_pytorch_match_onnx_runtime(tmp_path: Any, name: str) -> None:
    shape, ops = NETWORKS[name]
    m = onnx.load(os.path.join(HERE, f"{name}.onnx"))
    assert set(ops) <= {n.op_type for n in m.graph.node}
    for i in range(3):
        run = tmp_path / str(i)
        run.mkdir()
        run_onnx(run, m, {"x": rand(*shape, low=-3.0, high=3.0)})
