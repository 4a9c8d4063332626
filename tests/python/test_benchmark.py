"""The benchmark mode: snx-run --benchmark and Interpreter.benchmark on the
bundled digits model (float, and int8 with int8 inputs): the figures are
consistent with each other and with the model, the document is complete,
and bad counts are refused."""
import json
import os
import subprocess
from typing import Any, Dict, Optional

import numpy as np
import pytest

import sarnic_exporter as se
from test_faults import tool

DIGITS = os.path.join(os.environ["SARNIC_EXAMPLES_DIR"], "digits")


@pytest.fixture(scope="module")
def models(tmp_path_factory: Any) -> Any:
    folder = tmp_path_factory.mktemp("bench")
    graph = se.load_onnx(os.path.join(DIGITS, "digits.onnx"))
    (folder / "float.snx").write_bytes(se.SarnicExporter(graph, "f").run())
    q, _ = se.quantize(graph, os.path.join(DIGITS, "calibration.npz"), io="int8")
    (folder / "int8.snx").write_bytes(se.SarnicExporter(q, "q").run())
    return folder


@pytest.mark.parametrize("kind", ["float", "int8"])
def test_the_figures_agree_with_each_other_and_the_model(models: Any, kind: str) -> None:
    interp = se.Interpreter(models / f"{kind}.snx")
    r = interp.benchmark(runs=7, warmup=1)
    assert (r.runs, r.warmup) == (7, 1)
    assert 0 < r.min_ms <= r.median_ms <= r.max_ms
    assert r.arena_bytes == interp.arena_bytes and r.peak_memory_bytes > r.arena_bytes
    # Every computed layer once; the types add up to them; the slowest are
    # the ten largest times, in order.
    assert sum(t.layers for t in r.by_type) == len(r.layers) > 3
    assert sum(t.ms for t in r.by_type) == pytest.approx(sum(layer.ms for layer in r.layers))
    assert sum(layer.share for layer in r.layers) == pytest.approx(1.0)
    assert [layer.ms for layer in r.slowest] == sorted((x.ms for x in r.layers), reverse=True)[:10]
    assert [t.ms for t in r.by_type] == sorted((t.ms for t in r.by_type), reverse=True)
    assert r.by_type[0].type == "conv2d"  # the digits model's time is its convolutions
    assert "latency per inference: median" in str(r) and r.slowest[0].name in str(r)


def test_given_inputs_are_used_and_bad_counts_refused(models: Any) -> None:
    interp = se.Interpreter(models / "float.snx")
    x = np.zeros((1, 1, 8, 8), np.float32)
    assert interp.benchmark(runs=2, warmup=0, inputs={"image": x}).runs == 2
    with pytest.raises(se.ExportValueError, match="no input 'other'"):
        interp.benchmark(runs=1, inputs={"image": x, "other": x})
    with pytest.raises(se.ExportValueError, match="runs 0 must be 1 to 1,000,000"):
        interp.benchmark(runs=0)
    with pytest.raises(se.ExportTypeError):
        interp.benchmark(runs=2.5)  # type: ignore[arg-type]


def test_snx_run_benchmark_prints_the_table_or_a_document(models: Any) -> None:
    path = models / "int8.snx"
    r = tool("snx-run", path, "--benchmark", "--runs", "5", "--warmup", "0")
    assert r.returncode == 0, r.stderr
    assert "benchmark: 5 runs after 0 warm-up runs" in r.stdout
    assert "time per layer type:" in r.stdout and "slowest layers:" in r.stdout
    r = tool("snx-run", path, "--benchmark", "--runs", "3", "--json")
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert doc["format"] == "snx-benchmark" and doc["runs"] == 3 and doc["warmup"] == 3
    assert doc["min_ms"] <= doc["median_ms"] <= doc["max_ms"]
    assert sum(t["layers"] for t in doc["by_type"]) == len(doc["layers"])
    assert len(doc["slowest"]) == min(10, len(doc["layers"]))
    # The counts need --benchmark, and are whole numbers in range.
    for args in (["--runs", "3"], ["--benchmark", "--runs", "0"], ["--json"]):
        r = tool("snx-run", path, *args)
        assert r.returncode == 2, args


