"""Conversions through the library's buffer functions.

Input is never copied as a whole: bytes and writable buffers are handed to
the library where they lie, and other read-only buffers go through in
pieces. Output goes through a scratch buffer of fixed size into an
io.BytesIO, whose value is returned without another copy, so a conversion
holds its input, its output (up to an eighth more while it grows) and the
scratch buffer, and nothing of the size of the output's bound.
"""

from __future__ import annotations

import ctypes
import io
import operator
import os
import stat
import sys
import threading
from contextlib import contextmanager
from typing import IO, Any, Iterator, Optional, Tuple, Union

from . import _native

SUCCESSFUL = 1
FORCE = 1
LAST = 2

_SCRATCH_SIZE = 256 * 1024  # output room of one call
_SMALL_SCRATCH_SIZE = 4096  # the least output room
_PIECE_ROOM = 1024          # more than any one piece's output (512 bytes at most)
_JOIN_SIZE = 4096           # bytes of a new input joined to the undecided rest of the last
_COPY_SIZE = 1 << 20        # pieces in which a read-only buffer that can't be lent is copied
DEFAULT_CHUNK_SIZE = 65536

BytesLike = Union[bytes, bytearray, memoryview, Any]  # anything with the buffer protocol
FileName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
PathOrFile = Union[FileName, IO[bytes], Any]


class QelError(Exception):
    """A piece of input the library refused.

    code     the status code (QEL_RTN_...; 9 for a line that already carries
             the encoded mark, 10 for text where records were expected,
             12 for a NUL byte, 13 for a damaged record)
    message  the library's fixed English message for the code
    offset   the 0-based byte offset in the input at which the refused
             piece starts
    line     the 1-based number of the line (or record) it is on
    output   what the call that raised had converted before the refused
             piece (for encode_file and decode_file it is already written)

    Picklable and copyable, so it can come back from another process.
    """

    def __init__(self, code: int, message: str, offset: int, line: int, output: bytes = b"") -> None:
        super().__init__(code, message, offset, line)
        self.code = code
        self.message = message
        self.offset = offset
        self.line = line
        self.output = output

    def __str__(self) -> str:
        return "%s (code %d) at byte %d, line %d" % (self.message, self.code, self.offset, self.line)


def _byte_view(data: BytesLike, what: str) -> memoryview:
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


def _address_of(data: bytes) -> int:
    """Where the bytes of data lie (they stay there as long as data lives)."""
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value or 0


def _count_line_feeds(view: memoryview, end: int) -> int:
    obj = view.obj
    if isinstance(obj, (bytes, bytearray)) and view.nbytes == len(obj):
        return obj.count(b"\n", 0, end)
    return sum(view[i:min(end, i + _COPY_SIZE)].tobytes().count(b"\n") for i in range(0, end, _COPY_SIZE))


class _Converter:
    """One conversion, carried over as many calls of the buffer function as
    its input needs: the bytes not yet taken, and where the input stands."""

    def __init__(self, library: "Library", encoding: bool, force: bool) -> None:
        lib = library._lib
        self._library = library
        self._function = lib.QEL_EncodeBuffer if encoding else lib.QEL_DecodeBuffer
        self._bound = lib.QEL_EncodeBound if encoding else lib.QEL_DecodeBound
        self._flags = FORCE if encoding and force else 0
        self._pending = b""   # input not taken yet: the start of a piece that may go on
        self.taken = 0        # bytes of input taken so far
        self._lines = 0       # line feeds among them (kept only when more input may come)
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
                base = _address_of(source)  # type: ignore[arg-type]
            status.value = SUCCESSFUL
            self._function(self._scratch_address, room, pp, base + pos if pos else source, size - pos, cp, flags, sp)
            if produced.value:
                out.write(self._scratch_view[:produced.value])  # type: ignore[index]
            if status.value != SUCCESSFUL:
                self.failed = True
                at = pos + consumed.value
                raise QelError(status.value, self._library.message(status.value), self.taken + at,
                               self._lines + _count_line_feeds(view, at) + 1, out.getvalue())
            pos += consumed.value
            # The call stops at the end, for room, or (unless last) before a
            # piece that may go on: with room to spare, there is no more to do.
            if pos >= size or consumed.value == 0 or room - produced.value >= _PIECE_ROOM:
                break
        if last and pos < size:
            raise RuntimeError("qelcode: the library left %d bytes of the last input" % (size - pos))
        self.taken += pos
        if not last:
            self._lines += _count_line_feeds(view, pos)
        return pos

    def _span_of_bytes(self, out: io.BytesIO, data: bytes, last: bool) -> int:
        with memoryview(data) as view:
            return self._span(out, view, data, last)

    def feed(self, out: io.BytesIO, view: memoryview, last: bool) -> None:
        """Converts what can be converted of the pending bytes and view."""
        if self.failed:
            raise ValueError("this conversion stopped at a refused piece")
        if self.finished:
            raise ValueError("this conversion is closed")
        start = 0
        if self._pending:
            joined = len(self._pending)
            head = self._pending + view[:_JOIN_SIZE].tobytes()
            whole = view.nbytes <= _JOIN_SIZE
            taken = self._span_of_bytes(out, head, last and whole)
            if whole:
                self._pending = head[taken:]
                self.finished = last
                return
            if taken < joined:  # a piece longer than the joined bytes: take it all together
                rest = head[taken:] + view[_JOIN_SIZE:].tobytes()
                taken = self._span_of_bytes(out, rest, last)
                self._pending = rest[taken:]
                self.finished = last
                return
            self._pending = b""
            start = taken - joined
        with view[start:] as rest_view:
            self._feed_view(out, view, start, rest_view, last)
        self.finished = last

    def _feed_view(self, out: io.BytesIO, view: memoryview, start: int, rest: memoryview, last: bool) -> None:
        """Converts rest, which is view from start on, and keeps what it leaves."""
        obj = view.obj
        if type(obj) is bytes and view.nbytes == len(obj):
            taken = self._span(out, rest, obj if start == 0 else _address_of(obj) + start, last)
        elif not rest.readonly and rest.nbytes:
            lent = (ctypes.c_char * rest.nbytes).from_buffer(rest)
            try:
                taken = self._span(out, rest, ctypes.addressof(lent), last)
            finally:
                del lent  # gives the buffer back to its owner, who may resize it again
        else:
            # Read-only memory that ctypes can't lend: in pieces, each copied.
            size = rest.nbytes
            for at in range(0, size, _COPY_SIZE):
                piece = rest[at:at + _COPY_SIZE].tobytes()
                self.feed(out, memoryview(piece), last and at + _COPY_SIZE >= size)
                self.finished = False
            return
        self._pending = rest[taken:].tobytes()


