"""The Python module: arguments, plug-ins, changes seen by the caller,
errors, and bytes equal to those of the command-line tool."""
import json
import os
import subprocess

import networkx as nx
import numpy as np
import pytest
from typing import Any, List

import sarnic_exporter as se
from sarnic_exporter import snxf

EXAMPLES = os.environ["SARNIC_EXAMPLES_DIR"]
SNX_EXPORT = os.environ["SNX_EXPORT"]


def small_graph():
    g = nx.DiGraph()
    g.add_node("in", op="external", output_shape=[1, 4, 4], datatype=np.dtype("float32"))
    g.add_node("w", op="constant", output_shape=[4])
    g.add_node("r", op="relu", x="in", output_shape=[1, 4, 4])
    g.add_node("s", op="sum_reduce", input="r", axes=[2, 1], output_shape=[1])
    g.add_edge("in", "r")
    g.add_edge("r", "s")
    return se.Graph(g, ["in"], ["s"], {"w": np.arange(4, dtype=np.float64)})


def test_defaults_and_attribute_order():
    e = se.SarnicExporter(small_graph(), "m")
    assert list(vars(e))[:15] == [
        "graph", "name", "mem_map", "opt_map", "save_map", "save_layers",
        "copy_layers", "svm", "ext_constants", "labels", "input_names",
        "output_names", "normalization", "alternate_input_error_message",
        "planner"]
    assert e.mem_map and e.opt_map and e.save_layers == [] and e.copy_layers == []
    assert e.svm is None and e.labels is None and e.normalization == "none"
    other = se.SarnicExporter(small_graph(), "m")
    e.save_layers.append("x")
    assert other.save_layers == []
    mine = ["r"]
    assert se.SarnicExporter(small_graph(), "m", save_layers=mine).save_layers is mine


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((small_graph(),), {}),
    ((small_graph(), "m") + (None,) * 13, {}),
    ((small_graph(), "m"), {"colour": 1}),
    ((small_graph(), "m", True), {"mem_map": False}),
])
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        se.SarnicExporter(*args, **kwargs)


def test_run_returns_the_same_bytes_as_the_tool(tmp_path):
    graph = se.load_graph(os.path.join(EXAMPLES, "mobilenet", "mobilenet.json"))
    labels = os.path.join(EXAMPLES, "mobilenet", "labels.txt")
    model = se.SarnicExporter(graph, "mobilenet",
                              labels=open(labels).read().splitlines()).run()
    out = tmp_path / "m.snx"
    subprocess.run([SNX_EXPORT, os.path.join(EXAMPLES, "mobilenet", "mobilenet.json"),
                    "-o", str(out), "--labels", labels], check=True,
                   capture_output=True)
    assert isinstance(model, bytes)
    assert out.read_bytes() == model


def test_changes_are_visible_on_the_callers_objects(capsys):
    graph = small_graph()
    axes = graph.qm_nx_graph.nodes["s"]["axes"]
    saved = []
    e = se.SarnicExporter(graph, "m", save_layers=saved, copy_layers=[("r", "in")],
                          input_names=["image"])
    e.run()
    g = graph.qm_nx_graph
    assert axes == [1, 2] and g.nodes["s"]["axes"] is axes
    assert graph.tensor_dict["w"].dtype == np.float32
    assert isinstance(g.nodes["r"]["block"], int)
    assert "block" not in g.nodes["w"]
    assert g.nodes["in"]["op"] == "variable"
    assert graph.tensor_dict["in"].dtype == np.float32
    assert not graph.tensor_dict["in"].any()
    assert g.has_edge("r", "sx_r_copy") and g.nodes["sx_r_copy"]["op"] == "copy"
    assert saved == ["in"]
    assert e.output_names == ["s"] and e.input_names == ["image"]
    assert "Used Greedy Planning" in capsys.readouterr().out


