"""Real networks from the npm registry (tests/networks/networks.txt,
fetched by make setup): each imported, exported, verified and run in its
planned arena, its outputs against ONNX Runtime's."""
import os
import sys
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
import pytest

import sarnic_exporter as se

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))
import onnx_reference  # noqa: E402

MODELS = os.path.join(HERE, "..", "networks", "models")


def page(h: int, w: int) -> np.ndarray:
    """A page of dark strokes on white, normalised as the OCR models
    expect: (pixel / 255 − 0.5) / 0.5 per channel."""
    rng = np.random.default_rng(7)
    img = np.full((h, w), 235.0)
    for _ in range(12):
        y, x = rng.integers(0, h - 6), rng.integers(0, w - 20)
        img[y:y + rng.integers(2, 6), x:x + rng.integers(8, 20)] = rng.uniform(10, 60)
    img += rng.normal(0, 6, img.shape)
    chw = np.repeat(img[None], 3, axis=0)
    return ((chw / 255.0 - 0.5) / 0.5)[None].astype(np.float32)


def features(frames: int) -> np.ndarray:
    return np.random.default_rng(3).normal(0, 1, (1, frames, 96)).astype(np.float32)


NETWORKS: List[Tuple[str, Dict[str, int], Callable[[], np.ndarray]]] = [
    # name, dynamic dimensions, input
    ("ocr_classifier", {"p2o.DynamicDimension.0": 1, "p2o.DynamicDimension.1": 48,
                        "p2o.DynamicDimension.2": 192}, lambda: page(48, 192)),
    ("text_detector", {"p2o.DynamicDimension.0": 1, "p2o.DynamicDimension.1": 160,
                       "p2o.DynamicDimension.2": 160}, lambda: page(160, 160)),
    ("text_recognizer", {"p2o.DynamicDimension.0": 1, "p2o.DynamicDimension.1": 160},
     lambda: page(48, 160)),
    ("english_recognizer", {"p2o.DynamicDimension.0": 1, "x:2": 48,
                            "p2o.DynamicDimension.1": 160}, lambda: page(48, 160)),
    ("wake_word_hello", {}, lambda: features(25)),
    ("wake_word_namaste", {}, lambda: features(24)),
]


@pytest.fixture(scope="module")
def reference() -> Any:
    why = onnx_reference.missing()
    if why is not None:
        pytest.fail(f"ONNX Runtime, the reference of these tests, is missing: {why}")
    runtime = onnx_reference.OnnxRuntime()
    yield runtime
    runtime.close()


@pytest.mark.parametrize("name,dims,make_input", NETWORKS, ids=[n[0] for n in NETWORKS])
def test_network_matches_onnx_runtime(reference: Any, name: str, dims: Dict[str, int],
                                      make_input: Any) -> None:
    path = os.path.join(MODELS, f"{name}.onnx")
    if not os.path.exists(path):
        pytest.fail(f"{path} is missing: make setup fetches it")
    blob = se.SarnicExporter(se.load_onnx(path, dims), name).run()
    assert se.verify_model(blob) == []
    interp = se.Interpreter(blob)
    assert len(interp.inputs) == 1
    feeds = {interp.inputs[0].name: make_input()}
    got = interp.run(feeds)
    want = reference.run(path, feeds)
    assert set(got) == set(want)
    for out, expected in want.items():
        assert got[out].shape == expected.shape
        tolerance = 1e-4 + 1e-3 * float(np.abs(expected).max())
        assert float(np.abs(got[out] - expected).max()) <= tolerance, out
