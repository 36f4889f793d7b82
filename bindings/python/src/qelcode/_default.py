"""The library that the module's functions, Encoder and Decoder use when
given none: found and loaded on first use, or the one set."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Callable, Optional

if TYPE_CHECKING:
    from ._library import Library

_default: Optional["Library"] = None
_lock = threading.Lock()
_make: Optional[Callable[[], "Library"]] = None


def set_maker(make: Callable[[], "Library"]) -> None:
    """How the default is made on first use: Library(), which the module of
    Library names when it is imported, so that this module imports none."""
    global _make
    _make = make


def default_library() -> "Library":
    """The library the module's functions use, loaded on first use."""
    global _default
    library = _default
    if library is None:
        with _lock:
            if _default is None:
                assert _make is not None, "qelcode._library sets the maker when it is imported"
                _default = _make()
            library = _default
    return library


def set_default_library(library: Optional["Library"]) -> None:
    """Makes the module's functions use library (None: find it again on next use)."""
    global _default
    with _lock:
        _default = library
