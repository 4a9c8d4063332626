"""The exporter's errors. Every failure is an ExportError and also the
built-in kind it always was, so ``except ValueError`` keeps working.

``args[0]`` is what the system defines: the fixed message text (for a
value error, "Sequence has inconsistent or unsupported data:"), or the
missing key (for a key error). The explanation is ``detail``; ``node`` and
``attribute`` name the place when the message names one. An error in the
content of a file (a graph, weights or model file) also names the ``file``
and the ``place`` inside it. ``str(e)`` reads as one sentence.
"""
import re
from typing import Optional

__all__ = ["ExportError", "ExportValueError", "ExportKeyError",
           "ExportTypeError", "ExportIndexError", "ExportOSError"]

_PLACE = re.compile(r"node '([^']*)'(?: attribute '([^']*)')?")


class ExportError(Exception):
    """Base class of every error an export raises.

    Attributes:
        detail: the explanation beside ``args[0]`` ("" when there is none).
        node: the graph node the error is about, when known.
        attribute: the node attribute the error is about, when known.
        file: the file whose content is at fault, when the error is about
            one.
        place: where in that file ("nodes[3]", "node 'conv' attribute
            'w'"; "" for the file as a whole).
    """

    def __init__(self, *args: object, detail: str = "",
                 file: Optional[str] = None,
                 place: Optional[str] = None) -> None:
        super().__init__(*args)
        self.detail: str = detail
        self.file: Optional[str] = file
        self.place: Optional[str] = place
        named = _PLACE.search(f"{args[0] if args else ''} {detail}")
        self.node: Optional[str] = named.group(1) if named else None
        self.attribute: Optional[str] = named.group(2) if named else None

    def __str__(self) -> str:
        head = str(self.args[0]) if self.args else ""
        return f"{head} {self.detail}" if self.detail else head


class ExportValueError(ExportError, ValueError):
    """A value of the right kind but an unusable content; args are
    (message, detail)."""


class ExportKeyError(ExportError, KeyError):
    """A name that is not there (a node attribute, a layer not exported
    yet); args are (key, explanation)."""

    def __str__(self) -> str:
        return self.detail or str(self.args[0] if self.args else "")


class ExportTypeError(ExportError, TypeError):
    """A value of the wrong kind."""


class ExportIndexError(ExportError, IndexError):
    """A position outside a sequence."""


class ExportOSError(ExportError, OSError):
    """A file that cannot be read or written."""
