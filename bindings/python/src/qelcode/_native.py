"""Finding and loading libqelcode, and the prototypes of the functions the
package calls.

A package built as a platform wheel carries its own copy of the library
beside this file; a package installed from plain files (a distribution's
python3-qelcode) has none and uses the system's.
"""

from __future__ import annotations

import ctypes
import os
import sys
from typing import List, Optional, Tuple

from ._errors import LibraryError

ENVIRONMENT_VARIABLE = "QELCODE_LIBRARY"

_SIZE_P = ctypes.POINTER(ctypes.c_size_t)
_BUFFER_FUNCTION_ARGS = [ctypes.c_void_p, ctypes.c_size_t, _SIZE_P, ctypes.c_void_p, ctypes.c_size_t,
                         _SIZE_P, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
# The size of a QEL_Converter, on every target.
CONVERTER_SIZE = 1152
# name: (result type, argument types)
_PROTOTYPES = {
    "QEL_EncodeBuffer": (ctypes.c_int32, _BUFFER_FUNCTION_ARGS),
    "QEL_DecodeBuffer": (ctypes.c_int32, _BUFFER_FUNCTION_ARGS),
    "QEL_EncodeBound": (ctypes.c_size_t, [ctypes.c_size_t]),
    "QEL_DecodeBound": (ctypes.c_size_t, [ctypes.c_size_t]),
    "QEL_RtnCodeStr": (ctypes.c_char_p, [ctypes.c_int32]),
    "QEL_Version": (ctypes.c_char_p, []),
    "QEL_ConverterInit": (ctypes.c_int32, [ctypes.c_void_p, ctypes.c_uint32]),
    "QEL_ConverterPut": (ctypes.c_int32, [ctypes.c_void_p] + _BUFFER_FUNCTION_ARGS),
    "QEL_ConverterOffset": (ctypes.c_uint64, [ctypes.c_void_p]),
    "QEL_ConverterLine": (ctypes.c_uint64, [ctypes.c_void_p]),
}


def library_file_name() -> str:
    """The library's file name on this platform, as the dynamic loader knows it."""
    if sys.platform == "win32":
        return "qelcode.dll"
    if sys.platform == "darwin":
        return "libqelcode.1.dylib"
    return "libqelcode.so.1"


def bundled_path() -> str:
    """Where a platform wheel puts its own copy of the library."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), library_file_name())


def _version_tuple(text: str) -> Tuple[int, ...]:
    parts = text.split(".")
    if len(parts) != 3 or not all(p.isdigit() for p in parts):
        raise ValueError(text)
    return tuple(int(p) for p in parts)


def _open(path: str, required: str) -> ctypes.CDLL:
    """Loads one library and declares its functions; LibraryError with the
    reason alone (the caller names the library)."""
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise LibraryError(str(e) or "cannot be loaded") from None
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            raise LibraryError("has no function %s: not libqelcode %s or later" % (name, required)) from None
        fn.restype = restype
        fn.argtypes = argtypes
    version = version_of(lib)
    try:
        too_old = _version_tuple(version) < _version_tuple(required)
    except ValueError:
        raise LibraryError("reports version %r, not MAJOR.MINOR.PATCH" % version) from None
    if too_old:
        raise LibraryError("is version %s; this package needs %s or later" % (version, required))
    return lib


def version_of(lib: ctypes.CDLL) -> str:
    """What QEL_Version() of lib says; LibraryError where it gives NULL."""
    version: Optional[bytes] = lib.QEL_Version()
    if version is None:
        raise LibraryError("reports no version (QEL_Version returned NULL)")
    return version.decode("ascii", "replace")


def message_of(lib: ctypes.CDLL, code: int) -> str:
    """The fixed English message of lib for a status code."""
    message: Optional[bytes] = lib.QEL_RtnCodeStr(code)
    return message.decode("ascii", "replace") if message is not None else "status %d" % code


def as_file_name(path: str) -> str:
    """path as the dynamic loader takes a file: a bare name would be
    searched for on the system's library path, so it is made relative to
    the current directory."""
    seps = [os.sep] + ([os.altsep] if os.altsep else [])
    return path if any(sep in path for sep in seps) else os.path.join(os.curdir, path)


def _hint(name: str) -> str:
    return ("set %s to the path of %s, or install the library (Debian: libqelcode1)"
            % (ENVIRONMENT_VARIABLE, name))


def load(path: Optional[str], required: str) -> Tuple[str, ctypes.CDLL]:
    """The library at path, or else the first of: the copy bundled with the
    package, the file named by QELCODE_LIBRARY, the system's. A bundled copy
    that fails to load is passed over; a QELCODE_LIBRARY that fails is an
    error, since it was asked for. Returns (what was loaded, the library)."""
    name = library_file_name()
    if path is not None:
        path = os.fsdecode(path)
        try:
            return path, _open(as_file_name(path), required)
        except LibraryError as e:
            raise LibraryError("cannot use the qelcode library %s: %s\n%s" % (path, e, _hint(name)),
                               [(path, str(e))]) from None

    tried: List[Tuple[str, str]] = []

    def attempt(candidate: str) -> Optional[ctypes.CDLL]:
        try:
            return _open(candidate, required)
        except LibraryError as e:
            tried.append((candidate, str(e)))
            return None

    def failure(summary: str) -> LibraryError:
        lines = ["%s; tried:" % summary]
        lines += ["  %s: %s" % pair for pair in tried]
        lines.append(_hint(name))
        return LibraryError("\n".join(lines), tried)

    bundled = bundled_path()
    if os.path.exists(bundled):
        lib = attempt(bundled)
        if lib is not None:
            return bundled, lib
    else:
        tried.append((bundled, "not there (this package was installed without a bundled library)"))

    chosen = os.environ.get(ENVIRONMENT_VARIABLE)
    if chosen:
        lib = attempt(as_file_name(chosen))
        if lib is not None:
            return chosen, lib
        tried[-1] = ("%s=%s" % (ENVIRONMENT_VARIABLE, chosen), tried[-1][1])
        raise failure("the qelcode library named by %s can't be used" % ENVIRONMENT_VARIABLE)
    tried.append(("%s" % ENVIRONMENT_VARIABLE, "not set"))

    lib = attempt(name)
    if lib is not None:
        return name, lib
    tried[-1] = ("%s (the system's)" % name, tried[-1][1])
    raise failure("the qelcode library was not found")
