"""The package's exceptions: a piece of input the library refused, and a
library that can't be used."""

from __future__ import annotations

from typing import Optional, Sequence, Tuple


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
    path     the file the piece is in, where the error names one (the
             functions of qelcode.dask), else None

    Picklable and copyable, so it can come back from another process.
    """

    def __init__(self, code: int, message: str, offset: int, line: int, output: bytes = b"") -> None:
        super().__init__(code, message, offset, line)
        self.code = code
        self.message = message
        self.offset = offset
        self.line = line
        self.output = output
        self.path: Optional[str] = None

    def __str__(self) -> str:
        where = "%s: " % self.path if self.path is not None else ""
        return "%s%s (code %d) at byte %d, line %d" % (where, self.message, self.code, self.offset, self.line)


class LibraryError(OSError):
    """libqelcode could not be loaded, or the library loaded can't serve
    this package (a function missing, a version older than the package's).

    ``tried`` lists what was tried, in order, as (library, reason) pairs.
    """

    def __init__(self, message: str, tried: Sequence[Tuple[str, str]] = ()) -> None:
        super().__init__(message)
        self.tried = list(tried)
