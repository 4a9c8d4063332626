"""The ONNX importer on the real test networks (tests/networks, fetched by
make setup):

- import + export of the largest network (snx-export MODEL.onnx) against
  the export of its converted graph file (snx-import first, then
  snx-export GRAPH.json), each the fastest of five runs of the tool;
- import + export of chains of 2,000 and 20,000 Shape -> Reshape pairs,
  whose ratio shows the import linear in the model;
- per network (and per standard image classifier, when PyTorch is
  installed), the interpreter's latency (its benchmark mode: one thread,
  the model's planned arena, the kernels the machine has) beside ONNX
  Runtime's on one thread, each the median of repeated runs of the same
  input, with the geometric mean of the ratios.

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


def classifiers(folder):
    """Standard image classifiers of torchvision (random weights) exported
    at operator set 17, when PyTorch is installed (scripts/setup.sh models);
    none otherwise."""
    try:
        import numpy as np
        import torch
        import torchvision
    except ImportError:
        print("standard classifiers skipped: scripts/setup.sh models installs PyTorch")
        return []
    x = np.random.default_rng(0).uniform(-1, 1, (1, 3, 224, 224)).astype(np.float32)
    out = []
    for name in ("resnet18", "mobilenet_v2", "mobilenet_v3_small", "efficientnet_b0"):
        path = os.path.join(folder, f"{name}.onnx")
        torch.manual_seed(0)
        net = getattr(torchvision.models, name)(weights=None).eval()
        with torch.no_grad():
            torch.onnx.export(net, (torch.from_numpy(x),), path, input_names=["x"],
                              output_names=["y"], opset_version=17)
        out.append((name, {}, lambda: x, path))
    # A depthwise-separable keyword spotter: 49 frames of 10 features.
    from torch import nn
    spotter = nn.Sequential(
        nn.Conv2d(1, 64, (10, 4), stride=2, padding=(5, 1)), nn.BatchNorm2d(64), nn.ReLU(),
        *[m for _ in range(4) for m in (
            nn.Conv2d(64, 64, 3, padding=1, groups=64), nn.BatchNorm2d(64), nn.ReLU(),
            nn.Conv2d(64, 64, 1), nn.BatchNorm2d(64), nn.ReLU())],
        nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(64, 12)).eval()
    mfcc = np.random.default_rng(1).normal(0, 1, (1, 1, 49, 10)).astype(np.float32)
    path = os.path.join(folder, "ds_cnn_keywords.onnx")
    with torch.no_grad():
        torch.onnx.export(spotter, (torch.from_numpy(mfcc),), path, input_names=["x"],
                          output_names=["y"], opset_version=17)
    out.append(("ds_cnn_keywords", {}, lambda: mfcc, path))
    return out


def latencies(networks):
    """Each network's median latency (the interpreter's benchmark mode, one
    thread) beside ONNX Runtime's (one thread, every graph optimisation),
    their ratio, what the interpreter's time goes to, and the geometric
    mean of the ratios."""
    import math
    import onnx_reference
    import sarnic_exporter as se
    reference = onnx_reference.OnnxRuntime()
    print(f"{'network':<20} {'snx-run ms':>10} {'ONNX Runtime ms':>16} {'ratio':>6}  where the time goes")
    ratios = []
    try:
        for name, dims, make_input, path in networks:
            interp = se.Interpreter(se.SarnicExporter(se.load_onnx(path, dims), name).run())
            feeds = {interp.inputs[0].name: make_input()}
            report = interp.benchmark(runs=20, warmup=3, inputs=feeds)
            theirs = reference.latency_ms(path, feeds, 20)
            ratios.append(report.median_ms / theirs)
            where = ", ".join(f"{t.type} {100 * t.share:.0f}%" for t in report.by_type[:3])
            print(f"{name:<20} {report.median_ms:>10.2f} {theirs:>16.2f} {ratios[-1]:>6.2f}  {where}",
                  flush=True)
        print(f"kernels {report.kernels}: geometric mean of the ratios "
              f"{math.exp(sum(map(math.log, ratios)) / len(ratios)):.2f} (target <= 1.0), "
              f"largest {max(ratios):.2f} (target <= 1.5)")
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
        latencies(networks + classifiers(folder))


if __name__ == "__main__":
    main()
