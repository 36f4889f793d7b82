"""One conversion carried over as many calls of the library's buffer
function as its input needs.

Input is never copied as a whole: bytes and writable buffers are handed to
the library where they lie, and other read-only buffers go through in
pieces. Output goes through a scratch buffer of fixed size into an
io.BytesIO, whose value is returned without another copy, so a conversion
holds its input, its output (up to an eighth more while it grows) and the
scratch buffer, and nothing of the size of the output's bound.

A Converter is not safe to share between threads: its owner takes turns.
"""

from __future__ import annotations

import ctypes
import io
import sys
from typing import Optional, Union

from ._errors import QelError
from ._native import message_of
from ._views import COPY_SIZE, address_of, count_line_feeds, lendable

SUCCESSFUL = 1
FORCE = 1
LAST = 2

_SCRATCH_SIZE = 256 * 1024  # output room of one call
_SMALL_SCRATCH_SIZE = 4096  # the least output room
_PIECE_ROOM = 1024          # more than any one piece's output (512 bytes at most)
_JOIN_SIZE = 4096           # bytes of a new input joined to the undecided rest of the last


class Converter:
    """One conversion, carried over as many calls of the buffer function as
    its input needs: the bytes not yet taken, and where the input stands."""

    def __init__(self, lib: ctypes.CDLL, encoding: bool, force: bool) -> None:
        self._lib = lib
        self._function = lib.QEL_EncodeBuffer if encoding else lib.QEL_DecodeBuffer
        self._bound = lib.QEL_EncodeBound if encoding else lib.QEL_DecodeBound
        self._flags = FORCE if encoding and force else 0
        self._pending = b""   # input not taken yet: the start of a piece that may go on
        self.taken = 0        # bytes of input taken so far
        self.lines = 0        # line feeds among them (kept only when more input may come)
        self.finished = False
        self.failed = False
        self._scratch: Optional[bytearray] = None
        self._scratch_view: Optional[memoryview] = None
        self._scratch_address = 0
        self._covered = -1    # the largest input size the scratch buffer takes whole
        self._produced = ctypes.c_size_t()
        self._consumed = ctypes.c_size_t()
        self._status = ctypes.c_int32()
        self._refs = (ctypes.byref(self._produced), ctypes.byref(self._consumed), ctypes.byref(self._status))

    def _room(self, size: int) -> int:
        """Output room for a call on size bytes: enough for all of it, up to _SCRATCH_SIZE."""
        if size > self._covered:
            want = min(_SCRATCH_SIZE, max(self._bound(size), _SMALL_SCRATCH_SIZE))
            if self._scratch is None or len(self._scratch) < want:
                scratch = bytearray(want)
                self._scratch_address = ctypes.addressof((ctypes.c_char * want).from_buffer(scratch))
                self._scratch, self._scratch_view = scratch, memoryview(scratch)
            self._covered = size if want < _SCRATCH_SIZE else sys.maxsize
        return len(self._scratch)  # type: ignore[arg-type]

    def _span(self, out: io.BytesIO, view: memoryview, source: Union[int, bytes], last: bool) -> int:
        """Converts the bytes of view, which are those at source (an address,
        or the bytes object itself), into out; returns the bytes taken."""
        size = view.nbytes
        if size == 0:
            return 0
        room = self._room(size)
        flags = self._flags | (LAST if last else 0)
        produced, consumed, status = self._produced, self._consumed, self._status
        pp, cp, sp = self._refs
        base = source if isinstance(source, int) else -1  # -1: not known yet
        pos = 0
        while True:
            if pos and base < 0:
                base = address_of(source)  # type: ignore[arg-type]
            status.value = SUCCESSFUL
            self._function(self._scratch_address, room, pp, base + pos if pos else source, size - pos, cp, flags, sp)
            if produced.value:
                out.write(self._scratch_view[:produced.value])  # type: ignore[index]
            if status.value != SUCCESSFUL:
                self.failed = True
                at = pos + consumed.value
                raise QelError(status.value, message_of(self._lib, status.value), self.taken + at,
                               self.lines + count_line_feeds(view, at) + 1, out.getvalue())
            pos += consumed.value
            # The call stops at the end, for room, or (unless last) before a
            # piece that may go on: with room to spare, there is no more to do.
            if pos >= size or consumed.value == 0 or room - produced.value >= _PIECE_ROOM:
                break
        if last and pos < size:
            raise RuntimeError("qelcode: the library left %d bytes of the last input" % (size - pos))
        self.taken += pos
        if not last:
            self.lines += count_line_feeds(view, pos)
        return pos

    def _span_of_bytes(self, out: io.BytesIO, data: bytes, last: bool) -> int:
        with memoryview(data) as view:
            return self._span(out, view, data, last)

    def feed(self, out: io.BytesIO, view: memoryview, last: bool) -> None:
        """Converts what can be converted of the pending bytes and view into
        out; last ends the input."""
        if self.failed:
            raise ValueError("this conversion stopped at a refused piece")
        if self.finished:
            raise ValueError("this conversion is closed")
        if lendable(view) or view.nbytes == 0:
            self._take(out, view, last)
        else:
            # Read-only memory that ctypes can't lend: in pieces, each copied.
            size = view.nbytes
            for at in range(0, size, COPY_SIZE):
                with memoryview(view[at:at + COPY_SIZE].tobytes()) as piece:
                    self._take(out, piece, last and at + COPY_SIZE >= size)
        self.finished = last

    def _take(self, out: io.BytesIO, view: memoryview, last: bool) -> None:
        """Converts the pending bytes followed by view, whose memory the
        library may be handed, and keeps what is left pending."""
        start = 0
        if self._pending:
            joined = len(self._pending)
            head = self._pending + view[:_JOIN_SIZE].tobytes()
            if view.nbytes <= _JOIN_SIZE:  # all of it joined
                self._pending = head[self._span_of_bytes(out, head, last):]
                return
            taken = self._span_of_bytes(out, head, False)
            if taken < joined:  # a piece longer than the joined bytes: take it all together
                rest = head[taken:] + view[_JOIN_SIZE:].tobytes()
                self._pending = rest[self._span_of_bytes(out, rest, last):]
                return
            self._pending = b""
            start = taken - joined
        with view[start:] as rest:
            obj = view.obj
            if rest.nbytes == 0:
                taken = 0
            elif type(obj) is bytes and view.nbytes == len(obj):
                taken = self._span(out, rest, obj if start == 0 else address_of(obj) + start, last)
            else:
                lent = (ctypes.c_char * rest.nbytes).from_buffer(rest)
                try:
                    taken = self._span(out, rest, ctypes.addressof(lent), last)
                finally:
                    del lent  # gives the buffer back to its owner, who may resize it again
            self._pending = rest[taken:].tobytes()