def test_errors_map_to_pythons_exceptions():
    graph = small_graph()
    graph.qm_nx_graph.nodes["r"]["quant_scale"] = [-1.0]
    with pytest.raises(ValueError) as err:
        se.SarnicExporter(graph, "m").run()
    assert err.value.args[0] == "Model contains negative scale values"
    graph = small_graph()
    del graph.qm_nx_graph.nodes["r"]["x"]
    with pytest.raises(KeyError) as key:
        se.SarnicExporter(graph, "m").run()
    assert key.value.args[0] == "x"
    graph = small_graph()
    graph.qm_nx_graph.nodes["r"]["leak"] = 2.5
    graph.qm_nx_graph.add_node("l", op="leaky_relu", x="r", alpha=[1, 2.5],
                               output_shape=[1])
    with pytest.raises(ValueError) as mixed:
        se.SarnicExporter(graph, "m", mem_map=False).run()
    assert mixed.value.args == ("Sequence has inconsistent or unsupported data:", "list")
    with pytest.raises(IndexError):
        se.SarnicExporter(small_graph(), "m", copy_layers=[["r"]]).run()


class PyRelu:
    """relu written in Python with the schema operations."""

    def __init__(self, exporter, mark=None):
        self.exporter = exporter
        self.mark = mark

    def export_relu(self, builder, graph, layers, name, node, alt_name=None):
        layer_name = builder.CreateString(self.mark or alt_name or name)
        shape = node["output_shape"]
        snxf.LayerStartShapeVector(builder, len(shape))
        for d in reversed(shape):
            builder.PrependInt32(d)
        layer_shape = builder.EndVector(len(shape))
        snxf.LayerStartInputsVector(builder, 1)
        builder.PrependUint32(layers[node["x"]])
        layer_inputs = builder.EndVector(1)
        return self.exporter.generate_layer(builder, node, snxf.Op.relu,
                                            layer_name, layer_shape,
                                            inputs=layer_inputs)


class Plugin:
    def __init__(self, mark=None):
        self.mark = mark

    def SarnicExporter(self, exporter):
        return PyRelu(exporter, self.mark)


def test_a_python_plugin_gives_the_built_in_bytes():
    built_in = se.SarnicExporter(small_graph(), "m").run()
    plugged = se.SarnicExporter(small_graph(), "m", user_ops=[Plugin()]).run()
    assert plugged == built_in


def test_plugins_in_order_and_without_the_member_skipped():
    e = se.SarnicExporter(small_graph(), "m",
                          user_ops=[object(), Plugin("first"), Plugin("second")])
    assert len(e.user_ops) == 2
    model = e.run()
    assert b"first" in model and b"second" not in model


def test_graph_files_round_trip(tmp_path):
    graph = small_graph()
    se.save_graph(graph, tmp_path / "g.json", "g.safetensors")
    back = se.load_graph(tmp_path / "g.json")
    assert list(back.qm_nx_graph.nodes) == list(graph.qm_nx_graph.nodes)
    assert list(back.qm_nx_graph.edges) == list(graph.qm_nx_graph.edges)
    assert back.qm_nx_graph.nodes["in"]["datatype"] == "float32"
    np.testing.assert_array_equal(back.tensor_dict["w"], graph.tensor_dict["w"])
    assert se.SarnicExporter(back, "m").run() == se.SarnicExporter(graph, "m").run()
    # Weights named as the graph file itself: refused, the saved pair kept.
    saved = (tmp_path / "g.json").read_bytes()
    with pytest.raises(se.ExportValueError, match="one file"):
        se.save_graph(graph, tmp_path / "g.json", "./g.json")
    assert (tmp_path / "g.json").read_bytes() == saved


def test_every_op_gives_the_same_bytes_as_the_tool(tmp_path):
    path = os.path.join(os.environ["SARNIC_TESTS_DATA_DIR"], "all_ops.json")
    model = se.SarnicExporter(se.load_graph(path), "all_ops").run()
    out = tmp_path / "m.snx"
    subprocess.run([SNX_EXPORT, path, "-o", str(out)], check=True,
                   capture_output=True)
    assert out.read_bytes() == model


SNX_INSPECT = os.path.join(os.path.dirname(SNX_EXPORT), "snx-inspect")


