"""Exports graphs held as NetworkX directed graphs with NumPy arrays into
SNX model files, through the native exporter.

Example::

    import sarnic_exporter as se

    graph = se.load_graph("examples/mobilenet/mobilenet.json")
    model = se.SarnicExporter(graph, "mobilenet").run()   # bytes
    assert se.verify_model(model) == []
    outputs = se.Interpreter(model).run({"image": image})   # name -> array

A plug-in is any object with a ``SarnicExporter`` member: called with the
exporter, it returns an object whose ``export_<op>`` methods take precedence
over the built-in ones (see :class:`PluginExporter`).
"""
import os
import sys
from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import networkx as _nx
import numpy as _np

from . import _core
from ._benchmark import BenchmarkReport, LayerTime, TypeTime, report_from_core
from ._quant import LayerError, OutputError, QuantReport, report_from_json
from . import snxf
from .errors import (ExportError, ExportIndexError, ExportKeyError, ExportOSError,
                     ExportTypeError, ExportValueError)

__version__: str = _core.__version__

__all__ = ["__version__", "quantize", "QuantReport", "OutputError", "LayerError",
           "BenchmarkReport", "LayerTime", "TypeTime", "Comparison", "compare_models", "SarnicExporter", "Graph", "Interpreter", "TensorSpec", "PluginExporter", "Finding", "check_graph", "verify_model",
           "load_graph", "load_onnx", "save_graph", "snxf", "ExportError", "ExportValueError",
           "ExportKeyError", "ExportTypeError", "ExportIndexError", "ExportOSError"]


class Graph:
    """The exporter's input.

    Args:
        qm_nx_graph: a ``networkx.DiGraph`` whose nodes are named and carry
            their attributes (``op``, ``output_shape``, the input names ...);
            a new empty graph when omitted.
        orig_inputs: the names of the model's input nodes, in order.
        orig_outputs: the names of the model's output nodes, in order.
        tensor_dict: node name to the NumPy array of a constant or variable.
    """

    def __init__(self, qm_nx_graph: Optional[Any] = None,
                 orig_inputs: Optional[Sequence[str]] = None,
                 orig_outputs: Optional[Sequence[str]] = None,
                 tensor_dict: Optional[Dict[str, Any]] = None) -> None:
        if tensor_dict is not None and not isinstance(tensor_dict, Mapping):
            raise ExportTypeError(
                f"tensor_dict must be a dict of node names to arrays, not "
                f"{type(tensor_dict).__name__}")
        self.qm_nx_graph: Any = qm_nx_graph if qm_nx_graph is not None else _nx.DiGraph()
        self.orig_inputs: List[str] = list(orig_inputs or [])
        self.orig_outputs: List[str] = list(orig_outputs or [])
        self.tensor_dict: Dict[str, Any] = dict(tensor_dict or {})

    def optimize(self) -> None:
        """Called once by run() before the export; changes nothing here."""
        return None


class PluginExporter:
    """The protocol of a plug-in's exporter: what ``plugin.SarnicExporter(e)``
    returns. Subclass it or write the same methods.

    Each ``export_<op>(builder, graph, layers, name, node, alt_name=None)``
    writes exactly one Layer table for a node whose ``op`` is ``<op>`` and
    returns its offset (an int that ``snxf.LayerEnd`` or
    ``exporter.generate_layer`` returned in this call):

    - ``builder``: the export's builder, valid for this call only;
    - ``graph``: the caller's Graph;
    - ``layers``: node name to the position of its layer, for every node
      exported so far (all of this node's inputs);
    - ``name``: the node's name; ``node``: its attribute dict;
    - ``alt_name``: the alternative layer name of a renamed input or output.

    Example::

        class Relu(se.PluginExporter):
            def __init__(self, exporter):
                self.exporter = exporter
            def export_relu(self, builder, graph, layers, name, node, alt_name=None):
                ...
                return self.exporter.generate_layer(builder, node, snxf.Op.relu, ...)

        class Plugin:
            SarnicExporter = Relu
    """


def _names(value: Any) -> bool:
    return (isinstance(value, Sequence) and not isinstance(value, (str, bytes))
            and all(isinstance(v, str) for v in value))


