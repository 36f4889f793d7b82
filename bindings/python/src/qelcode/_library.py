"""One loaded copy of libqelcode and the conversions it offers, and the
copy the module's functions use."""

from __future__ import annotations

import io
import os
from typing import Optional

from . import _default, _native
from ._converter import Converter
from ._files import DEFAULT_CHUNK_SIZE, FileName, PathOrFile, convert_file
from ._incremental import Decoder, Encoder
from ._views import BytesLike, byte_view


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
        return _native.message_of(self._lib, code)

    def _convert(self, encoding: bool, data: BytesLike, force: bool, what: str) -> bytes:
        converter = Converter(self._lib, encoding, force)
        out = io.BytesIO()
        with byte_view(data, what) as view:
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

    def encoder(self, force: bool = False) -> Encoder:
        """An Encoder that uses this library."""
        return Encoder(force, library=self)

    def decoder(self) -> Decoder:
        """A Decoder that uses this library."""
        return Decoder(library=self)

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
        return convert_file(self.encoder(force), src, dest, chunk_size)

    def decode_file(self, src: PathOrFile, dest: PathOrFile, chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
        """Decodes src into dest, as encode_file encodes."""
        return convert_file(self.decoder(), src, dest, chunk_size)


_default.set_maker(Library)
default_library = _default.default_library
set_default_library = _default.set_default_library