def run_with_kernels(path: Any, inputs: Any, out: Any, kernels: Optional[str]) -> Dict[str, Any]:
    env = dict(os.environ)
    env.pop("SARNIC_KERNELS", None)
    if kernels:
        env["SARNIC_KERNELS"] = kernels
    snx_run = os.path.join(os.path.dirname(os.environ["SNX_EXPORT"]), "snx-run")
    r = subprocess.run([snx_run, str(path), "--input", str(inputs), "--all-layers", "-o", str(out)],
                       env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return {f.name: np.load(f) for f in out.iterdir()}


TORCH = os.path.join(os.environ["SARNIC_TESTS_DATA_DIR"], "torch_networks")


@pytest.mark.parametrize("name", ["float", "int8", "mobilenet", "encoder_block", "audio_conv1d",
                                  "lstm_classifier", "activations"])
def test_the_dispatched_kernels_agree_with_the_portable_ones(models: Any, tmp_path: Any,
                                                             name: str) -> None:
    """Every layer of each model, run by the tool with the kernels the
    machine has and with the portable ones: the float layers within a tight
    tolerance, the integer ones bit for bit."""
    if name in ("float", "int8"):
        path = models / f"{name}.snx"
    elif name == "mobilenet":
        graph = se.load_graph(os.path.join(os.environ["SARNIC_EXAMPLES_DIR"], "mobilenet",
                                           "mobilenet.json"))
        path = tmp_path / "m.snx"
        path.write_bytes(se.SarnicExporter(graph, "m").run())
    else:
        path = tmp_path / "m.snx"
        path.write_bytes(se.SarnicExporter(se.load_onnx(os.path.join(TORCH, f"{name}.onnx")),
                                           "m").run())
    interp = se.Interpreter(path)
    rng = np.random.default_rng(5)
    feeds = {}
    for spec in interp.inputs:
        if spec.dtype == "float32":
            feeds[spec.name] = rng.uniform(-2, 2, spec.shape).astype(np.float32)
        else:
            feeds[spec.name] = rng.integers(-128, 128, spec.shape).astype(spec.dtype)
    np.savez(tmp_path / "in.npz", **feeds)
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    wide = run_with_kernels(path, tmp_path / "in.npz", tmp_path / "a", None)
    portable = run_with_kernels(path, tmp_path / "in.npz", tmp_path / "b", "portable")
    assert wide.keys() == portable.keys() and len(wide) > 3
    for layer, got in wide.items():
        want = portable[layer]
        if got.dtype != np.float32:
            np.testing.assert_array_equal(got, want, err_msg=layer)
        else:
            np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5 * max(1.0, float(np.abs(want).max())),
                                       err_msg=layer)


@pytest.mark.parametrize("name", ["mobilenet", "encoder_block", "audio_conv1d"])
def test_every_thread_count_gives_the_same_bits(tmp_path: Any, name: str) -> None:
    if name == "mobilenet":
        graph = se.load_graph(os.path.join(os.environ["SARNIC_EXAMPLES_DIR"], "mobilenet",
                                           "mobilenet.json"))
    else:
        graph = se.load_onnx(os.path.join(TORCH, f"{name}.onnx"))
    interp = se.Interpreter(se.SarnicExporter(graph, "m").run())
    rng = np.random.default_rng(9)
    feeds = {s.name: rng.uniform(-2, 2, s.shape).astype(np.float32) for s in interp.inputs}
    one = interp.run(feeds, all_layers=True)
    for threads in (2, 3, 8):
        many = interp.run(feeds, all_layers=True, threads=threads)
        assert {k: v.tobytes() for k, v in many.items()} == {k: v.tobytes() for k, v in one.items()}
    assert interp.benchmark(runs=2, threads=2).threads == 2
    for bad in (0, 257):
        with pytest.raises(se.ExportValueError, match="threads"):
            interp.run(feeds, threads=bad)
    with pytest.raises(se.ExportTypeError, match="threads"):
        interp.run(feeds, threads=1.5)  # type: ignore[arg-type]
