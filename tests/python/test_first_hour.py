"""What a new user meets first: the tools' versions, the ways a model
reaches the importer, the one line of device memory, and the planner an
ONNX model gets."""
import os
import subprocess
from typing import Any

import numpy as np
import onnx
import pytest
from onnx import helper

import sarnic_exporter as se
from test_faults import external_weights_model, tool
from test_onnx import model, write

NETWORKS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "networks", "models")


def test_load_onnx_takes_bytes_and_a_model_proto(tmp_path: Any) -> None:
    m = model([helper.make_node("Relu", ["x"], ["y"])], {"x": [1, 4]}, {"y": [1, 4]})
    path = write(tmp_path, m)
    want = se.SarnicExporter(se.load_onnx(path), "m").run()
    for source in (m.SerializeToString(), m):
        assert se.SarnicExporter(se.load_onnx(source), "m").run() == want
    # Bytes have no folder for external data.
    ext = onnx.load(external_weights_model(tmp_path, "w.bin"), load_external_data=False)
    with pytest.raises(se.ExportValueError, match="not a file inside the model's folder"):
        se.load_onnx(ext.SerializeToString())


def test_every_tool_and_the_package_tell_their_version() -> None:
    assert se.__version__.count(".") == 2
    for name in ("snx-export", "snx-import", "snx-run", "snx-inspect"):
        r = tool(name, "--version")
        assert (r.returncode, r.stdout.strip()) == (0, f"{name} {se.__version__}")


def test_snx_export_ends_with_the_device_line_that_the_summary_gives(tmp_path: Any) -> None:
    m = model([helper.make_node("Relu", ["x"], ["y"])], {"x": [1, 64]}, {"y": [1, 64]})
    path = write(tmp_path, m)
    r = tool("snx-export", path, "-o", tmp_path / "m.snx")
    assert r.returncode == 0, r.stderr
    line = r.stdout.splitlines()[-1]
    assert line.startswith("flash ") and "% above the lower bound of" in line
    summary = tool("snx-inspect", "--summary", tmp_path / "m.snx").stdout
    assert f"  device:      {line}\n" in summary


def test_an_onnx_model_gets_the_best_plan_unless_told(tmp_path: Any) -> None:
    """The text-direction classifier, where the standard planners leave 7%
    above the lower bound; a graph file keeps the standard default."""
    net = os.path.join(NETWORKS, "ocr_classifier.onnx")
    dims = ["--dim", "p2o.DynamicDimension.0=1", "--dim", "p2o.DynamicDimension.1=48",
            "--dim", "p2o.DynamicDimension.2=192"]
    made = {}
    for name, flags in (("default", []), ("best", ["--planner", "best"]),
                        ("standard", ["--planner", "standard"])):
        out = tmp_path / f"{name}.snx"
        r = tool("snx-export", net, *dims, "-o", out, *flags)
        assert r.returncode == 0, r.stderr
        made[name] = out.read_bytes()
    assert made["default"] == made["best"] != made["standard"]
    graph = tmp_path / "g.json"
    assert tool("snx-import", net, *dims, "-o", graph).returncode == 0
    for name, flags in (("graph", []), ("graph_standard", ["--planner", "standard"])):
        r = tool("snx-export", graph, "-o", tmp_path / f"{name}.snx", "--name", "default",
                 *flags)
        assert r.returncode == 0, r.stderr
    assert (tmp_path / "graph.snx").read_bytes() == (tmp_path / "graph_standard.snx").read_bytes()


