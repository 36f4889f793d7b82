"""qelcode for Python: text encoded line by line into records, and decoded
back, through libqelcode's buffer functions (no C stdio on the way).

    import qelcode
    records = qelcode.encode(b"first line\\nsecond line\\n")
    assert qelcode.decode(records) == b"first line\\nsecond line\\n"
    qelcode.encode_file("in.txt", "out.qel")        # paths or binary file objects

    encoder = qelcode.Encoder()                     # input that arrives in pieces
    out = encoder.feed(b"first li") + encoder.feed(b"ne\\nsecond") + encoder.close()

The library used is the copy bundled with the package (a platform wheel),
else the file named by the environment variable QELCODE_LIBRARY, else the
system's (libqelcode.so.1); Library(path) loads a given file. A name in
QELCODE_LIBRARY or given to Library is a file name (a bare name is a file
in the current directory). It is loaded
on first use; LibraryError says what was tried when none can be used.
A refused piece raises QelError, which carries the status code, the
library's message for it, and the byte offset and 1-based line number at
which the refused piece starts.

Encoder and Decoder objects may be shared between threads: the calls on
one object take turns (a lock), as for the standard library's
compression objects.
"""

from __future__ import annotations

from typing import Optional

from ._errors import LibraryError, QelError
from ._files import DEFAULT_CHUNK_SIZE, PathOrFile
from ._incremental import Decoder, Encoder
from ._library import Library, default_library, set_default_library
from ._views import BytesLike

__version__ = "1.2.0"

__all__ = ["QelError", "LibraryError", "Library", "Encoder", "Decoder", "encode", "decode",
           "encode_file", "decode_file", "version", "library", "__version__"]

for _public in (QelError, LibraryError, Library, Encoder, Decoder):
    _public.__module__ = __name__
del _public


def library() -> Library:
    """The Library the module's functions use (loaded on first use)."""
    return default_library()


def encode(data: BytesLike, force: bool = False) -> bytes:
    """The records of the text data (any bytes-like object), one per line.

    A line longer than 507 bytes becomes several records. force encodes lines
    that already carry the encoded mark. Raises QelError for a line that
    carries the mark (unless force) or holds a NUL byte, TypeError for
    anything but a bytes-like object.
    """
    return default_library().encode(data, force)


def decode(data: BytesLike) -> bytes:
    """The text of the records data (any bytes-like object).

    Raises QelError for a line that is not a record or a damaged record,
    TypeError for anything but a bytes-like object.
    """
    return default_library().decode(data)


def encode_file(src: PathOrFile, dest: PathOrFile, force: bool = False,
                chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
    """Encodes src into dest, chunk_size bytes at a time; answers the bytes read.

    src and dest are binary file objects or file names (str, bytes,
    os.PathLike). Every argument is checked before dest is opened or
    created: a text-mode file object raises TypeError, a closed one
    ValueError, and dest that is the same file as src (same device and
    inode, however named) ValueError, all with dest untouched. Records
    written before a refused line stay in dest, and QelError is raised.
    chunk_size below 1 raises ValueError.
    """
    return default_library().encode_file(src, dest, force, chunk_size)


def decode_file(src: PathOrFile, dest: PathOrFile, chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
    """Decodes src into dest, chunk_size bytes at a time; answers the bytes read.

    As encode_file: file names or binary file objects, checked before dest
    is opened; QelError at a refused record.
    """
    return default_library().decode_file(src, dest, chunk_size)


def version() -> str:
    """The version of the library in use, "MAJOR.MINOR.PATCH"."""
    return default_library().version()


def _reset(library: Optional[Library] = None) -> None:
    """Makes the module's functions use library (None: find it again on next use)."""
    set_default_library(library)
