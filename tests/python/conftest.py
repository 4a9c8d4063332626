"""What the ONNX tests share: ONNX Runtime as their reference, one Node
process for the whole session (installed by make setup; a test that needs
it fails, saying so, where it is missing)."""
import os
import sys
from typing import Any, Iterator

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reference"))
import onnx_reference  # noqa: E402


@pytest.fixture(scope="session")
def reference() -> Iterator[Any]:
    why = onnx_reference.missing()
    if why is not None:
        pytest.fail(f"ONNX Runtime, the reference of these tests, is missing: {why}")
    runtime = onnx_reference.OnnxRuntime()
    yield runtime
    runtime.close()
