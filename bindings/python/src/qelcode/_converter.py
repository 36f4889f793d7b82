"""One conversion over as many calls as its input needs: a QEL_Converter
held in a ctypes buffer, which keeps the start of a piece that may go on,
the output that did not fit, and where the input stands.

Input is never copied as a whole: bytes and writable buffers are handed to
the library where they lie, and other read-only buffers go through in
pieces. Output goes through a scratch buffer of fixed size into an
io.BytesIO, whose value is returned without another copy.

A Converter is not safe to share between threads: its owner takes turns.
"""

from __future__ import annotations

import ctypes
import io
from typing import Optional

from ._errors import QelError
from ._native import CONVERTER_SIZE, message_of
from ._views import COPY_SIZE, lendable

SUCCESSFUL = 1
FORCE = 1
LAST = 2
DECODE = 4

_SCRATCH_SIZE = 256 * 1024  # output room of one call


class _State(ctypes.Structure):
    """The converter's state: QEL_CONVERTER_SIZE bytes aligned as a uint32_t."""

    _fields_ = [("opaque", ctypes.c_uint32 * (CONVERTER_SIZE // 4))]


class Converter:
    """One conversion through the library's converter."""

    def __init__(self, lib: ctypes.CDLL, encoding: bool, force: bool) -> None:
        self._lib = lib
        self._state = _State()
        lib.QEL_ConverterInit(ctypes.byref(self._state), (FORCE if force else 0) if encoding else DECODE)
        self.finished = False
        self.failed = False
        self._scratch = ctypes.create_string_buffer(_SCRATCH_SIZE)
        self._scratch_view = memoryview(self._scratch).cast("B")
        self._produced = ctypes.c_size_t()
        self._consumed = ctypes.c_size_t()
        self._status = ctypes.c_int32()
        self._refs = (ctypes.byref(self._produced), ctypes.byref(self._consumed), ctypes.byref(self._status))

    @property
    def taken(self) -> int:
        """Input bytes of the pieces converted so far."""
        return int(self._lib.QEL_ConverterOffset(ctypes.byref(self._state)))

    def feed(self, out: io.BytesIO, view: memoryview, last: bool) -> None:
        """Converts view into out, and with last ends the input; raises
        QelError at a refused piece, after which the conversion takes
        nothing more."""
        if self.failed:
            raise ValueError("this conversion stopped at a refused piece")
        if self.finished:
            raise ValueError("this conversion is closed")
        size = view.nbytes
        if size == 0 or lendable(view):
            self._put(out, view, last)
        else:
            # Read-only memory that ctypes can't lend: in pieces, each copied.
            for at in range(0, size, COPY_SIZE):
                with memoryview(view[at:at + COPY_SIZE].tobytes()) as piece:
                    self._put(out, piece, last and at + COPY_SIZE >= size)
        self.finished = last

    def _put(self, out: io.BytesIO, view: memoryview, last: bool) -> None:
        """Hands every byte of view, whose memory the library may be
        handed, to the converter, and with last everything it holds."""
        size = view.nbytes
        obj = view.obj
        lent = None
        source: Optional[int]
        if size == 0:
            source = None
        elif type(obj) is bytes and size == len(obj):
            source = ctypes.cast(ctypes.c_char_p(obj), ctypes.c_void_p).value
        else:
            lent = (ctypes.c_char * size).from_buffer(view)
            source = ctypes.addressof(lent)
        try:
            self._loop(out, source, size, LAST if last else 0)
        finally:
            del lent  # gives the buffer back to its owner, who may resize it again

    def _loop(self, out: io.BytesIO, source: Optional[int], size: int, flags: int) -> None:
        put, state, scratch = self._lib.QEL_ConverterPut, ctypes.byref(self._state), self._scratch
        produced, consumed, status = self._produced, self._consumed, self._status
        pp, cp, sp = self._refs
        pos = 0
        while True:
            status.value = SUCCESSFUL
            put(state, scratch, _SCRATCH_SIZE, pp, source + pos if source else None, size - pos, cp, flags, sp)
            if produced.value:
                out.write(self._scratch_view[:produced.value])
            if status.value != SUCCESSFUL:
                self.failed = True
                raise QelError(status.value, message_of(self._lib, status.value), self.taken,
                               int(self._lib.QEL_ConverterLine(state)), out.getvalue())
            pos += consumed.value
            # Taken whole, and room to spare: nothing is held back.
            if pos == size and produced.value < _SCRATCH_SIZE:
                return
