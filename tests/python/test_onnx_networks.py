"""Real networks from the npm registry (tests/networks/networks.txt,
fetched by make setup): each imported, exported, verified and run in its
planned arena, its outputs against ONNX Runtime's."""
import os
import subprocess
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
import pytest

import sarnic_exporter as se

HERE = os.path.dirname(os.path.abspath(__file__))

MODELS = os.path.join(HERE, "..", "networks", "models")


def page(h: int, w: int) -> np.ndarray:
    """Rows of glyph-like strokes, black on white, normalised as the OCR
    models expect: (pixel / 255 − 0.5) / 0.5 in each channel. The detector
    finds text in it (its map reaches 1), so the comparison is not of
    numbers near zero."""
    rng = np.random.default_rng(7)
    img = np.full((h, w), 255.0)
    height, stroke = 22, 3
    for row in range(8, h - height - 4, height + 12):
        x = 6
        while x < w - 14:
            if rng.random() < 0.15:  # a space
                x += 10
                continue
            width = int(rng.integers(7, 12))
            for _ in range(3):
                if rng.random() < 0.5:
                    c = int(rng.integers(0, width - stroke))
                    img[row:row + height, x + c:x + c + stroke] = 0
                else:
                    r = int(rng.integers(0, height - stroke))
                    img[row + r:row + r + stroke, x:x + width] = 0
            x += width + 3
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


def test_detector_through_the_command_line_with_nhwc_io(reference: Any, tmp_path: Any) -> None:
    """snx-export MODEL.onnx --nhwc-io, then snx-run: the input and output
    in NHWC, the numbers ONNX Runtime's transposed."""
    name, dims, make_input = NETWORKS[1]
    path = os.path.join(MODELS, f"{name}.onnx")
    if not os.path.exists(path):
        pytest.fail(f"{path} is missing: make setup fetches it")
    tools = os.path.dirname(os.environ["SNX_EXPORT"])
    snx = str(tmp_path / "detector.snx")
    args = [a for k, v in dims.items() for a in ("--dim", f"{k}={v}")]
    subprocess.run([os.environ["SNX_EXPORT"], path, "--nhwc-io", "-o", snx, *args],
                   check=True, capture_output=True)
    x = make_input()
    np.save(tmp_path / "x.npy", x.transpose(0, 2, 3, 1))
    subprocess.run([os.path.join(tools, "snx-run"), snx, "--input", f"x={tmp_path / 'x.npy'}",
                    "-o", str(tmp_path / "out")], check=True, capture_output=True)
    (out, expected), = reference.run(path, {"x": x}).items()
    got = np.load(tmp_path / "out" / f"{out}.npy")
    want = expected.transpose(0, 2, 3, 1)
    assert got.shape == want.shape
    assert float(np.abs(got - want).max()) <= 1e-4 + 1e-3 * float(np.abs(want).max())
