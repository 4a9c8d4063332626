"""Exports graphs held as NetworkX directed graphs with NumPy arrays into
SNX model files, through the native exporter."""
from typing import NamedTuple

import networkx as _nx
import numpy as _np

from . import _core
from . import snxf
from .errors import (ExportError, ExportIndexError, ExportKeyError, ExportOSError,
                     ExportTypeError, ExportValueError)

__all__ = ["SarnicExporter", "Graph", "Finding", "check_graph", "verify_model",
           "load_graph", "save_graph", "snxf", "ExportError", "ExportValueError",
           "ExportKeyError", "ExportTypeError", "ExportIndexError", "ExportOSError"]


class Graph:
    """The exporter's input: qm_nx_graph, orig_inputs, orig_outputs and
    tensor_dict, with an optimize() that changes nothing."""

    def __init__(self, qm_nx_graph=None, orig_inputs=None, orig_outputs=None,
                 tensor_dict=None):
        self.qm_nx_graph = qm_nx_graph if qm_nx_graph is not None else _nx.DiGraph()
        self.orig_inputs = list(orig_inputs or [])
        self.orig_outputs = list(orig_outputs or [])
        self.tensor_dict = dict(tensor_dict or {})

    def optimize(self):
        return None


class SarnicExporter:
    """Exports `graph` as the model `name`; run() returns the model bytes."""

    def __init__(self, graph, name, mem_map=True, opt_map=True, save_map=None,
                 save_layers=None, copy_layers=None, svm=None, ext_constants=None,
                 labels=None, input_names=None, output_names=None, user_ops=None,
                 normalization="none", *, planner="standard"):
        if not isinstance(name, str):
            raise ExportTypeError(
                f"name must be a str, not {type(name).__name__}")
        for member in ("qm_nx_graph", "orig_inputs", "orig_outputs", "tensor_dict"):
            if not hasattr(graph, member):
                raise ExportTypeError(
                    f"graph must be a Graph (with qm_nx_graph, orig_inputs, "
                    f"orig_outputs and tensor_dict), not {type(graph).__name__}")
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
        self.user_ops = []
        for plugin in user_ops:
            if hasattr(plugin, "SarnicExporter"):
                self.user_ops.append(plugin.SarnicExporter(self))

    # Offered to plug-ins.
    def export_tensor(self, builder, name, shape=None, data=None):
        return _core.export_tensor(builder, name, shape, data)

    def generate_layer(self, builder, node, op, name, shape, inputs=None,
                       params=None):
        return _core.generate_layer(builder, node, op, name, shape, inputs or 0,
                                    params or 0)

    def run(self):
        """Exports the graph and returns the model as bytes. The graph and
        the options are changed as the export changes them."""
        self.graph.optimize()
        changes = {}
        try:
            return _core.run(self, changes)
        finally:
            self._write_back(changes)

    def _write_back(self, changes):
        g = self.graph.qm_nx_graph
        for name, attrs in changes.get("nodes", []):
            if name not in g:
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


def load_graph(path):
    """Loads a graph file into a Graph."""
    nodes, edges, inputs, outputs, tensors = _core.load_graph(str(path))
    g = _nx.DiGraph()
    for name, attrs in nodes:
        g.add_node(name, **attrs)
    g.add_edges_from(edges)
    return Graph(g, inputs, outputs, tensors)


def save_graph(graph, path, weights=None):
    """Writes a Graph as a graph file; with `weights`, its arrays go into
    that safetensors file beside it."""
    g = graph.qm_nx_graph
    nodes = [(n, dict(g.nodes[n])) for n in g.nodes]
    edges = [(u, v) for u in g.nodes for v in g.successors(u)]
    _core.save_graph(nodes, edges, list(graph.orig_inputs), list(graph.orig_outputs),
                     dict(graph.tensor_dict), str(path), weights)


class Finding(NamedTuple):
    """What the graph checker found: the node, its attribute (empty when the
    finding is about the node itself) and what is wrong."""
    node: str
    attribute: str
    message: str

    def __str__(self):
        where = f"node '{self.node}'"
        if self.attribute:
            where += f" attribute '{self.attribute}'"
        return f"{where}: {self.message}"


def check_graph(graph):
    """Checks `graph` as snx-export --check does and returns the findings, a
    list of Finding; empty when nothing is wrong. The graph is not changed."""
    return [Finding(*f) for f in _core.check_graph(graph)]


def verify_model(model):
    """Checks a model's bytes as snx-inspect --verify does: its structure,
    parameter sizes and arena plan. Returns one text per violation; an empty
    list when the model is sound."""
    return list(_core.verify_model(bytes(model)))