def _check_options(**options: Any) -> None:
    """Refuses an option of the wrong kind with a TypeError naming it."""
    expected: Dict[str, Tuple[str, Callable[[Any], bool]]] = {
        "save_layers": ("a list of node names or None",
                        lambda v: v is None or (isinstance(v, list) and _names(v))),
        "copy_layers": ("a list of (source, target) name pairs or None",
                        lambda v: v is None or (isinstance(v, Sequence) and all(
                            _names(p) for p in v))),
        "ext_constants": ("a dict of names to arrays or None",
                          lambda v: v is None or isinstance(v, dict)),
        "labels": ("a sequence of texts or None", lambda v: v is None or _names(v)),
        "input_names": ("a sequence of texts or None",
                        lambda v: v is None or _names(v)),
        "output_names": ("a sequence of texts or None",
                         lambda v: v is None or _names(v)),
        "user_ops": ("a sequence of plug-ins or None",
                     lambda v: v is None or (isinstance(v, Sequence)
                                             and not isinstance(v, str))),
    }
    # The options of one value are described once, in the library.
    for name, kind, choices in _core.value_options():
        if kind == "text":
            said = " or ".join(f'"{c}"' for c in choices) if choices else "a text"
            expected[name] = (said, lambda v: isinstance(v, str))
        elif kind == "path":
            expected[name] = ("a path or None",
                              lambda v: v is None or isinstance(v, (str, os.PathLike)))
    for name, value in options.items():
        if name not in expected:
            continue  # a switch: any value, read by its truth
        what, ok = expected[name]
        if not ok(value):
            raise ExportTypeError(f"{name} must be {what}, not {type(value).__name__}")


# The options of one value, as the library describes them.
_VALUE_OPTION_NAMES = tuple(name for name, _, _ in _core.value_options())
_OPTION_NAMES = ("save_layers", "copy_layers", "ext_constants", "labels", "input_names",
                 "output_names") + _VALUE_OPTION_NAMES


def _check_graph_and_name(graph: Any, name: Any) -> None:
    if not isinstance(name, str):
        raise ExportTypeError(
            f"name must be a str, not {type(name).__name__}")
    for member in ("qm_nx_graph", "orig_inputs", "orig_outputs", "tensor_dict"):
        if not hasattr(graph, member):
            raise ExportTypeError(
                f"graph must be a Graph (with qm_nx_graph, orig_inputs, "
                f"orig_outputs and tensor_dict), not {type(graph).__name__}")


