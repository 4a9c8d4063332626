"""The model schema's table operations (LayerStart, LayerAddName, ...) and
the enumerations Op and Datatype, for exporter plug-ins."""
from ._core import snxf as _snxf

__all__ = sorted(k for k in dir(_snxf) if not k.startswith("_"))
globals().update({k: getattr(_snxf, k) for k in __all__})
