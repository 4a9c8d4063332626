"""The ONNX importer on the real test networks (tests/networks, fetched by
make setup):

- import + export of the largest network (snx-export MODEL.onnx) against
  the export of its converted graph file (snx-import first, then
  snx-export GRAPH.json), each the fastest of five runs of the tool;
- import + export of chains of 2,000 and 20,000 Shape -> Reshape pairs,
  whose ratio shows the import linear in the model;
- per network, the reference interpreter's latency (snx-run's kernels, one
  thread, the model's planned arena) beside ONNX Runtime's on one thread,
  each the median of repeated runs of the same input.

Usage: onnx_networks.py BUILD_DIR (the module under BUILD_DIR/python, the
tools under BUILD_DIR/tools)."""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
sys.path.insert(0, os.path.join(ROOT, "tests", "reference"))


def fastest(args, runs=5):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - start)
    return best


def dim_args(dims):
    return [a for k, v in dims.items() for a in ("--dim", f"{k}={v}")]


def import_against_graph_file(tools, networks, folder):
    name, dims, _ = max(networks, key=lambda n: os.path.getsize(n[3]))[:3]
    path = os.path.join(networks_dir(), f"{name}.onnx")
    graph = os.path.join(folder, "graph.json")
    subprocess.run([os.path.join(tools, "snx-import"), path, "-o", graph, *dim_args(dims)],
                   check=True, stdout=subprocess.DEVNULL)
    direct = fastest([os.path.join(tools, "snx-export"), path, "-o",
                      os.path.join(folder, "a.snx"), *dim_args(dims)])
    via_graph = fastest([os.path.join(tools, "snx-export"), graph, "-o",
                         os.path.join(folder, "b.snx")])
    size = os.path.getsize(path) / 2**20
    print(f"{name} ({size:.1f} MiB): snx-export MODEL.onnx {direct * 1000:.0f} ms, "
          f"snx-export GRAPH.json {via_graph * 1000:.0f} ms: "
          f"import + export / export = {direct / via_graph:.2f} (target <= 2)")


def shape_chain(folder, pairs):
    """x -> (Shape -> Reshape) × pairs -> Relu: every Shape folds once the
    Reshape before it has its shape."""
    import onnx
    from onnx import TensorProto, helper
    nodes, prev = [], "x"
    for i in range(pairs):
        nodes += [helper.make_node("Shape", [prev], [f"s{i}"]),
                  helper.make_node("Reshape", [prev, f"s{i}"], [f"y{i}"])]
        prev = f"y{i}"
    nodes.append(helper.make_node("Relu", [prev], ["out"]))
    graph = helper.make_graph(nodes, "chain",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 2, 3])],
                              [helper.make_tensor_value_info("out", TensorProto.FLOAT, [1, 2, 3])])
    path = os.path.join(folder, f"chain{pairs}.onnx")
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 14)]), path)
    return path


def shape_chains(tools, folder):
    times = {}
    for pairs in (2000, 20000):
        path = shape_chain(folder, pairs)
        times[pairs] = fastest([os.path.join(tools, "snx-export"), path, "-o",
                                os.path.join(folder, "chain.snx")], runs=3)
        print(f"Shape -> Reshape chain of {pairs} pairs: import + export {times[pairs] * 1000:.0f} ms")
    print(f"20000 / 2000 pairs: {times[20000] / times[2000]:.1f} times (linear: 10; "
          "was 10.5 s at 2000 pairs, quadratic)")


def networks_dir():
    return os.path.join(ROOT, "tests", "networks", "models")


def latencies(networks):
    import numpy as np
    import onnx_reference
    import sarnic_exporter as se
    reference = onnx_reference.OnnxRuntime()
    print(f"{'network':<20} {'snx-run ms':>10} {'ONNX Runtime ms':>16} {'ratio':>6}")
    try:
        for name, dims, make_input, path in networks:
            interp = se.Interpreter(se.SarnicExporter(se.load_onnx(path, dims), name).run())
            feeds = {interp.inputs[0].name: make_input()}
            repeat = 20
            interp.run(feeds)
            times = []
            for _ in range(repeat):
                start = time.perf_counter()
                interp.run(feeds)
                times.append(time.perf_counter() - start)
            ours = float(np.median(times)) * 1000
            theirs = reference.latency_ms(path, feeds, repeat)
            print(f"{name:<20} {ours:>10.2f} {theirs:>16.2f} {ours / theirs:>6.1f}")
    finally:
        reference.close()


def main():
    build = sys.argv[1]
    sys.path.insert(0, os.path.join(build, "python"))
    import test_onnx_networks
    import onnx_reference
    why = onnx_reference.missing()
    if why is not None:
        sys.exit(f"error: ONNX Runtime is missing: {why}")
    networks = [(n, d, f, os.path.join(networks_dir(), f"{n}.onnx"))
                for n, d, f in test_onnx_networks.NETWORKS]
    missing = [p for *_, p in networks if not os.path.exists(p)]
    if missing:
        sys.exit(f"error: {missing[0]} is missing (make setup fetches it)")
    with tempfile.TemporaryDirectory() as folder:
        import_against_graph_file(os.path.join(build, "tools"), networks, folder)
        shape_chains(os.path.join(build, "tools"), folder)
    latencies(networks)


if __name__ == "__main__":
    main()