def zero_dim_graph_file(tmp_path):
    """A graph file with a zero-dimensional float64 constant, and a
    constants file with a zero-dimensional int32 array."""
    (tmp_path / "g.json").write_text("""{"format": "snx-graph", "version": 1,
      "orig_inputs": ["in"], "orig_outputs": ["c"],
      "nodes": [{"name": "in", "attrs": {"op": "external", "output_shape": [1, 4]}},
                {"name": "c", "attrs": {"op": "constant", "output_shape": []}}],
      "edges": [],
      "tensor_dict": {"c": {"__ndarray__": {"dtype": "float64", "shape": [], "data": [2.5]}}}}""")
    (tmp_path / "ext.json").write_text(
        '{"e": {"__ndarray__": {"dtype": "int32", "shape": [], "data": [3]}}}')
    return tmp_path / "g.json", tmp_path / "ext.json"


@pytest.mark.parametrize("source", ["graph file", "numpy"])
def test_zero_dimensional_arrays_give_the_bytes_and_graph_of_the_tool(tmp_path, source):
    graph_path, ext_path = zero_dim_graph_file(tmp_path)
    if source == "graph file":
        graph = se.load_graph(graph_path)
    else:
        graph = se.load_graph(graph_path)
        graph.tensor_dict["c"] = np.array(2.5)
    assert graph.tensor_dict["c"].shape == ()
    model = se.SarnicExporter(graph, "g",
                              ext_constants={"e": np.array(3, dtype=np.int32)}).run()
    out = tmp_path / "m.snx"
    subprocess.run([SNX_EXPORT, str(graph_path), "-o", str(out),
                    "--ext-constants", str(ext_path)], check=True, capture_output=True)
    assert out.read_bytes() == model
    # The converted constant stays zero-dimensional in the caller's graph.
    assert graph.tensor_dict["c"].shape == ()
    assert graph.tensor_dict["c"].dtype == np.float32
    described = subprocess.run([SNX_INSPECT, str(out), "--json"], check=True,
                               capture_output=True, text=True).stdout
    layers = {l["name"]: l for l in json.loads(described)["layers"]}
    for name in ("c", "e"):
        assert layers[name]["shape"] == []
        assert layers[name]["params"][0]["shape"] == []
        assert layers[name]["params"][0]["count"] == 1


class KeepsItsBuilder:
    """A plug-in that keeps the builder it was given and returns what it is
    told to."""
    kept = []

    def __init__(self, returns="layer"):
        self.returns = returns

    def SarnicExporter(self, exporter):
        outer = self

        class Relu(PyRelu):
            def export_relu(self, builder, graph, layers, name, node, alt_name=None):
                KeepsItsBuilder.kept.append(builder)
                layer = super().export_relu(builder, graph, layers, name, node, alt_name)
                tensor = exporter.export_tensor(builder, "t")
                return {"layer": layer, "tensor": tensor}.get(outer.returns, outer.returns)

        return Relu(exporter)


def test_a_kept_builder_raises_instead_of_crashing():
    se.SarnicExporter(small_graph(), "m", user_ops=[KeepsItsBuilder()]).run()
    kept = KeepsItsBuilder.kept[-1]
    for use in (lambda: snxf.LayerStart(kept), lambda: kept.CreateString("x"),
                lambda: se.SarnicExporter(small_graph(), "m").export_tensor(kept, "t")):
        with pytest.raises(ValueError, match="no longer valid"):
            use()


@pytest.mark.parametrize("returns", ["tensor", None, "text", -1, 2**40, True, 2.0])
def test_plugin_results_that_are_no_layer_name_the_plugin(returns):
    with pytest.raises(ValueError) as err:
        se.SarnicExporter(small_graph(), "m", user_ops=[KeepsItsBuilder(returns)]).run()
    assert err.value.args[0] == "Plug-in did not return a finished layer:"
    assert "Relu export_relu for node 'r' returned" in err.value.args[1]


def test_arrays_are_measured_before_they_are_copied():
    # 80 GB in name, 4 bytes in memory: a copy would try to allocate it all.
    view = np.broadcast_to(np.zeros(1, np.float32), (20000, 1000, 1000))
    g = nx.DiGraph()
    g.add_node("c", op="constant", output_shape=list(view.shape))
    for options in ({}, {"ext_constants": {"x": view}}):
        graph = se.Graph(g, [], ["c"], {"c": view if not options else np.zeros(1, np.float32)})
        with pytest.raises(ValueError) as err:
            se.SarnicExporter(graph, "m", **options).run()
        assert err.value.args[0] == "Model exceeds the 2 GiB limit of the format:"
        assert err.value.args[1].endswith(" bytes of tensor data")