def _chunk_size(chunk_size: int) -> int:
    size = operator.index(chunk_size)
    if size < 1:
        raise ValueError("chunk_size must be at least 1, not %d" % size)
    return size


def is_file_name(target: Any) -> bool:
    """Whether target names a file: str, bytes, or os.PathLike of either."""
    return isinstance(target, (str, bytes, os.PathLike))


def _check_file_object(target: Any, what: str, method: str) -> None:
    """Refuses what isn't a binary file object with the method, open and in
    binary mode, before anything is opened or written."""
    if isinstance(target, (bytearray, memoryview)) or not hasattr(target, method):
        raise TypeError("%s must be a file name (str, bytes, os.PathLike) or a binary file object with a "
                        "%s() method, not %r" % (what, method, type(target).__name__))
    if isinstance(target, io.TextIOBase):
        raise TypeError("%s must be opened in binary mode, not as text" % what)
    if getattr(target, "closed", False) is True:
        raise ValueError("%s is closed" % what)


def _identity(f: Any) -> Optional[Tuple[int, int]]:
    """The device and inode of the regular file that the file object f reads
    or writes, or None (not a file, or no descriptor)."""
    try:
        st = os.fstat(f.fileno())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


def _same_file_error(what: Any) -> ValueError:
    return ValueError("dest is the same file as src (%r): it would be destroyed" % (what,))


@contextmanager
def _opened_source(src: PathOrFile) -> Iterator[Any]:
    if is_file_name(src):
        with open(src, "rb") as f:
            yield f
        return
    yield src


@contextmanager
def _opened_dest(dest: PathOrFile, source: Optional[Tuple[int, int]]) -> Iterator[Any]:
    """dest, opened for writing where it is a name; refused with ValueError
    where it is the file source (device, inode), before anything in it
    changes."""
    if not is_file_name(dest):
        if source is not None and _identity(dest) == source:
            raise _same_file_error(dest)
        yield dest
        return
    # Opened without truncating, so that the same file is found before it is emptied.
    fd = os.open(dest, os.O_WRONLY | os.O_CREAT | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0), 0o666)
    try:
        st = os.fstat(fd)
        if source is not None and stat.S_ISREG(st.st_mode) and (st.st_dev, st.st_ino) == source:
            raise _same_file_error(dest)
        if stat.S_ISREG(st.st_mode):
            os.ftruncate(fd, 0)
        f = open(fd, "wb", closefd=True)
    except BaseException:
        os.close(fd)
        raise
    with f:
        yield f


