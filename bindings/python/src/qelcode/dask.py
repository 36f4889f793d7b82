"""Whole data sets on a Dask cluster: every input file cut after line feeds
into blocks, every block converted by a worker, each file's output written
as ordered part files.

    from distributed import Client
    import qelcode.dask

    client = Client("scheduler:8786")      # or LocalCluster(); none: Dask's default
    qelcode.dask.encode_files("s3://logs/2026-*.log", "s3://encoded/logs",
                              blocksize="64 MiB")

A record never spans a line feed, so a file cut right after any line feed
gives blocks that convert independently: the parts of one file, in the
order of their names, are byte for byte what the whole file gives.

Inputs and output are paths (str or os.PathLike) or URLs of any file
system that fsspec reaches (local, NFS, object stores). An input that is
an existing file is that file, whatever characters its name holds; any
other input is a glob. Paths are normalised (".." taken away) before
outputs are named. The output of the input DIR/NAME is the folder
OUTPUT/NAME (named by the input's path below the folder common to every
input), holding part-00000, part-00001, ... (more digits where a file has
more than 100,000 parts: the order of the names is the order of the parts)
and, written last, the empty file .qel-complete.

Each task reads its own block of the file (from the first line feed at or
after the block's nominal start, to the first at or after its end) and
streams it through the library in small pieces, writing its part as it
goes: no block-sized object is built or passed between tasks.

What is written, removed and refused:
- A file's parts are written into a hidden working folder beside its
  output, .NAME.qel-incomplete-TOKEN (TOKEN new for every call), so no
  output can clash with another's working folder.
- On a local file system the working folder takes the name OUTPUT/NAME by
  one rename once every part and the marker are there: a folder of that
  name is never half-written. On other stores it is moved there and the
  marker is written last: only a folder holding .qel-complete is complete.
- OUTPUT/NAME is replaced only where it is recognisably an earlier output:
  a folder holding nothing but part files and the marker. Anything else
  there (a file, a link, a folder holding anything else), a file where a
  folder above it is needed, and an output folder that is an input or
  holds one, are refused before anything is read or written.
- A refused line, a read error, or an input that changed after the work
  was planned (its size, modification time or identity) stops that file
  alone: its working folder is removed, and with it every folder this
  call made for it that is left empty; the earlier output, if any, is kept.

Needs the optional extra: pip install qelcode[dask].
"""

from __future__ import annotations

import math
import os
import posixpath
import re
import shutil
import stat
import uuid
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import dask
from dask.delayed import Delayed, delayed
from dask.utils import parse_bytes
from fsspec.core import url_to_fs
from fsspec.implementations.local import LocalFileSystem

from ._errors import QelError
from ._incremental import Decoder, Encoder

__all__ = ["encode_files", "decode_files", "part_name", "InputChangedError", "PART_NAME",
           "COMPLETE_MARKER", "WORKING_INFIX"]

#: The name of the n-th part of a file of fewer than 100,000 parts; part_name() for any count.
PART_NAME = "part-%05d"
#: The empty file written last into a file's complete output folder.
COMPLETE_MARKER = ".qel-complete"
#: A working folder is named "." + NAME + WORKING_INFIX + a token new for every call.
WORKING_INFIX = ".qel-incomplete-"
_OLD_INFIX = ".qel-old-"  # an earlier output while it is replaced

_PART_RE = re.compile(r"part-[0-9]{5,}")
_PIECE = 64 * 1024  # bytes read, converted and written at a time

Inputs = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]


class InputChangedError(OSError):
    """An input file whose size, modification time or identity is no longer
    what it was when the work was planned: its output is not written.
    ``path`` names the file."""

    def __init__(self, path: str) -> None:
        super().__init__("%s: the file changed after the work was planned (size, modification time or "
                         "identity); its output is not written" % path)
        self.path = path

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:  # from a worker, as it was raised there
        return (InputChangedError, (self.path,))


def part_name(n: int, count: int) -> str:
    """The name of part n of a file of count parts: names sort in part order."""
    return "part-%0*d" % (max(5, len(str(max(count - 1, 0)))), n)