@pytest.mark.parametrize("planner", ["standard", "best"])
def test_the_planners_by_what_they_do(planner):
    assert se.SarnicExporter(small_graph(), "m").planner == "standard"
    model = se.SarnicExporter(small_graph(), "m", planner=planner).run()
    assert model == se.SarnicExporter(small_graph(), "m").run()


def test_an_unknown_planner_is_refused_naming_the_valid_ones():
    with pytest.raises(ValueError) as err:
        se.SarnicExporter(small_graph(), "m", planner="spec").run()
    assert err.value.args == ('planner must be "standard" or "best":', "'spec'")


def test_check_graph_finds_what_is_wrong_and_changes_nothing():
    graph = small_graph()
    g = graph.qm_nx_graph
    g.add_node("r1", op="rleu", x="in", output_shape=[1, 4, 4])
    g.add_node("u", op="relu", x="r1", output_shape=[1, 4, 4])
    g.add_edge("in", "r1")
    before = {n: dict(g.nodes[n]) for n in g.nodes}
    findings = se.check_graph(graph)
    assert {(f.node, f.attribute) for f in findings} == {("r1", "op"), ("u", "x")}
    assert "did you mean 'relu'?" in findings[0].message
    assert str(findings[1]).startswith("node 'u' attribute 'x': names 'r1'")
    assert {n: dict(g.nodes[n]) for n in g.nodes} == before
    assert se.check_graph(small_graph()) == []
    path = os.path.join(os.environ["SARNIC_TESTS_DATA_DIR"], "all_ops.json")
    assert se.check_graph(se.load_graph(path)) == []


def test_a_missing_layer_names_its_consumer_and_keeps_the_key():
    graph = small_graph()
    graph.qm_nx_graph.remove_edge("in", "r")
    graph.qm_nx_graph.add_node("z", op="relu", x="r", output_shape=[1, 4, 4])
    graph.qm_nx_graph.nodes["r"]["x"] = "z"
    graph.qm_nx_graph.add_edge("r", "z")
    with pytest.raises(KeyError) as err:
        se.SarnicExporter(graph, "m", mem_map=False).run()
    assert err.value.args[0] == "z"
    assert "node 'r' attribute 'x': no layer for 'z'" in err.value.args[1]


def test_verify_model_finds_nothing_in_exported_models_and_refuses_damage():
    for planner in ("standard", "best"):
        model = se.SarnicExporter(small_graph(), "m", planner=planner).run()
        assert se.verify_model(model) == []
    path = os.path.join(os.environ["SARNIC_TESTS_DATA_DIR"], "all_ops.json")
    assert se.verify_model(se.SarnicExporter(se.load_graph(path), "m").run()) == []
    damaged = se.verify_model(model[:-8])
    assert len(damaged) == 1 and "corrupt or truncated" in damaged[0]


def test_every_failure_is_an_export_error_and_its_builtin_kind(tmp_path):
    graph = small_graph()
    del graph.qm_nx_graph.nodes["r"]["x"]
    with pytest.raises(se.ExportKeyError) as key:
        se.SarnicExporter(graph, "m").run()
    assert isinstance(key.value, KeyError) and isinstance(key.value, se.ExportError)
    assert key.value.args[0] == "x"
    assert str(key.value) == "node 'r' has no 'x'"
    assert key.value.node == "r"
    with pytest.raises(se.ExportValueError) as value:
        se.SarnicExporter(small_graph(), "m", planner="spec").run()
    assert isinstance(value.value, ValueError)
    assert value.value.args[0] == 'planner must be "standard" or "best":'
    assert value.value.detail == "'spec'"
    assert str(value.value) == 'planner must be "standard" or "best": \'spec\''
    with pytest.raises(se.ExportOSError) as missing:
        se.load_graph("/nonexistent/g.json")
    assert isinstance(missing.value, OSError)
    assert missing.value.args[0] == "cannot read graph file"
    assert "No such file" in missing.value.detail
    bad = tmp_path / "bad.json"
    bad.write_text('{"format": "snx-graph", "version": 2, "orig_inputs": [], '
                   '"orig_outputs": [], "nodes": [], "edges": []}')
    with pytest.raises(se.ExportValueError) as form:
        se.load_graph(bad)
    assert (form.value.file, form.value.place) == (str(bad), "version")
    assert form.value.args[0] == f"{bad}: version: must be 1, not 2"
    with pytest.raises(se.ExportTypeError, match="name must be a str, not NoneType"):
        se.SarnicExporter(small_graph(), None)
    with pytest.raises(TypeError, match="graph must be a Graph"):
        se.SarnicExporter(object(), "m")


