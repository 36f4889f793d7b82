"""qelcode from Python, through ctypes: no build step, no C stdio.

    import qelcode
    records = qelcode.encode(b"first line\nsecond line\n")
    assert qelcode.decode(records) == b"first line\nsecond line\n"
    with open("in.txt", "rb") as src, open("out.qel", "wb") as dest:
        qelcode.encode_file(src, dest)

The library is found by the usual rules (ctypes.util.find_library, then the
platform's plain library name); Library(path) loads a given file instead.
A refused piece raises QelError, which carries the status code, the
library's message for it, and the byte offset and 1-based line number at
which the refused piece starts.
"""

import ctypes
import ctypes.util
import os
import sys

__all__ = ["QelError", "Library", "encode", "decode", "encode_file", "decode_file", "version"]

SUCCESSFUL = 1
FORCE = 1
LAST = 2


class QelError(Exception):
    """A piece the library refused, or a call it could not make."""

    def __init__(self, code, message, offset, line):
        super().__init__("%s (code %d) at byte %d, line %d" % (message, code, offset, line))
        self.code = code
        self.message = message
        self.offset = offset
        self.line = line


def _default_path():
    found = ctypes.util.find_library("qelcode")
    if found:
        return found
    if sys.platform == "win32":
        return "qelcode.dll"
    if sys.platform == "darwin":
        return "libqelcode.1.dylib"
    return "libqelcode.so.1"


class Library:
    """One loaded copy of the library, by path or by the usual rules."""

    def __init__(self, path=None):
        self.path = path or _default_path()
        lib = ctypes.CDLL(self.path)
        size_p = ctypes.POINTER(ctypes.c_size_t)
        for name in ("QEL_EncodeBuffer", "QEL_DecodeBuffer"):
            fn = getattr(lib, name)
            fn.restype = ctypes.c_int32
            fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t, size_p, ctypes.c_char_p, ctypes.c_size_t,
                           size_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
        for name in ("QEL_EncodeBound", "QEL_DecodeBound"):
            fn = getattr(lib, name)
            fn.restype = ctypes.c_size_t
            fn.argtypes = [ctypes.c_size_t]
        lib.QEL_RtnCodeStr.restype = ctypes.c_char_p
        lib.QEL_RtnCodeStr.argtypes = [ctypes.c_int32]
        lib.QEL_Version.restype = ctypes.c_char_p
        lib.QEL_Version.argtypes = []
        self._lib = lib

    def version(self):
        return self._lib.QEL_Version().decode("ascii")

    def message(self, code):
        return self._lib.QEL_RtnCodeStr(code).decode("ascii")

    def _call(self, encoding, dest, src, flags):
        """One call on bytes src into the ctypes buffer dest: (produced, consumed, status)."""
        fn = self._lib.QEL_EncodeBuffer if encoding else self._lib.QEL_DecodeBuffer
        produced = ctypes.c_size_t(0)
        consumed = ctypes.c_size_t(0)
        status = ctypes.c_int32(SUCCESSFUL)
        fn(dest, len(dest), ctypes.byref(produced), src, len(src), ctypes.byref(consumed), flags,
           ctypes.byref(status))
        return produced.value, consumed.value, status.value

    def _raise(self, status, offset, line):
        raise QelError(status, self.message(status), offset, line)

    def _convert(self, encoding, data, force):
        data = bytes(data)
        bound = (self._lib.QEL_EncodeBound if encoding else self._lib.QEL_DecodeBound)(len(data))
        dest = ctypes.create_string_buffer(max(bound, 1))
        flags = LAST | (FORCE if force and encoding else 0)
        produced, consumed, status = self._call(encoding, dest, data, flags)
        if status != SUCCESSFUL:
            self._raise(status, consumed, data.count(b"\n", 0, consumed) + 1)
        return dest.raw[:produced]

    def encode(self, data, force=False):
        """The records of the text `data` (bytes), as QEL_EncodeStream writes them."""
        return self._convert(True, data, force)

    def decode(self, data):
        """The text of the records `data` (bytes), as QEL_DecodeStream writes it."""
        return self._convert(False, data, False)

    def _convert_file(self, encoding, src, dest, force, chunk_size):
        dest_buf = ctypes.create_string_buffer(max(4 * chunk_size + 4, 4096))
        flags = FORCE if force and encoding else 0
        pending = b""       # read, not yet taken
        offset = 0          # bytes of src taken so far
        lines = 0           # line feeds among them
        at_end = False
        while True:
            if not at_end:
                chunk = src.read(chunk_size)
                at_end = not chunk
                pending += chunk
            produced, consumed, status = self._call(encoding, dest_buf, pending, flags | (LAST if at_end else 0))
            if produced:
                dest.write(dest_buf.raw[:produced])
            if status != SUCCESSFUL:
                self._raise(status, offset + consumed, lines + pending.count(b"\n", 0, consumed) + 1)
            lines += pending.count(b"\n", 0, consumed)
            offset += consumed
            pending = pending[consumed:]
            if at_end and not pending:
                return offset
            if at_end and consumed == 0:
                # Everything is read and a whole piece is there: it wants more room.
                dest_buf = ctypes.create_string_buffer(len(dest_buf) * 2)

    def encode_file(self, src, dest, force=False, chunk_size=65536):
        """Encodes the binary file object src into dest, chunk by chunk; answers the bytes read."""
        return self._convert_file(True, src, dest, force, chunk_size)

    def decode_file(self, src, dest, chunk_size=65536):
        """Decodes the binary file object src into dest, chunk by chunk; answers the bytes read."""
        return self._convert_file(False, src, dest, False, chunk_size)


_default = None


def _library():
    global _default
    if _default is None:
        _default = Library(os.environ.get("QELCODE_LIBRARY") or None)
    return _default


def encode(data, force=False):
    return _library().encode(data, force)


def decode(data):
    return _library().decode(data)


def encode_file(src, dest, force=False, chunk_size=65536):
    return _library().encode_file(src, dest, force, chunk_size)


def decode_file(src, dest, chunk_size=65536):
    return _library().decode_file(src, dest, chunk_size)


def version():
    return _library().version()