def encode_files(inputs: Inputs, output: Union[str, "os.PathLike[str]"], *,
                 blocksize: Union[int, str] = "64 MiB", force: bool = False, compute: bool = True,
                 storage_options: Optional[Dict[str, Any]] = None) -> Union[Dict[str, str], List[Delayed]]:
    """Encodes every input file into ordered part files under output.

    inputs are paths, URLs or globs (one, or a list); blocksize is the
    size in bytes (or a string such as "64 MiB") at which a file is cut,
    at the next line feed; force encodes lines that already carry the
    encoded mark; storage_options go to fsspec for the inputs and output.

    Everything that would be refused (no file for an input, an output
    that is not an earlier output of these functions, ...) is refused
    before any work starts, with FileNotFoundError, FileExistsError or
    ValueError.

    With compute (the default) the work runs at once, on the active
    distributed Client if there is one, and the answer maps each input
    file (its normalised path) to the folder of its parts. A refused line stops only its own file: every
    other file is still written, and then QelError is raised for the first
    refused file in input order, with path naming it and offset and line
    counted from the start of the whole file, as the tool counts them. A
    file that could not be read, or changed after the work was planned
    (InputChangedError), is reported in the same way.

    Without compute the answer is one dask Delayed a file, in input order,
    each computing to the folder of its parts or raising that error. Each
    waits for every file of the call, so that one raising leaves no other
    file half done.
    """
    return _convert_files(True, inputs, output, blocksize, force, compute, storage_options)


def decode_files(inputs: Inputs, output: Union[str, "os.PathLike[str]"], *,
                 blocksize: Union[int, str] = "64 MiB", compute: bool = True,
                 storage_options: Optional[Dict[str, Any]] = None) -> Union[Dict[str, str], List[Delayed]]:
    """Decodes every input file of records into ordered part files under
    output; as encode_files, for records."""
    return _convert_files(False, inputs, output, blocksize, False, compute, storage_options)


class _File(NamedTuple):
    """One input file and its output, as planned: all a task needs."""
    fs: Any
    path: str
    local: bool
    signature: Tuple[Any, ...]
    size: int
    folder: str        # OUTPUT/NAME
    working: str       # its hidden working folder
    trash: str         # where an earlier output goes while it is replaced (local)
    made: Tuple[str, ...]  # folders this call makes for it, deepest first
    encoding: bool
    force: bool


# What a block's task tells the file's last task: None, a refusal (code,
# message, offset within the block, line within the block, the block's
# start in the file), or the exception that stopped it.
_BlockResult = Union[None, Tuple[int, str, int, int, int], BaseException]


def _convert_files(encoding: bool, inputs: Inputs, output: Union[str, "os.PathLike[str]"],
                   blocksize: Union[int, str], force: bool, compute: bool,
                   storage_options: Optional[Dict[str, Any]]) -> Union[Dict[str, str], List[Delayed]]:
    options = dict(storage_options or {})
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
    if size <= 0:
        raise ValueError("blocksize must be positive, not %r" % (blocksize,))
    urls = [os.fspath(inputs)] if isinstance(inputs, (str, os.PathLike)) else [os.fspath(u) for u in inputs]
    if not urls:
        raise ValueError("no inputs")
    found = _input_files(urls, options)
    out_fs, out_root = url_to_fs(os.fspath(output), **options)
    out_local = isinstance(out_fs, LocalFileSystem)
    out_root = _normalised(out_root, out_local).rstrip("/") or "/"
    names = _output_names([path for _, path in found])
    folders = [_inside(out_root, name) for name in names]
    _refuse_outputs_over_inputs(found, out_fs, folders)
    made = _check_outputs(out_fs, out_local, out_root, folders)
    token = uuid.uuid4().hex[:16]
    results = []
    for (fs, path), folder in zip(found, folders):
        local = isinstance(fs, LocalFileSystem)
        signature, file_size = _signature(fs, path, local)
        parent, base = posixpath.split(folder)
        job = _File(fs, path, local, signature, file_size, folder,
                    posixpath.join(parent, "." + base + WORKING_INFIX + token),
                    posixpath.join(parent, "." + base + _OLD_INFIX + token),
                    tuple(m for m in made if folder.startswith(m.rstrip("/") + "/")), encoding, force)
        count = max(1, math.ceil(file_size / size))
        parts = [delayed(_convert_block, pure=False)(job, out_fs, n, count, n * size, size) for n in range(count)]
        results.append(delayed(_finish_file, pure=False)(job, out_fs, parts))
    everything = delayed(_all_of, pure=False)(results)
    if not compute:
        return [delayed(_answer, pure=False)(everything, i) for i in range(len(results))]
    (answers,) = dask.compute(everything)
    for answer in answers:
        if isinstance(answer, BaseException):
            raise answer
    return dict(zip((path for _, path in found), answers))


