"""The quantisation report as typed objects (see ``quantize``)."""
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Optional


@dataclass
class OutputError:
    """How far one output of the int8 model is from the float model's on
    one set of samples ("calibration" or "validation")."""
    output: str
    set: str
    samples: int
    max_abs_error: Optional[float]
    max_error_steps: Optional[float]
    mean_abs_error: Optional[float]
    cosine: Optional[float]
    sqnr_db: Optional[float]
    top1_agreement: Optional[float]


@dataclass
class LayerError:
    """One int8 layer's dequantised output against the float model's on the
    calibration set, and the share of its values clipped at -128 or 127."""
    layer: str
    op: str
    max_abs_error: Optional[float]
    mean_abs_error: Optional[float]
    clipped: Optional[float]


@dataclass
class QuantReport:
    """What quantisation did and how close the int8 model stays: per output
    and per layer errors, the float islands, flash and RAM of both models."""
    method: str
    calibration_samples: int
    validation_samples: int
    outputs: List[OutputError] = field(default_factory=list)
    layers: List[LayerError] = field(default_factory=list)
    float_islands: List[List[str]] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    warnings: List[str] = field(default_factory=list)
    flash: Dict[str, Optional[int]] = field(default_factory=dict)
    ram: Dict[str, Optional[int]] = field(default_factory=dict)
    text: str = ""

    def as_dict(self) -> Dict[str, Any]:
        """The report as the JSON document of snx-export --quant-report."""
        d = asdict(self)
        d.pop("text")
        return d

    def __str__(self) -> str:
        return self.text


def report_from_json(doc: Dict[str, Any], text: str) -> QuantReport:
    return QuantReport(
        method=doc["method"],
        calibration_samples=doc["calibration_samples"],
        validation_samples=doc["validation_samples"],
        outputs=[OutputError(**o) for o in doc["outputs"]],
        layers=[LayerError(**entry) for entry in doc["layers"]],
        float_islands=doc["float_islands"],
        notes=doc["notes"],
        warnings=doc["warnings"],
        flash=doc["flash"],
        ram=doc["ram"],
        text=text)