class SarnicExporter:
    """Exports ``graph`` as the model ``name``; :meth:`run` returns its bytes.

    Args:
        graph: the :class:`Graph` (or any object with its four members).
        name: the model name stored in the file.
        mem_map: plan the engine's scratch arena (each layer gets a block).
        opt_map: release outputs no longer needed while planning, and print
            the plan's statistics.
        save_map: a PNG path, or a folder that gets ``mem_map.png``, for a
            picture of the plan (up to 768 layers).
        save_layers: names of nodes whose outputs stay intact for the whole
            run; the list is extended with the copy targets.
        copy_layers: (source, target) pairs: the output of source is copied
            into target, a constant or model input that becomes a variable.
        svm: a folder with ``kld.json`` and the ``.bin`` parameter files of
            an SVM classifier head to append.
        ext_constants: name to NumPy array: constant layers ahead of the
            graph's, written as float32.
        labels: the class labels stored in the model.
        input_names: alternative layer names for the model's inputs.
        output_names: alternative layer names for the model's outputs.
        user_ops: plug-ins (objects with a ``SarnicExporter`` member).
        normalization: the text stored as the input image normalization.
        planner: ``"standard"`` or ``"best"`` (also tries a first-fit plan
            and keeps it when it needs fewer blocks).

    Raises:
        ExportTypeError: ``graph``, ``name`` or an option of the wrong kind
            (the message names it and what it must be).
    """

    def __init__(self, graph: Any, name: str, mem_map: bool = True,
                 opt_map: bool = True, save_map: Optional[str] = None,
                 save_layers: Optional[List[str]] = None,
                 copy_layers: Optional[List[Sequence[str]]] = None,
                 svm: Optional[str] = None,
                 ext_constants: Optional[Dict[str, Any]] = None,
                 labels: Optional[Sequence[str]] = None,
                 input_names: Optional[Sequence[str]] = None,
                 output_names: Optional[Sequence[str]] = None,
                 user_ops: Optional[Sequence[Any]] = None,
                 normalization: str = "none", *, planner: str = "standard") -> None:
        _check_graph_and_name(graph, name)
        given = locals()
        _check_options(save_layers=save_layers, copy_layers=copy_layers,
                       ext_constants=ext_constants, labels=labels,
                       input_names=input_names, output_names=output_names,
                       user_ops=user_ops,
                       **{name: given[name] for name in _VALUE_OPTION_NAMES})
        if user_ops is None:
            user_ops = []
        if save_layers is None:
            save_layers = []
        if copy_layers is None:
            copy_layers = []
        self.graph = graph
        self.name = name
        self.mem_map = mem_map
        self.opt_map = opt_map
        self.save_map = save_map
        self.save_layers = save_layers
        self.copy_layers = copy_layers
        self.svm = svm
        self.ext_constants = ext_constants
        self.labels = labels
        self.input_names = input_names
        self.output_names = output_names
        self.normalization = normalization
        self.alternate_input_error_message = (
            "The alternate input has a value greater than 32768")
        self.planner = planner
        self.user_ops: List[Any] = []
        for plugin in user_ops:
            if hasattr(plugin, "SarnicExporter"):
                self.user_ops.append(plugin.SarnicExporter(self))

    def export_tensor(self, builder: Any, name: str,
                      shape: Optional[Sequence[int]] = None, data: Any = None) -> int:
        """Writes one Tensor table (for plug-ins) and returns its offset.

        ``shape`` becomes the tensor's shape vector; ``data`` (a text, a
        number, a NumPy array, or a list of texts, integers or reals) its
        data, encoded by its kind.
        """
        return _core.export_tensor(builder, name, shape, data)

    def generate_layer(self, builder: Any, node: Dict[str, Any], op: Any,
                       name: int, shape: int, inputs: Optional[int] = None,
                       params: Optional[int] = None) -> int:
        """Writes the common Layer table of ``node`` (for plug-ins): type
        ``op``, the name and shape offsets, the input and parameter vectors
        when given, and the node's block, datatype and quantization.
        Returns the layer's offset."""
        return _core.generate_layer(builder, node, op, name, shape, inputs or 0,
                                    params or 0)

    def run(self, check: bool = False, strict: bool = False) -> bytes:
        """Exports the graph and returns the model as bytes.

        The graph and the options are changed as the export changes them:
        blocks on the nodes, copy nodes, float64 constants as float32, sorted
        axes, the saved layers and the names used. The plan's statistics and
        warnings are printed on standard output.

        Args:
            check: only check the graph, as snx-export --check does: each
                finding is printed on standard error as a "warning:" or
                "error:" line, nothing is exported and empty bytes are
                returned; any finding raises ExportValueError instead.
            strict: check the graph first, as snx-export --strict does: any
                finding (printed the same way) raises ExportValueError and
                nothing is exported.

        Raises:
            ExportError: any failure, as its built-in kind too
                (ExportValueError, ExportKeyError, ...); no model is returned.
        """
        # Options may have been set since construction: the same checks.
        _check_graph_and_name(self.graph, self.name)
        _check_options(**{k: getattr(self, k) for k in _OPTION_NAMES})
        if check or strict:
            findings = _core.check_graph(self.graph, bool(self.mem_map))
            for node, attribute, message, severity in findings:
                place = f"node '{node}'" + (f" attribute '{attribute}'" if attribute else "")
                line = f"{severity}: {place}: {message}"
                # One finding, one line, whatever the names hold.
                print(line.replace("\r", "\\r").replace("\n", "\\n"), file=sys.stderr)
            if findings:
                raise ExportValueError(
                    f"the check found {len(findings)} problem(s) in the graph; "
                    "nothing was exported", "")
            if check:
                return b""
        self.graph.optimize()
        changes: Dict[str, Any] = {}
        try:
            return _core.run(self, changes)
        finally:
            self._write_back(changes)

    def _write_back(self, changes: Dict[str, Any]) -> None:
        if not changes:
            return  # refused before the export started
        g = self.graph.qm_nx_graph
        # NetworkX keeps each node's attribute dict in g._node: looked up
        # there directly, one dict lookup a node.
        node_dicts = getattr(g, "_node", None)
        if not isinstance(node_dicts, dict):
            node_dicts = None
        for name, attrs in changes.get("nodes", []):
            node = node_dicts.get(name) if node_dicts is not None else (
                g.nodes[name] if name in g else None)
            if node is None:
                g.add_node(name)
                node = g.nodes[name]
            for key, value in attrs.items():
                old = node.get(key)
                if isinstance(old, list) and isinstance(value, list):
                    old[:] = value  # sorted in place: the caller's own list
                else:
                    node[key] = value
        for u, v in changes.get("edges", []):
            g.add_edge(u, v)
        self.graph.tensor_dict.update(changes.get("tensors", {}))
        self.save_layers.extend(changes.get("saved", []))
        if "input_names" in changes:
            self.input_names = changes["input_names"]
        if "output_names" in changes:
            self.output_names = changes["output_names"]