def _normalised(path: str, local: bool) -> str:
    """path with "." and ".." taken away (and absolute, on the local file system)."""
    if local:
        return os.path.normpath(os.path.abspath(path)).replace(os.sep, "/")
    if any(part in (".", "..") for part in path.split("/")):
        return posixpath.normpath(path)
    return path


def _input_files(urls: Sequence[str], options: Dict[str, Any]) -> List[Tuple[Any, str]]:
    """Every input file, as (file system, normalised path): an input that is
    a file is that file; any other is a glob, which must match a file."""
    found = []
    for url in urls:
        fs, path = url_to_fs(url, **options)
        path = _normalised(path, isinstance(fs, LocalFileSystem))
        if fs.isfile(path):
            found.append((fs, path))
            continue
        matches = sorted(p for p, info in fs.glob(path, detail=True).items() if info.get("type") == "file") \
            if any(c in path for c in "*?[") else []
        if not matches:
            raise FileNotFoundError("no input file is %r%s" % (url, " or matches it" if "*" in url or "?" in url
                                                               or "[" in url else ""))
        found.extend((fs, _normalised(p, isinstance(fs, LocalFileSystem))) for p in matches)
    return found


def _output_names(paths: Sequence[str]) -> List[str]:
    """Each input's path below the folder common to all of them (its file
    name alone where there is one input)."""
    parents = [posixpath.dirname(p) for p in paths]
    common = posixpath.commonpath(parents) if all(p.startswith("/") for p in parents) or \
        not any(p.startswith("/") for p in parents) else ""
    names = [posixpath.relpath(p, common) if common else p.lstrip("/") for p in paths]
    if len(set(names)) != len(names):
        raise ValueError("inputs named twice: %r" % sorted(n for n in names if names.count(n) > 1))
    return names


def _inside(root: str, name: str) -> str:
    """The folder OUTPUT/NAME, which must lie below the output."""
    parts = name.split("/")
    if not name or name.startswith("/") or any(p in ("", ".", "..") for p in parts) or \
            WORKING_INFIX in parts[-1] or _OLD_INFIX in parts[-1]:
        raise ValueError("the input named %r gives no output folder below %s" % (name, root))
    return posixpath.join(root, name)


def _refuse_outputs_over_inputs(found: Sequence[Tuple[Any, str]], out_fs: Any, folders: Sequence[str]) -> None:
    """ValueError where the folder of a file's output, which replaces what
    is there, is an input or holds one: output in the inputs' own folder,
    for one."""
    local = isinstance(out_fs, LocalFileSystem)
    real: Callable[[str], str] = os.path.realpath if local else (lambda p: p)
    inputs = [(real(path), path) for fs, path in found if type(fs) is type(out_fs)]
    for folder in folders:
        taken = real(folder)
        for path, name in inputs:
            if path == taken or path.startswith(taken.rstrip("/") + "/"):
                raise ValueError("the output folder %s would overwrite the input %s" % (taken, name))


def _kind(fs: Any, local: bool, path: str) -> Optional[str]:
    """"dir", "file" (anything else, a link included) or None where nothing is there."""
    if local:
        try:
            mode = os.lstat(path).st_mode
        except FileNotFoundError:
            return None
        return "dir" if stat.S_ISDIR(mode) else "file"
    if not fs.exists(path):
        return None
    return "dir" if fs.isdir(path) else "file"


def _earlier_output(fs: Any, local: bool, folder: str) -> bool:
    """Whether folder holds nothing but part files and the marker."""
    if local:
        try:
            with os.scandir(folder) as entries:
                return all(e.is_file(follow_symlinks=False) and
                           (_PART_RE.fullmatch(e.name) is not None or e.name == COMPLETE_MARKER) for e in entries)
        except (NotADirectoryError, FileNotFoundError):
            return False
    return all(info.get("type") == "file" and (_PART_RE.fullmatch(posixpath.basename(info["name"].rstrip("/")))
                                               or posixpath.basename(info["name"]) == COMPLETE_MARKER)
               for info in fs.ls(folder, detail=True))


