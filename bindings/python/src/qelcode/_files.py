"""The file functions' side: file names and file objects checked before
anything is opened, the destination opened so that the source is never
destroyed, and the loop that feeds one to the other."""

from __future__ import annotations

import io
import operator
import os
import stat
from contextlib import contextmanager
from typing import IO, Any, Iterator, Optional, Protocol, Tuple, Union


from ._errors import QelError

DEFAULT_CHUNK_SIZE = 65536

FileName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
PathOrFile = Union[FileName, IO[bytes], Any]


class Stream(Protocol):
    """What the loop feeds: an Encoder or a Decoder."""

    @property
    def offset(self) -> int: ...

    def feed(self, data: bytes) -> bytes: ...

    def close(self) -> bytes: ...


def chunk_size_of(chunk_size: int) -> int:
    size = operator.index(chunk_size)
    if size < 1:
        raise ValueError("chunk_size must be at least 1, not %d" % size)
    return size


def check_file_object(target: Any, what: str, method: str) -> None:
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
    if isinstance(src, (str, bytes, os.PathLike)):
        with open(src, "rb") as f:
            yield f
        return
    yield src


@contextmanager
def _opened_dest(dest: PathOrFile, source: Optional[Tuple[int, int]]) -> Iterator[Any]:
    """dest, opened for writing where it is a name; refused with ValueError
    where it is the file source (device, inode), before anything in it
    changes."""
    if not isinstance(dest, (str, bytes, os.PathLike)):
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


def convert_file(stream: Stream, src: PathOrFile, dest: PathOrFile, chunk_size: int) -> int:
    """Feeds src to stream chunk_size bytes at a time and writes what it
    gives to dest; returns the bytes of src taken. Every argument is
    checked before dest is opened, so that a refused call leaves dest
    as it was; dest that is src is refused (ValueError)."""
    size = chunk_size_of(chunk_size)
    if not isinstance(src, (str, bytes, os.PathLike)):
        check_file_object(src, "src", "read")
    if not isinstance(dest, (str, bytes, os.PathLike)):
        check_file_object(dest, "dest", "write")
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