def load_graph(path: Any) -> Graph:
    """Loads a graph file (JSON plus its safetensors weights) into a Graph.

    The arrays view the weights file, mapped into memory, without a copy.
    If another process truncates or rewrites that file while they are in
    use, reading a page it lost raises SIGBUS, which ends the interpreter
    (as with any ``numpy.memmap``); copy the arrays first (``np.array(a)``)
    when the file may change under them.

    Raises:
        ExportOSError: the file cannot be read.
        ExportValueError: the file breaks the graph format (the message
            names the file and the place).
    """
    nodes, edges, inputs, outputs, tensors = _core.load_graph(str(path))
    g = _nx.DiGraph()
    for name, attrs in nodes:
        g.add_node(name, **attrs)
    g.add_edges_from(edges)
    return Graph(g, inputs, outputs, tensors)


def load_onnx(model: Any, dims: Optional[Mapping[str, int]] = None,
              nhwc_io: bool = False) -> Graph:
    """Imports an ONNX model as a Graph, as snx-import does: ONNX's checker
    and shape inference first, then each operation by the importer's table
    (docs/onnx.md).

    Args:
        model: the ONNX model: a path (external tensor data is read only
            from files inside its folder), its bytes, or an
            ``onnx.ModelProto`` (bytes and a ModelProto have no folder: their
            tensors must be inside them).
        dims: values for the model's dynamic dimensions, by name
            (``{"batch": 1}``) or, for an unnamed one, as ``"INPUT:AXIS"``
            (``{"x:0": 1}``); every one left open is an error.
        nhwc_io: the model's 4-D inputs and outputs in NHWC order; by
            default they keep the ONNX model's NCHW shapes.

    Raises:
        ExportOSError: the file cannot be read.
        ExportValueError: the model cannot be imported: the message names
            the file and the node, or lists every unsupported operation.
    """
    fixed = {}
    for k, v in (dims or {}).items():
        if not isinstance(k, str):
            raise ExportTypeError(f"dims: the name {k!r} is not a text")
        if isinstance(v, bool) or not isinstance(v, (int, _np.integer)):
            raise ExportTypeError(f"dims: {k}={v!r} is not a whole number")
        if not 0 < int(v) < 2**63:
            raise ExportValueError(f"dims: {k}={v} is not a positive whole number a "
                                   "dimension can have")
        fixed[k] = int(v)
    if isinstance(model, (bytes, bytearray, memoryview)):
        imported = _core.import_onnx_bytes(bytes(model), fixed, bool(nhwc_io))
    elif hasattr(model, "SerializeToString") and not isinstance(model, (str, os.PathLike)):
        imported = _core.import_onnx_bytes(model.SerializeToString(), fixed, bool(nhwc_io))
    else:
        imported = _core.import_onnx(os.fspath(model), fixed, bool(nhwc_io))
    nodes, edges, inputs, outputs, tensors = imported
    g = _nx.DiGraph()
    for name, attrs in nodes:
        g.add_node(name, **attrs)
    g.add_edges_from(edges)
    return Graph(g, inputs, outputs, tensors)


def save_graph(graph: Graph, path: Any, weights: Optional[str] = None) -> None:
    """Writes a Graph as a graph file; with ``weights``, its arrays go into
    that safetensors file beside it. Both files are written atomically."""
    g = graph.qm_nx_graph
    nodes = [(n, dict(g.nodes[n])) for n in g.nodes]
    edges = [(u, v) for u in g.nodes for v in g.successors(u)]
    _core.save_graph(nodes, edges, list(graph.orig_inputs), list(graph.orig_outputs),
                     dict(graph.tensor_dict), str(path), weights)


def _sample_set(samples: Any, what: str) -> Dict[str, Any]:
    """A set of samples: a mapping of input names to arrays, or the path of
    an .npz file holding them."""
    if isinstance(samples, (str, os.PathLike)):
        with _np.load(os.fspath(samples), allow_pickle=False) as npz:
            return {k: _np.ascontiguousarray(npz[k]) for k in npz.files}
    if not isinstance(samples, Mapping):
        raise ExportTypeError(f"{what} must be a dict of input names to arrays "
                              f"or an .npz path, not {type(samples).__name__}")
    return {str(k): _np.ascontiguousarray(v) for k, v in samples.items()}


