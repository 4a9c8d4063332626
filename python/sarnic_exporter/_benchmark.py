"""A benchmark's figures as typed objects (see ``Interpreter.benchmark``)."""
from dataclasses import dataclass, field
from typing import Any, Dict, List


@dataclass
class LayerTime:
    """One layer's mean time per inference, and its share of all layers'."""
    name: str
    type: str
    ms: float
    share: float


@dataclass
class TypeTime:
    """The layers of one type: how many, their time per inference and its
    share."""
    type: str
    layers: int
    ms: float
    share: float


@dataclass
class BenchmarkReport:
    """What ``snx-run --benchmark`` prints: latency per inference (median,
    minimum, maximum, in milliseconds), the arena and the process's peak
    memory in bytes, the matrix products' kernels ("avx512", "avx2" or
    "portable"), the time per layer type (longest first), the ten
    slowest layers and every layer's time in model order."""
    runs: int
    warmup: int
    threads: int
    kernels: str
    median_ms: float
    min_ms: float
    max_ms: float
    arena_bytes: int
    peak_memory_bytes: int
    by_type: List[TypeTime] = field(default_factory=list)
    slowest: List[LayerTime] = field(default_factory=list)
    layers: List[LayerTime] = field(default_factory=list)
    text: str = ""

    def __str__(self) -> str:
        return self.text


def report_from_core(d: Dict[str, Any]) -> BenchmarkReport:
    total = float(d["layer_seconds"])

    def share(seconds: float) -> float:
        return seconds / total if total > 0 else 0.0

    def layers(rows: List[Any]) -> List[LayerTime]:
        return [LayerTime(n, t, s * 1e3, share(s)) for n, t, s in rows]

    return BenchmarkReport(
        runs=int(d["runs"]), warmup=int(d["warmup"]),
        threads=int(d["threads"]), kernels=str(d["kernels"]),
        median_ms=d["median"] * 1e3,
        min_ms=d["minimum"] * 1e3, max_ms=d["maximum"] * 1e3,
        arena_bytes=int(d["arena_bytes"]), peak_memory_bytes=int(d["peak_memory_bytes"]),
        by_type=[TypeTime(t, n, s * 1e3, share(s)) for t, n, s in d["by_type"]],
        slowest=layers(d["slowest"]), layers=layers(d["layers"]), text=d["text"])
