"""Python against the command line on the 1 GiB weights graph: 512 float32
constants of 2 MiB in a safetensors file. The command line's whole run and
the Python module's export (the load excluded) are timed in the same run,
each in a process of its own so that its peak memory is its own. Each side
runs three times, in turn, and its fastest run counts: writing 1 GiB makes
single runs vary by a factor of two on a busy disk.

Usage: python_parity.py BUILD_DIR (the module under BUILD_DIR/python, the
tool under BUILD_DIR/tools)."""
import os
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import resource, sys, time
import sarnic_exporter as se
graph = se.load_graph(sys.argv[1])
start = time.perf_counter()
model = se.SarnicExporter(graph, "big", mem_map=False).run()
open(sys.argv[2], "wb").write(model)
elapsed = time.perf_counter() - start
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def make_graph(folder, python_path):
    script = r"""
import sys
import networkx as nx, numpy as np
import sarnic_exporter as se
g = nx.DiGraph()
g.add_node("in", op="external", output_shape=[1, 16])
tensors = {}
for i in range(512):
    g.add_node(f"w{i}", op="constant", output_shape=[524288])
    tensors[f"w{i}"] = np.full(524288, i % 97, dtype=np.float32)
se.save_graph(se.Graph(g, ["in"], [f"w{i}" for i in range(512)], tensors),
              sys.argv[1], "big.safetensors")
"""
    path = os.path.join(folder, "big.json")
    subprocess.run([sys.executable, "-c", script, path], check=True,
                   env=dict(os.environ, PYTHONPATH=python_path))
    return path


def run_measured(argv, env=None):
    """Runs argv; its wall time and peak resident memory in bytes."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    out = proc.stdout.read().decode()
    if status != 0:
        raise SystemExit(f"{argv[0]} failed")
    return elapsed, usage.ru_maxrss * 1024, out


LAYERS_CHILD = r"""
import resource, sys, time
import networkx as nx
import sarnic_exporter as se
kind, n, path, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
g = nx.DiGraph()
g.add_node("l0", op="external", output_shape=[1, 256])
for i in range(1, n):
    if kind == "residual" and i % 2 == 0 and i >= 2:
        g.add_node(f"l{i}", op="add", x=f"l{i-1}", y=f"l{i-2}", output_shape=[1, 256])
        g.add_edge(f"l{i-2}", f"l{i}")
    else:
        g.add_node(f"l{i}", op="relu", x=f"l{i-1}", output_shape=[1, 256])
    g.add_edge(f"l{i-1}", f"l{i}")
graph = se.Graph(g, ["l0"], [f"l{n-1}"], {})
if out == "-":
    se.save_graph(graph, path)
    sys.exit()
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
model = se.SarnicExporter(graph, "m").run()
open(out, "wb").write(model)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(elapsed, peak, peak - base)
"""


def per_layer(build, folder, python_path):
    """Graphs of many small layers: the Python module's export + write
    against the command line's whole run (its load of the graph file
    included), fastest of three each."""
    env = dict(os.environ, PYTHONPATH=python_path)
    for kind in ("chain", "residual"):
        for n in (20000, 100000):
            graph = os.path.join(folder, f"{kind}{n}.json")
            subprocess.run([sys.executable, "-c", LAYERS_CHILD, kind, str(n), graph, "-"],
                           check=True, env=env)
            cli_time = py_time = float("inf")
            cli_rss = py_rss = py_added = 0.0
            for _ in range(3):
                t, rss, _ = run_measured([os.path.join(build, "tools", "snx-export"),
                                          graph, "-o", os.path.join(folder, "cli.snx")])
                cli_time, cli_rss = min(cli_time, t), max(cli_rss, rss)
                _, _, out = run_measured([sys.executable, "-c", LAYERS_CHILD, kind, str(n),
                                          graph, os.path.join(folder, "py.snx")], env=env)
                t, rss, added = (float(x) for x in out.split()[-3:])
                py_time, py_rss, py_added = min(py_time, t), max(py_rss, rss), max(py_added, added)
            print(f"{kind} of {n} layers: Python export + write {py_time:.2f} s vs command "
                  f"line {cli_time:.2f} s: time {py_time / cli_time:.2f} (limit 1.30); "
                  f"peak memory {py_rss / 2**20:.0f} MiB (the NetworkX graph included), "
                  f"{py_added / 2**20:.0f} MiB added by the export, vs the command line's "
                  f"{cli_rss / 2**20:.0f} MiB: {py_added / cli_rss:.2f} (limit 1.30)")


def main():
    build = sys.argv[1]
    python_path = os.path.join(build, "python")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as folder:
        graph = make_graph(folder, python_path)
        cli_time = py_time = float("inf")
        cli_rss = py_rss = 0.0
        for _ in range(3):
            t, rss, _ = run_measured(
                [os.path.join(build, "tools", "snx-export"), graph, "-o",
                 os.path.join(folder, "cli.snx"), "--no-mem-map"])
            cli_time, cli_rss = min(cli_time, t), max(cli_rss, rss)
            _, _, out = run_measured(
                [sys.executable, "-c", CHILD, graph,
                 os.path.join(folder, "py.snx")],
                env=dict(os.environ, PYTHONPATH=python_path))
            t, rss = (float(x) for x in out.split()[-2:])
            py_time, py_rss = min(py_time, t), max(py_rss, rss)
        same = open(os.path.join(folder, "cli.snx"), "rb").read() == \
            open(os.path.join(folder, "py.snx"), "rb").read()
    print(f"1 GiB weights, command line whole run:   {cli_time:6.2f} s, "
          f"peak {cli_rss / 2**30:5.2f} GiB")
    print(f"1 GiB weights, Python export (no load):  {py_time:6.2f} s, "
          f"peak {py_rss / 2**30:5.2f} GiB")
    print(f"Python vs command line: time {py_time / cli_time:.2f} (limit 1.20), "
          f"peak memory {py_rss / cli_rss:.2f} (limit 1.10), same bytes: {same}")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as folder:
        per_layer(build, folder, python_path)


if __name__ == "__main__":
    main()