def _check_outputs(fs: Any, local: bool, root: str, folders: Sequence[str]) -> List[str]:
    """Refuses (FileExistsError) whatever an output would replace that is not
    an earlier output; answers the folders to be made, deepest first."""
    made = set()
    above = root
    while _kind(fs, local, above) is None and above not in ("", "/"):
        made.add(above)
        above = posixpath.dirname(above)
    if root not in made and not (os.path.isdir(root) if local else fs.isdir(root)):
        raise FileExistsError("the output %s is not a folder: nothing was written" % root)
    for folder in folders:
        above = posixpath.dirname(folder)
        while above.rstrip("/") != root.rstrip("/") and above not in made:
            kind = _kind(fs, local, above)
            if kind == "file":
                raise FileExistsError("%s is in the way of the output folder %s and is not a folder: "
                                      "nothing was written" % (above, folder))
            if kind is None:
                made.add(above)
            above = posixpath.dirname(above)
        kind = _kind(fs, local, folder)
        if kind == "file" or (kind == "dir" and not _earlier_output(fs, local, folder)):
            raise FileExistsError("%s is there and is not an earlier output (a folder holding nothing but "
                                  "part files): nothing was written" % folder)
    return sorted(made, key=lambda p: (-p.count("/"), p))


def _signature(fs: Any, path: str, local: bool) -> Tuple[Tuple[Any, ...], int]:
    """What identifies the file's content as planned, and its size."""
    if local:
        st = os.stat(path)
        return _stat_signature(st), st.st_size
    info = fs.info(path)
    keys = ("size", "mtime", "LastModified", "last_modified", "ETag", "etag", "ino", "created", "updated",
            "generation", "md5Hash", "version_id")
    return tuple((k, str(info[k])) for k in keys if k in info), int(info["size"])


def _stat_signature(st: os.stat_result) -> Tuple[Any, ...]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


class _Reader:
    """The input file opened by a task, checked against the plan when
    opened and again when the task is done with it."""

    def __init__(self, job: _File) -> None:
        self.job = job
        if job.local:
            self.f = open(job.path, "rb", buffering=0)
        else:
            self._check(_signature(job.fs, job.path, False)[0])
            self.f = job.fs.open(job.path, "rb")
        self.check()

    def _check(self, signature: Tuple[Any, ...]) -> None:
        if signature != self.job.signature:
            raise InputChangedError(self.job.path)

    def check(self) -> None:
        if self.job.local:
            self._check(_stat_signature(os.fstat(self.f.fileno())))
        else:
            self._check(_signature(self.job.fs, self.job.path, False)[0])

    def close(self) -> None:
        self.f.close()

    def read(self, at: int, buf: bytearray, end: int) -> memoryview:
        """The bytes from at (up to buf's size, never past end); a short read is an error."""
        n = min(len(buf), end - at)
        view = memoryview(buf)[:n]
        self.f.seek(at)
        got = 0
        while got < n:
            k = self.f.readinto(view[got:])
            if not k:
                raise InputChangedError(self.job.path)
            got += k
        return view

    def after_line_feed(self, at: int, buf: bytearray) -> int:
        """Where the byte after the first line feed at or after at lies (the size, without one)."""
        size = self.job.size
        while at < size:
            view = self.read(at, buf, size)
            i = bytes(view).find(b"\n")
            if i >= 0:
                return at + i + 1
            at += len(view)
        return size

    def count_line_feeds(self, end: int, buf: bytearray) -> int:
        at = lines = 0
        while at < end:
            view = self.read(at, buf, end)
            lines += bytes(view).count(b"\n")
            at += len(view)
        return lines


def _makedirs(fs: Any, local: bool, folder: str) -> None:
    if local:
        os.makedirs(folder, exist_ok=True)
    else:
        fs.makedirs(folder, exist_ok=True)


def _open_part(fs: Any, local: bool, folder: str, name: str) -> Any:
    """The part's file, created in folder (and folder made). Another file's
    task may remove an empty folder above it meanwhile: then again."""
    for attempt in range(20):
        _makedirs(fs, local, folder)
        try:
            path = posixpath.join(folder, name)
            return open(path, "wb") if local else fs.open(path, "wb")
        except FileNotFoundError:
            if attempt == 19:
                raise
    raise AssertionError("unreachable")