def test_shapes_and_integer_lists_may_be_numpy_arrays():
    expected = se.SarnicExporter(small_graph(), "m").run()
    graph = small_graph()
    g = graph.qm_nx_graph
    for name in ("in", "r"):
        g.nodes[name]["output_shape"] = np.array(g.nodes[name]["output_shape"])
    g.nodes["s"]["axes"] = np.array([2, 1], dtype=np.int32)
    assert se.SarnicExporter(graph, "m").run() == expected
    assert se.SarnicExporter(small_graph(), "m", user_ops=None).user_ops == []


def test_the_sample_host_exports_with_its_plugin():
    import host_sample
    assert host_sample.export()[4:8] == b"SNXF"


def test_help_documents_every_public_name():
    for name in se.__all__:
        obj = getattr(se, name)
        assert (obj.__doc__ or "").strip(), name
    for name in ("run", "export_tensor", "generate_layer"):
        assert getattr(se.SarnicExporter, name).__doc__.strip(), name
    assert "builder" in snxf.LayerStart.__doc__  # real parameter names


@pytest.mark.parametrize("option, value, expected", [
    ("labels", 5, "labels must be a sequence of texts or None, not int"),
    ("save_layers", 5, "save_layers must be a list of node names or None, not int"),
    ("copy_layers", [5], "copy_layers must be a list of (source, target) name pairs"),
    ("planner", 3, 'planner must be "standard" or "best", not int'),
    ("svm", 3, "svm must be a path or None, not int"),
    ("ext_constants", [1], "ext_constants must be a dict of names to arrays or None"),
    ("output_names", "probs", "output_names must be a sequence of texts or None, not str"),
])
def test_options_of_the_wrong_kind_name_themselves(option, value, expected):
    with pytest.raises(se.ExportTypeError) as err:
        se.SarnicExporter(small_graph(), "m", **{option: value})
    assert isinstance(err.value, TypeError)
    assert str(err.value).startswith(expected)


@pytest.mark.parametrize("option, value, expected", [
    ("labels", 5, "labels must be a sequence of texts or None, not int"),
    ("planner", 3, 'planner must be "standard" or "best", not int'),
    ("input_names", [1], "input_names must be a sequence of texts or None, not list"),
])
def test_options_set_after_construction_are_checked_by_run(option, value, expected):
    exporter = se.SarnicExporter(small_graph(), "m")
    setattr(exporter, option, value)
    with pytest.raises(se.ExportTypeError) as err:
        exporter.run()
    assert str(err.value).startswith(expected)


def _surrogate_name():
    graph = small_graph()
    graph.qm_nx_graph.add_node("a\udc80", op="external", output_shape=[1])
    return graph


def _undirected():
    graph = small_graph()
    graph.qm_nx_graph = nx.Graph(graph.qm_nx_graph)
    return graph


def _inputs(names):
    graph = small_graph()
    graph.orig_inputs = names
    return graph


def _tensors_as_list():
    graph = small_graph()
    graph.tensor_dict = [1, 2]
    return graph