def test_the_model_as_a_c_array_compiles_to_the_same_bytes(tmp_path: Any) -> None:
    m = model([helper.make_node("Relu", ["x"], ["y"])], {"x": [1, 64]}, {"y": [1, 64]})
    path = write(tmp_path, m)
    header = tmp_path / "model.h"
    r = tool("snx-export", path, "-o", tmp_path / "m.snx", "--name", "9 lives",
             "--c-array", header)
    assert r.returncode == 0, r.stderr
    main = tmp_path / "main.c"
    main.write_text('#include <stdio.h>\n#include "model.h"\n'
                    "int main(void) {\n"
                    "  if ((uintptr_t)_9_lives_snx % 16 != 0) return 2;\n"
                    "  fwrite(_9_lives_snx, 1, _9_lives_snx_len, stdout);\n"
                    "  return 0;\n}\n")
    subprocess.run(["cc", "-std=c11", "-Wall", "-Werror", "-o", str(tmp_path / "main"),
                    str(main)], check=True)
    out = subprocess.run([str(tmp_path / "main")], capture_output=True, check=True).stdout
    assert out == (tmp_path / "m.snx").read_bytes()
    # It is an output like any other: it may not replace what the export reads.
    assert "would replace an input file" in tool("snx-export", path, "-o", tmp_path / "n.snx",
                                                 "--c-array", path).stderr


def test_what_is_not_a_model_says_what_to_do(tmp_path: Any) -> None:
    (tmp_path / "ckpt.pt").write_bytes(b"PK\x03\x04" + bytes(60))
    r = tool("snx-export", tmp_path / "ckpt.pt", "-o", tmp_path / "m.snx")
    assert r.returncode == 1 and "a zip archive (a PyTorch checkpoint" in r.stderr
    assert "export the network to ONNX first" in r.stderr
    m = model([helper.make_node("Relu", ["x"], ["y"])], {"x": [1, 4]}, {"y": [1, 4]})
    path = write(tmp_path, m)
    r = tool("snx-run", path)
    assert r.returncode == 1 and f"convert it first (snx-export {path} -o model.snx" in r.stderr


def test_an_unnamed_node_is_named_by_its_place_and_the_error_points_the_way(
        tmp_path: Any) -> None:
    nodes = [helper.make_node("Relu", ["x"], ["a"]), helper.make_node("Acos", ["a"], ["y"])]
    path = write(tmp_path, model(nodes, {"x": [1, 4]}, {"y": [1, 4]}))
    with pytest.raises(se.ExportValueError) as err:
        se.load_onnx(path)
    assert "Acos (1, first node #1, unnamed, writing 'y')" in str(err.value)
    assert '"When an operation is missing"' in str(err.value)


def test_gelu_in_its_tanh_form_converts(tmp_path: Any, reference: Any) -> None:
    """GELU's tanh form, as some frameworks export it, converts as GELU by
    Erf does."""
    c = {"half": np.array(0.5, np.float32), "one": np.array(1.0, np.float32),
         "k": np.array(0.7978846, np.float32), "a": np.array(0.044715, np.float32),
         "three": np.array(3.0, np.float32)}
    nodes = [helper.make_node("Pow", ["x", "three"], ["x3"]),
             helper.make_node("Mul", ["x3", "a"], ["ax3"]),
             helper.make_node("Add", ["x", "ax3"], ["inner"]),
             helper.make_node("Mul", ["inner", "k"], ["scaled"]),
             helper.make_node("Tanh", ["scaled"], ["t"]),
             helper.make_node("Add", ["t", "one"], ["t1"]),
             helper.make_node("Mul", ["x", "t1"], ["xt"]),
             helper.make_node("Mul", ["xt", "half"], ["y"])]
    path = write(tmp_path, model(nodes, {"x": [1, 16]}, {"y": [1, 16]}, c))
    x = np.linspace(-4, 4, 16, dtype=np.float32).reshape(1, 16)
    got = se.Interpreter(se.SarnicExporter(se.load_onnx(path), "m").run()).run({"x": x})["y"]
    np.testing.assert_allclose(got, reference.run(path, {"x": x})["y"], rtol=1e-5, atol=1e-6)