def quantize(graph: Graph, calibration: Any, *, method: str = "minmax",
             percentile: float = 99.99, io: str = "float",
             keep_float: Sequence[str] = (),
             validation: Any = None) -> Tuple[Graph, QuantReport]:
    """Quantises a float graph to int8 (post-training), as snx-export
    --quantize int8 does; `graph` is not changed.

    Args:
        calibration: the samples that set the ranges: a dict of model input
            names to arrays (or an .npz path), the samples stacked on the
            first axis ([N, 3, 32, 32] for an input [1, 3, 32, 32]).
        method: "minmax", "percentile" or "entropy".
        percentile: the percentile of the "percentile" method.
        io: "float" (the model takes and gives float32) or "int8".
        keep_float: nodes left in float.
        validation: held-out samples, as `calibration`, for the report only.

    Returns:
        The quantised graph and its report.

    Raises:
        ExportValueError: bad samples (an input missing or extra, a wrong
            shape or type, NaN or infinity, none at all), a node of
            `keep_float` that is not in the graph, or a range that is not
            finite; the message names the input or the layer.
    """
    calib = _sample_set(calibration, "calibration")
    valid = None if validation is None else _sample_set(validation, "validation")
    imported, doc, text = _core.quantize(graph, calib, str(method), float(percentile),
                                         str(io), [str(k) for k in keep_float], valid)
    nodes, edges, inputs, outputs, tensors = imported
    g = _nx.DiGraph()
    for name, attrs in nodes:
        g.add_node(name, **attrs)
    g.add_edges_from(edges)
    import json
    return Graph(g, inputs, outputs, tensors), report_from_json(json.loads(doc), text)


class Finding(NamedTuple):
    """What the graph checker found: the node, its attribute (empty when the
    finding is about the node itself), what is wrong, and its severity:
    ``"error"`` when the export would refuse the graph, otherwise
    ``"warning"``."""
    node: str
    attribute: str
    message: str
    severity: str = "warning"

    def __str__(self) -> str:
        where = f"node '{self.node}'"
        if self.attribute:
            where += f" attribute '{self.attribute}'"
        return f"{where}: {self.message}"


def check_graph(graph: Graph) -> List[Finding]:
    """Checks `graph` as snx-export --check does and returns the findings, a
    list of Finding; empty when nothing is wrong. The graph is not changed."""
    return [Finding(*f) for f in _core.check_graph(graph)]


def verify_model(model: bytes) -> List[str]:
    """Checks a model's bytes as snx-inspect --verify does: its structure,
    parameter sizes and arena plan. Returns one text per violation; an empty
    list when the model is sound."""
    return list(_core.verify_model(bytes(model)))


class TensorSpec(NamedTuple):
    """A model input or output: its layer's name, shape and NumPy element
    type name ("float32", "int8" ...)."""
    name: str
    shape: Tuple[int, ...]
    dtype: str


def _check_threads(threads: Any) -> None:
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise ExportTypeError(f"threads must be a whole number, not {threads!r}")
    if not 1 <= threads <= 256:
        raise ExportValueError(f"threads {threads} must be 1 to 256", "")


