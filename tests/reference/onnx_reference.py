"""ONNX Runtime as a reference, through the Node process beside this file
(installed by scripts/setup.sh with npm; not part of the product)."""
import json
import os
import shutil
import subprocess
import tempfile
from typing import Dict, Optional

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
RUNTIME_LIBRARY = os.path.join(HERE, "node_modules", "onnxruntime-node")


def missing() -> Optional[str]:
    """Why the reference cannot run here, or None when it can."""
    if shutil.which("node") is None:
        return "node is not installed (make setup installs it)"
    if not os.path.isdir(RUNTIME_LIBRARY):
        return f"{RUNTIME_LIBRARY} is missing (make setup installs it)"
    return None


class OnnxRuntime:
    """One long-lived Node process that runs ONNX models on one thread."""

    def __init__(self) -> None:
        self._dir = tempfile.mkdtemp(prefix="onnx-reference-")
        self._count = 0
        self._process = subprocess.Popen(
            ["node", os.path.join(HERE, "onnx_runtime.js")], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True)

    def _ask(self, request: Dict[str, object]) -> Dict[str, object]:
        assert self._process.stdin is not None and self._process.stdout is not None
        self._process.stdin.write(json.dumps(request) + "\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        if not line:
            raise RuntimeError("the ONNX Runtime process stopped")
        reply: Dict[str, object] = json.loads(line)
        if "error" in reply:
            raise RuntimeError(f"ONNX Runtime: {reply['error']}")
        return reply

    def _inputs(self, feeds: Dict[str, np.ndarray]) -> Dict[str, str]:
        self._count += 1
        files = {}
        for i, (name, array) in enumerate(feeds.items()):
            files[name] = os.path.join(self._dir, f"{self._count}-{i}.npy")
            np.save(files[name], np.ascontiguousarray(array))
        return files

    def run(self, model_path: str, feeds: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
        out = os.path.join(self._dir, f"out{self._count}")
        os.makedirs(out, exist_ok=True)
        reply = self._ask({"model": str(model_path), "inputs": self._inputs(feeds), "out": out})
        outputs = reply["outputs"]
        assert isinstance(outputs, dict)
        return {name: np.load(file) for name, file in outputs.items()}

    def latency_ms(self, model_path: str, feeds: Dict[str, np.ndarray], repeat: int) -> float:
        reply = self._ask({"model": str(model_path), "inputs": self._inputs(feeds),
                           "repeat": repeat})
        return float(reply["ms"])  # type: ignore[arg-type]

    def close(self) -> None:
        if self._process.stdin is not None:
            self._process.stdin.close()
        self._process.wait(timeout=30)
        shutil.rmtree(self._dir, ignore_errors=True)