def test_two_models_are_compared_output_by_output(tmp_path: Any) -> None:
    relu = model([helper.make_node("Relu", ["x"], ["y"])], {"x": [1, 16]}, {"y": [1, 16]})
    clip = model([helper.make_node("Clip", ["x", "lo", "hi"], ["y"])], {"x": [1, 16]},
                 {"y": [1, 16]}, {"lo": np.array(0, np.float32), "hi": np.array(6, np.float32)})
    paths = []
    for name, m in (("relu", relu), ("clip", clip)):
        out = tmp_path / f"{name}.snx"
        assert tool("snx-export", write(tmp_path, m, f"{name}.onnx"), "-o", out).returncode == 0
        paths.append(out)
    x = np.linspace(-8, 8, 16, dtype=np.float32).reshape(1, 16)
    a, b = np.maximum(x, 0).astype(np.float64), np.clip(x, 0, 6).astype(np.float64)
    want = se.Comparison(float(np.abs(a - b).max()), float(np.abs(a - b).mean()),
                         float(a.ravel() @ b.ravel() / np.sqrt((a.ravel() @ a.ravel())
                                                               * (b.ravel() @ b.ravel()))))
    got = se.compare_models(paths[0], paths[1], {"x": x})["y"]
    np.testing.assert_allclose(got, want, rtol=1e-12)
    np.save(tmp_path / "x.npy", x)
    r = tool("snx-run", paths[0], "--input", tmp_path / "x.npy", "--compare", paths[1])
    assert r.returncode == 0, r.stderr
    assert (f"compare y: largest difference {want.largest:g}, mean {want.mean:g}, "
            f"cosine similarity {want.cosine:.6f}") in r.stdout
    assert se.compare_models(paths[0], paths[0], {"x": x})["y"] == se.Comparison(0.0, 0.0, 1.0)


def test_snx_inspect_describes_an_onnx_model_without_converting_it(tmp_path: Any) -> None:
    nodes = [helper.make_node("Relu", ["x"], ["a"], name="r"),
             helper.make_node("Acos", ["a"], ["b"], name="e"),
             helper.make_node("Add", ["b", "w"], ["y"], name="s")]
    path = write(tmp_path, model(nodes, {"x": ["batch", 4]}, {"y": ["batch", 4]},
                                 {"w": np.ones(4, np.float32)}))
    r = tool("snx-inspect", path)
    assert r.returncode == 0, r.stderr
    assert "  x  float [batch, 4]\n" in r.stdout
    assert "parameters:  1 tensors, 4 elements, 16 bytes\n" in r.stdout
    assert "  Acos  1  (not converted)\n" in r.stdout and "  Relu  1\n" in r.stdout
    assert '1 operation(s) have no conversion: see docs/onnx.md, "When an operation' in r.stdout
    assert sorted(os.listdir(tmp_path)) == ["m.onnx"]
    assert "describes it as text only" in tool("snx-inspect", "--verify", path).stderr


def test_long_work_shows_progress_on_a_terminal_only(tmp_path: Any) -> None:
    """Ten 3 × 3 convolutions over 512 × 512 × 64 (about 50 G multiply-adds,
    several seconds): on a terminal (a pseudo-terminal made by `script`) a
    progress line appears and is cleared before the result; through a pipe
    nothing is added."""
    from test_faults import graph_model
    w = np.full((3, 3, 64, 64), 0.001, np.float32)
    nodes, prev, size = [], "x", 512
    for i in range(10):
        size -= 2
        nodes.append((f"c{i}", dict(op="conv", input=prev, filter="w", stride=[1, 1],
                                    dilation=[1, 1], groups=1,
                                    output_shape=[1, size, size, 64])))
        prev = f"c{i}"
    (tmp_path / "m.snx").write_bytes(graph_model(nodes, {"x": [1, 512, 512, 64]}, {"w": w},
                                                 [prev]))
    np.save(tmp_path / "x.npy", np.ones((1, 512, 512, 64), np.float32))
    run = [os.path.join(os.path.dirname(os.environ["SNX_EXPORT"]), "snx-run"),
           str(tmp_path / "m.snx"), "--input", str(tmp_path / "x.npy")]
    piped = subprocess.run(run, capture_output=True, text=True)
    assert piped.returncode == 0 and piped.stderr == ""
    seen = subprocess.run(["script", "-qec", " ".join(run), "/dev/null"],
                          capture_output=True).stdout.decode()
    assert f"\rsnx-run: running {tmp_path / 'm.snx'} ... 1.0 s\x1b[K" in seen
    # Cleared before the result, which keeps its line.
    assert "\r\x1b[Kc9 float32 [1, 492, 492, 64]:" in seen
