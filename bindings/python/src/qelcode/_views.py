"""Bytes-like objects as the library's buffer functions take them: flat
views of unsigned bytes, and where their bytes lie."""

from __future__ import annotations

import ctypes
from typing import Any, Union

BytesLike = Union[bytes, bytearray, memoryview, Any]  # anything with the buffer protocol

COPY_SIZE = 1 << 20  # pieces in which a read-only buffer that can't be lent is copied


def lendable(view: memoryview) -> bool:
    """Whether the library can be handed view's bytes where they lie: a whole
    bytes object, or writable memory that ctypes lends."""
    obj = view.obj
    return (type(obj) is bytes and view.nbytes == len(obj)) or not view.readonly


def byte_view(data: BytesLike, what: str) -> memoryview:
    """data as a contiguous memoryview of unsigned bytes, for the caller to release."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError("%s must be a bytes-like object (bytes, bytearray, memoryview, ...), not %r"
                        % (what, type(data).__name__)) from None
    if view.format == "B" and view.ndim == 1 and view.c_contiguous:
        return view
    flat = memoryview(view.tobytes()) if not view.c_contiguous else view.cast("B")
    view.release()  # flat holds the buffer, if it still needs it
    return flat