class Library:
    """One loaded copy of libqelcode.

    Library() finds the library as the module does: the copy bundled with
    the package, else the file named by the environment variable
    QELCODE_LIBRARY, else the system's (libqelcode.so.1). Library(path)
    loads the file at path (str, bytes or os.PathLike; a bare name is a
    file in the current directory, not one searched for). Both raise LibraryError, which names every
    library tried and why it failed, when there is none to use, when it
    lacks a function or when it is older than the package.
    """

    def __init__(self, path: Optional[FileName] = None) -> None:
        from . import __version__
        self.path, self._lib = _native.load(None if path is None else os.fsdecode(path), __version__)

    def __repr__(self) -> str:
        return "<qelcode.Library %s, version %s>" % (self.path, self.version())

    def version(self) -> str:
        """The library's version, "MAJOR.MINOR.PATCH"."""
        return _native.version_of(self._lib)

    def message(self, code: int) -> str:
        """The library's fixed English message for a status code."""
        message: Optional[bytes] = self._lib.QEL_RtnCodeStr(code)
        return message.decode("ascii", "replace") if message is not None else "status %d" % code

    def _convert(self, encoding: bool, data: BytesLike, force: bool, what: str) -> bytes:
        converter = _Converter(self, encoding, force)
        out = io.BytesIO()
        with _byte_view(data, what) as view:
            converter.feed(out, view, True)
        return out.getvalue()

    def encode(self, data: BytesLike, force: bool = False) -> bytes:
        """The records of the text data (any bytes-like object), one per line.

        A line longer than 507 bytes becomes several records. force encodes
        lines that already carry the encoded mark. Raises QelError for a
        line that carries the mark (unless force) or holds a NUL byte, and
        TypeError for anything but a bytes-like object.
        """
        return self._convert(True, data, force, "encode() data")

    def decode(self, data: BytesLike) -> bytes:
        """The text of the records data (any bytes-like object).

        Raises QelError for a line that is not a record, or a damaged
        record, and TypeError for anything but a bytes-like object.
        """
        return self._convert(False, data, False, "decode() data")

    def encoder(self, force: bool = False) -> "Encoder":
        """An Encoder that uses this library."""
        return Encoder(force, library=self)

    def decoder(self) -> "Decoder":
        """A Decoder that uses this library."""
        return Decoder(library=self)

    def _convert_file(self, stream: "_Stream", src: PathOrFile, dest: PathOrFile, chunk_size: int) -> int:
        # Every argument is checked before dest is opened, so that a refused
        # call leaves dest as it was.
        size = _chunk_size(chunk_size)
        if not is_file_name(src):
            _check_file_object(src, "src", "read")
        if not is_file_name(dest):
            _check_file_object(dest, "dest", "write")
        with _opened_source(src) as source:
            probe = source.read(0)
            if isinstance(probe, str):
                raise TypeError("src must be opened in binary mode (it gave str)")
            with _opened_dest(dest, _identity(source)) as sink:
                while True:
                    chunk = source.read(size)
                    if chunk is None:
                        raise OSError("src is a non-blocking stream with no data ready")
                    try:
                        sink.write(stream.feed(chunk) if chunk else stream.close())
                    except QelError as e:
                        sink.write(e.output)
                        raise
                    if not chunk:
                        return stream.offset

    def encode_file(self, src: PathOrFile, dest: PathOrFile, force: bool = False,
                    chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
        """Encodes src into dest, chunk_size bytes of src at a time; answers
        the bytes read.

        src and dest are binary file objects or file names (str, bytes,
        os.PathLike). Every argument is checked before dest is opened: a
        text-mode or closed file object raises TypeError or ValueError, and
        dest that is the same file as src (same device and inode, however
        named) raises ValueError, leaving dest untouched. Records written
        before a refused line stay in dest, and QelError is raised.
        chunk_size below 1 raises ValueError.
        """
        return self._convert_file(Encoder(force, library=self), src, dest, chunk_size)

    def decode_file(self, src: PathOrFile, dest: PathOrFile, chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
        """Decodes src into dest, as encode_file encodes."""
        return self._convert_file(Decoder(library=self), src, dest, chunk_size)


_default: Optional[Library] = None
_default_lock = threading.Lock()


def default_library() -> Library:
    """The library the module's functions use, loaded on first use."""
    global _default
    library = _default
    if library is None:
        with _default_lock:
            if _default is None:
                _default = Library()
            library = _default
    return library


class _Stream:
    _encoding = True

    def __init__(self, force: bool = False, *, library: Optional[Library] = None) -> None:
        self._converter = _Converter(library or default_library(), self._encoding, force)
        # One call at a time: the conversion's state and scratch buffer are
        # shared by every call on the object.
        self._lock = threading.Lock()

    @property
    def offset(self) -> int:
        """Bytes of input converted so far."""
        return self._converter.taken

    def feed(self, data: BytesLike) -> bytes:
        """Takes the next bytes of input; returns the output of every piece
        that is now complete. The start of a piece that may go on stays until
        the next call. Raises QelError at a refused piece (its offset and
        line count from the start of the whole input), after which the
        object takes nothing more."""
        out = io.BytesIO()
        with _byte_view(data, "feed() data") as view, self._lock:
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

    def __init__(self, force: bool = False, *, library: Optional[Library] = None) -> None:
        super().__init__(force, library=library)


class Decoder(_Stream):
    """Decodes records that arrive in pieces, split anywhere; as Encoder."""

    _encoding = False

    def __init__(self, *, library: Optional[Library] = None) -> None:
        super().__init__(False, library=library)

