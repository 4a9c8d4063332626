"""A script host as a user writes one: it builds a graph, writes a plug-in
and exports. mypy --strict checks it against the package's types (the test
python_types), and test_exporter.py runs it."""
from typing import Any, Dict, Optional

import networkx as nx
import numpy as np

import sarnic_exporter as se
from sarnic_exporter import snxf


class Relu(se.PluginExporter):
    """relu written with the schema operations."""

    def __init__(self, exporter: se.SarnicExporter) -> None:
        self.exporter = exporter

    def export_relu(self, builder: Any, graph: se.Graph, layers: Dict[str, int],
                    name: str, node: Dict[str, Any],
                    alt_name: Optional[str] = None) -> int:
        layer_name = builder.CreateString(alt_name or name)
        shape = list(node["output_shape"])
        snxf.LayerStartShapeVector(builder, len(shape))
        for d in reversed(shape):
            builder.PrependInt32(int(d))
        layer_shape = builder.EndVector(len(shape))
        snxf.LayerStartInputsVector(builder, 1)
        builder.PrependUint32(layers[node["x"]])
        inputs = builder.EndVector(1)
        return self.exporter.generate_layer(builder, node, snxf.Op.relu, layer_name,
                                            layer_shape, inputs=inputs)


class Plugin:
    SarnicExporter = Relu


def export() -> bytes:
    g = nx.DiGraph()
    g.add_node("in", op="external", output_shape=[1, 4])
    g.add_node("w", op="constant", output_shape=np.array([4]))
    g.add_node("r", op="relu", x="in", output_shape=[1, 4])
    g.add_edge("in", "r")
    graph = se.Graph(g, ["in"], ["r"], {"w": np.arange(4, dtype=np.float32)})
    findings = se.check_graph(graph)
    assert findings == [], findings
    try:
        model = se.SarnicExporter(graph, "host", user_ops=[Plugin()]).run()
    except se.ExportError as e:
        raise SystemExit(f"export failed: {e} (node {e.node})")
    assert se.verify_model(model) == []
    return model


if __name__ == "__main__":
    print(len(export()), "bytes")
