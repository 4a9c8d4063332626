"""The command-line tools installed with the package: snx-export,
snx-inspect, snx-run and snx-import, the same programs as the project's own
build, run from the package's bin folder."""
import os
import sys
from typing import NoReturn

_BIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")


def _run(tool: str) -> NoReturn:
    path = os.path.join(_BIN, tool)
    if not os.access(path, os.X_OK):
        sys.exit(f"error: {tool} was not installed with sarnic_exporter ({path})")
    os.execv(path, [tool] + sys.argv[1:])


def export_main() -> NoReturn:
    """snx-export: exports a graph file into an SNX model file."""
    _run("snx-export")


def inspect_main() -> NoReturn:
    """snx-inspect: shows, verifies and reports an SNX model file."""
    _run("snx-inspect")


def run_main() -> NoReturn:
    """snx-run: runs an SNX model on NumPy inputs."""
    _run("snx-run")


def import_main() -> NoReturn:
    """snx-import: imports an ONNX model as a graph file."""
    _run("snx-import")