def _convert_block(job: _File, out_fs: Any, n: int, count: int, offset: int, length: int) -> _BlockResult:
    """Converts the block at offset (length bytes, cut after line feeds) into
    its part, as it reads it; what the file's last task needs."""
    out_local = isinstance(out_fs, LocalFileSystem)
    try:
        reader = _Reader(job)
        try:
            buf = bytearray(_PIECE)
            start = 0 if offset == 0 else reader.after_line_feed(offset, buf)
            end = job.size if offset + length >= job.size else reader.after_line_feed(offset + length, buf)
            end = max(start, end)
            converter = Encoder(job.force) if job.encoding else Decoder()
            with _open_part(out_fs, out_local, job.working, part_name(n, count)) as part:
                at = start
                try:
                    while at < end:
                        view = reader.read(at, buf, end)
                        part.write(converter.feed(view))
                        at += len(view)
                    part.write(converter.close())
                except QelError as e:
                    return (e.code, e.message, e.offset, e.line, start)
                if out_local:  # on disk before the folder takes its name, as the tool's output
                    part.flush()
                    os.fsync(part.fileno())
            reader.check()
        finally:
            reader.close()
    except Exception as e:  # the file's last task removes its working folder and reports it
        return e
    return None


def _remove_folder(fs: Any, local: bool, folder: str) -> None:
    if local:
        shutil.rmtree(folder, ignore_errors=True)
    else:
        try:
            fs.rm(folder, recursive=True)
        except FileNotFoundError:
            pass


def _remove_empty(fs: Any, local: bool, folders: Sequence[str]) -> None:
    """Removes each of folders (deepest first) that is empty."""
    for folder in folders:
        try:
            if local:
                os.rmdir(folder)
            elif not fs.ls(folder):
                fs.rmdir(folder)
        except OSError:
            pass


def _sync_folder(folder: str) -> None:
    """The folder's entries on disk (where the system can sync a folder)."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _put_in_place(job: _File, fs: Any, local: bool) -> None:
    """The working folder under the output's name, replacing an earlier output."""
    if local:
        with open(posixpath.join(job.working, COMPLETE_MARKER), "wb"):
            pass
        _sync_folder(job.working)
        kind = _kind(fs, True, job.folder)
        if kind is None:
            os.rename(job.working, job.folder)
            _sync_folder(posixpath.dirname(job.folder))
            return
        if kind != "dir" or not _earlier_output(fs, True, job.folder):
            raise FileExistsError("%s is there and is not an earlier output: left as it is" % job.folder)
        os.rename(job.folder, job.trash)
        try:
            os.rename(job.working, job.folder)
        except OSError:
            os.rename(job.trash, job.folder)
            raise
        _sync_folder(posixpath.dirname(job.folder))
        shutil.rmtree(job.trash, ignore_errors=True)
        return
    kind = _kind(fs, False, job.folder)
    if kind is not None:
        if kind != "dir" or not _earlier_output(fs, False, job.folder):
            raise FileExistsError("%s is there and is not an earlier output: left as it is" % job.folder)
        fs.rm(job.folder, recursive=True)
    fs.mv(job.working, job.folder, recursive=True)
    with fs.open(posixpath.join(job.folder, COMPLETE_MARKER), "wb"):
        pass


def _finish_file(job: _File, fs: Any, parts: List[_BlockResult]) -> Union[str, BaseException]:
    """The file's folder in place, or, where a block failed, the working
    folder removed and the failure (a refusal counted from the start of the
    file)."""
    local = isinstance(fs, LocalFileSystem)
    failure: Optional[BaseException] = None
    try:
        for result in parts:
            if isinstance(result, BaseException):
                failure = result
                break
            if result is not None:
                code, message, block_offset, block_line, start = result
                reader = _Reader(job)
                try:
                    lines = reader.count_line_feeds(start, bytearray(_PIECE))
                    reader.check()
                finally:
                    reader.close()
                failure = QelError(code, message, start + block_offset, lines + block_line)
                failure.path = job.path
                break
        if failure is None:
            if _signature(job.fs, job.path, job.local)[0] != job.signature:
                raise InputChangedError(job.path)
            _put_in_place(job, fs, local)
            return job.folder
    except Exception as e:
        failure = e
    _remove_folder(fs, local, job.working)
    _remove_empty(fs, local, job.made)
    return failure


def _all_of(results: List[Union[str, BaseException]]) -> List[Union[str, BaseException]]:
    return results


def _answer(results: List[Union[str, BaseException]], i: int) -> str:
    result = results[i]
    if isinstance(result, BaseException):
        raise result
    return result