@pytest.mark.parametrize("make, kind, expected", [
    (lambda: _inputs([1]), se.ExportTypeError,
     "orig_inputs must be a list of node names (texts), not [1]"),
    (lambda: _inputs("in"), se.ExportTypeError,
     "orig_inputs must be a list of node names (texts), not 'in'"),
    (_surrogate_name, se.ExportValueError,
     "node name is not valid text: 'a\\udc80' holds a lone surrogate"),
    (_undirected, se.ExportTypeError,
     "qm_nx_graph must be a directed graph (networkx.DiGraph), not Graph"),
    (_tensors_as_list, se.ExportTypeError,
     "tensor_dict must be a dict of node names to arrays, not list"),
])
def test_graphs_of_the_wrong_kind_are_export_errors_naming_the_argument(make, kind, expected):
    for action in (lambda g: se.SarnicExporter(g, "m").run(), se.check_graph):
        with pytest.raises(kind) as err:
            action(make())
        assert str(err.value).startswith(expected), str(err.value)


class TensorShapes:
    """A plug-in whose relu writes a tensor of the shape it is given."""
    seen: List[Any] = []

    def __init__(self, shape: Any) -> None:
        self.shape = shape

    def SarnicExporter(self, exporter: Any) -> Any:
        shape = self.shape

        class Writer:
            def export_relu(self, builder, graph, layers, name, node, alt_name=None):
                TensorShapes.seen.append(exporter.export_tensor(builder, "t", shape))
                return exporter.generate_layer(builder, node, snxf.Op.relu,
                                               builder.CreateString(name), 0)
        return Writer()


def test_constructor_and_plugin_helpers_refuse_wrong_kinds_by_name():
    with pytest.raises(se.ExportTypeError, match="tensor_dict must be a dict"):
        se.Graph(nx.DiGraph(), [], [], [1, 2])  # type: ignore[arg-type]
    with pytest.raises(se.ExportTypeError,
                       match=r"export_tensor shape must be a list of integers, not \[1.5\]"):
        se.SarnicExporter(small_graph(), "m", user_ops=[TensorShapes([1.5])]).run()
    se.SarnicExporter(small_graph(), "m", user_ops=[TensorShapes(np.array([2, 3]))]).run()
    assert isinstance(TensorShapes.seen[-1], int)


def test_findings_say_whether_the_export_would_refuse_the_graph():
    graph = small_graph()
    graph.qm_nx_graph.nodes["r"]["x"] = "r"
    findings = se.check_graph(graph)
    assert any(f.severity == "error" and f.node == "r" and "itself" in f.message
               for f in findings), findings
    assert all(f.severity in ("error", "warning") for f in findings)


def test_sigterm_removes_the_temporary_files_of_save_graph(tmp_path):
    import signal
    import sys
    import time
    script = (
        "import numpy as np, networkx as nx, sarnic_exporter as se, sys\n"
        "g = nx.DiGraph(); g.add_node('w', op='constant', output_shape=[1 << 27])\n"
        "graph = se.Graph(g, [], ['w'], {'w': np.ones(1 << 27, np.float32)})\n"
        "for _ in range(1000): se.save_graph(graph, sys.argv[1], 'w.safetensors')\n")
    child = subprocess.Popen([sys.executable, "-c", script, str(tmp_path / "g.json")])
    try:
        deadline = time.time() + 60
        while time.time() < deadline and not any(
                p.name.startswith(".w.safetensors.") for p in tmp_path.iterdir()):
            time.sleep(0.001)
        child.send_signal(signal.SIGTERM)
        assert child.wait(60) == -signal.SIGTERM
    finally:
        child.kill()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_every_value_option_is_a_keyword_checked_by_its_description():
    import inspect
    params = inspect.signature(se.SarnicExporter.__init__).parameters
    described = se._core.value_options()
    assert [n for n, _, _ in described] == ["mem_map", "opt_map", "save_map", "svm",
                                           "normalization", "planner"]
    for name, kind, choices in described:
        assert name in params, name
        exporter = se.SarnicExporter(small_graph(), "m")
        assert hasattr(exporter, name)
        if kind == "text" and choices:
            setattr(exporter, name, "no such choice")
            with pytest.raises(se.ExportValueError, match=f"{name} must be"):
                exporter.run()
        if kind in ("text", "path"):
            with pytest.raises(se.ExportTypeError, match=name):
                se.SarnicExporter(small_graph(), "m", **{name: 3})
