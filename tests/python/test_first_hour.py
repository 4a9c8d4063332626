"""What a new user meets first: the tools' versions, the ways a model
reaches the importer, the one line of device memory, and the planner an
ONNX model gets."""
import os
from typing import Any

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
