"""The ONNX importer on the real test networks (tests/networks, fetched by
make setup):

- import + export of the largest network (snx-export MODEL.onnx) against
  the export of its converted graph file (snx-import first, then
  snx-export GRAPH.json), each the fastest of five runs of the tool;
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
    latencies(networks)


if __name__ == "__main__":
    main()
