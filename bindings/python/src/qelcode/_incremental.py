"""Encoder and Decoder: input that arrives in pieces, split anywhere."""

from __future__ import annotations

import io
import threading
from typing import TYPE_CHECKING, Optional

from ._converter import Converter
from ._default import default_library
from ._views import BytesLike, byte_view

if TYPE_CHECKING:
    from ._library import Library


class _Stream:
    """What Encoder and Decoder share: a conversion, fed in turns."""

    _encoding = True

    def __init__(self, force: bool = False, *, library: Optional["Library"] = None) -> None:
        self._converter = Converter((library or default_library())._lib, self._encoding, force)
        # One call at a time: the conversion's state and scratch buffer are
        # shared by every call on the object.
        self._lock = threading.Lock()

    @property
    def offset(self) -> int:
        """Bytes of input converted so far: where the next piece starts, or
        the refused one."""
        return self._converter.taken

    def feed(self, data: BytesLike) -> bytes:
        """Takes the next bytes of input; returns the output of every piece
        that is now complete. The start of a piece that may go on stays until
        the next call. Raises QelError at a refused piece (its offset and
        line count from the start of the whole input), after which the
        object takes nothing more."""
        out = io.BytesIO()
        with byte_view(data, "feed() data") as view, self._lock:
            self._converter.feed(out, view, False)
        return out.getvalue()

    def close(self) -> bytes:
        """Ends the input: returns the output of what is left (a last line
        without a line feed is taken too). The object takes nothing more."""
        out = io.BytesIO()
        with self._lock:
            self._converter.feed(out, memoryview(b""), True)
        return out.getvalue()


class Encoder(_Stream):
    """Encodes text that arrives in pieces, split anywhere.

        encoder = qelcode.Encoder()
        for piece in pieces:
            out.write(encoder.feed(piece))
        out.write(encoder.close())

    The output put together is byte for byte what encode() gives for the
    whole text. force encodes lines that already carry the encoded mark.
    One object may be used from several threads: its calls take turns (a
    lock), so each returns the output of its own input, in the order the
    calls ran.
    """

    _encoding = True

    def __init__(self, force: bool = False, *, library: Optional["Library"] = None) -> None:
        super().__init__(force, library=library)


class Decoder(_Stream):
    """Decodes records that arrive in pieces, split anywhere; as Encoder."""

    _encoding = False

    def __init__(self, *, library: Optional["Library"] = None) -> None:
        super().__init__(False, library=library)