class Interpreter:
    """Runs an SNX model with the reference interpreter: each layer computes
    what docs/semantics.md declares, inside one arena laid out as the
    model's memory plan says (as the device runs it).

    Args:
        model: the model's bytes (as ``SarnicExporter.run()`` returns them)
            or the path of a model file.
        max_memory: the most bytes a run may hold at once (2 GiB when
            None); a model that needs more is refused when loaded, and a
            run whose options need more when it starts.
        max_operations: the most operations a run may take (multiply-adds,
            window elements, elements read and written; 1e11 when None).

    Raises:
        ExportValueError: the model is damaged, a layer's stored shape
            differs from what its inputs and parameters give, a layer type
            has no declared meaning (named with the layer), a name is not
            UTF-8, two outputs share a name, or a run would pass a limit.
        ExportTypeError: a limit that is not a number.
    """

    def __init__(self, model: Any, *, max_memory: Optional[int] = None,
                 max_operations: Optional[float] = None) -> None:
        source = bytes(model) if isinstance(model, (bytes, bytearray, memoryview)) \
            else os.fspath(model)
        self._core = _core.Interpreter(source, max_memory=max_memory,
                                       max_operations=max_operations)

    @property
    def inputs(self) -> List[TensorSpec]:
        """The model's inputs, in model order."""
        return [TensorSpec(*s) for s in self._core.inputs]

    @property
    def outputs(self) -> List[TensorSpec]:
        """The model's outputs, in model order."""
        return [TensorSpec(*s) for s in self._core.outputs]

    @property
    def arena_bytes(self) -> int:
        """Bytes of the planned arena the layers run in (0 without a plan)."""
        return int(self._core.arena_bytes)

    @property
    def operations(self) -> float:
        """The operations a run takes, as the max_operations limit counts
        them."""
        return float(self._core.operations)

    def run(self, inputs: Mapping[str, Any], all_layers: bool = False,
            separate_buffers: bool = False, threads: int = 1) -> Dict[str, Any]:
        """Runs the model once.

        Args:
            inputs: one array per model input, by name, of exactly its shape
                and element type.
            all_layers: return every layer's output, named by layer, in
                model order, instead of the model's outputs alone.
            separate_buffers: give every output a buffer of its own instead
                of the planned arena; the results are identical for a sound
                plan.
            threads: threads the convolutions and dense layers split their
                work over (1 to 256); the results are the same bits for
                every count.

        Returns:
            Output (or layer) name to a new NumPy array.
        """
        _check_threads(threads)
        return dict(self._core.run(dict(inputs), all_layers, separate_buffers, threads))

    def benchmark(self, runs: int = 20, warmup: int = 3,
                  inputs: Optional[Mapping[str, Any]] = None,
                  threads: int = 1) -> BenchmarkReport:
        """Times the model as ``snx-run --benchmark`` does: ``warmup``
        untimed runs, then ``runs`` timed ones in the planned arena, each
        layer timed.

        Args:
            runs: timed runs (1 to 1,000,000).
            warmup: untimed runs first (0 to 1,000,000).
            inputs: one array per model input; random ones in the declared
                shapes and element types when None.
            threads: as for ``run``.

        Returns:
            The latency per inference, the memory, and where the time goes
            (``str()`` of it is the table snx-run prints).

        Raises:
            ExportValueError: runs or warmup out of range, or inputs that do
                not fit the model.
        """
        if isinstance(runs, bool) or not isinstance(runs, int) \
                or isinstance(warmup, bool) or not isinstance(warmup, int):
            raise ExportTypeError("benchmark: runs and warmup are whole numbers")
        if not 1 <= runs <= 1_000_000 or not 0 <= warmup <= 1_000_000:
            raise ExportValueError(
                f"benchmark: runs {runs} must be 1 to 1,000,000 and warmup {warmup} "
                "0 to 1,000,000", "")
        _check_threads(threads)
        return report_from_core(self._core.benchmark(
            runs, warmup, None if inputs is None else dict(inputs), threads))


class Comparison(NamedTuple):
    """One output of two models run on the same inputs: the largest and the
    mean absolute difference, and the cosine similarity (1.0 for two zero
    arrays), as ``snx-run A --compare B`` prints them."""
    largest: float
    mean: float
    cosine: float


def compare_models(a: Any, b: Any, inputs: Mapping[str, Any]) -> Dict[str, Comparison]:
    """Runs two models (bytes, paths or Interpreters) on the same inputs and
    compares each output of ``a`` with ``b``'s of the same name, as
    ``snx-run A --compare B`` does: how a converted or quantised model is
    checked against another.

    Raises:
        ExportValueError: ``b`` lacks an output of ``a``, or its shape
            differs, or the inputs do not fit either model.
    """
    first = a if isinstance(a, Interpreter) else Interpreter(a)
    second = b if isinstance(b, Interpreter) else Interpreter(b)
    ours, theirs = first.run(inputs), second.run(inputs)
    out: Dict[str, Comparison] = {}
    for name, x in ours.items():
        if name not in theirs:
            raise ExportValueError(f"the other model has no output '{name}'", "")
        y = theirs[name]
        if x.shape != y.shape:
            raise ExportValueError(
                f"output '{name}' is {list(x.shape)} in one model and {list(y.shape)} "
                "in the other", "")
        x64, y64 = _np.asarray(x, _np.float64).ravel(), _np.asarray(y, _np.float64).ravel()
        d = _np.abs(x64 - y64)
        na, nb = float(x64 @ x64), float(y64 @ y64)
        cosine = (1.0 if na == 0 and nb == 0 else 0.0 if na == 0 or nb == 0
                  else float(x64 @ y64) / float(_np.sqrt(na * nb)))
        out[name] = Comparison(float(d.max()) if d.size else 0.0,
                               float(d.mean()) if d.size else 0.0, cosine)
    return out
