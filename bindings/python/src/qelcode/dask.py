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

Inputs and output are paths or URLs of any file system that fsspec
reaches (local, NFS, object stores); inputs may be globs. The output of
the input DIR/NAME is the folder OUTPUT/NAME (named by the input's path
below the folder common to every input), holding part-00000, part-00001,
... While a file is converted its parts are written into NAME.incomplete,
which takes its final name once every part is there, and is removed when
a line of the file is refused: a folder of that name is never left
half-written. An output folder that is an input, or holds one, is refused
(ValueError) before anything is written.

Needs the optional extra: pip install qelcode[dask].
"""

from __future__ import annotations

import os
import posixpath
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import dask
import dask.bytes
from dask.delayed import Delayed, delayed
from fsspec.core import url_to_fs

from ._errors import QelError
from . import decode as _decode, encode as _encode

__all__ = ["encode_files", "decode_files", "PART_NAME", "INCOMPLETE_SUFFIX"]

#: The name of the n-th part of a file's output.
PART_NAME = "part-%05d"
#: What the folder of a file's output is called until every part is written.
INCOMPLETE_SUFFIX = ".incomplete"

Inputs = Union[str, Sequence[str]]
# What a block's task tells the file's last task: its size in bytes, its line
# feeds, and the refusal (code, message, offset and line within the block).
_BlockResult = Tuple[int, int, Optional[Tuple[int, str, int, int]]]


def encode_files(inputs: Inputs, output: str, *, blocksize: Union[int, str] = "64 MiB",
                 force: bool = False, compute: bool = True,
                 storage_options: Optional[Dict[str, Any]] = None) -> Union[Dict[str, str], List[Delayed]]:
    """Encodes every input file into ordered part files under output.

    inputs are paths, URLs or globs (one, or a list); blocksize is the
    size in bytes (or a string such as "64 MiB") at which a file is cut,
    at the next line feed; force encodes lines that already carry the
    encoded mark; storage_options go to fsspec for the inputs and output.

    With compute (the default) the work runs at once, on the active
    distributed Client if there is one, and the answer maps each input to
    the folder of its parts. A refused line stops only its own file: every
    other file is still written, and then QelError is raised for the first
    refused file in input order, with path naming it and offset and line
    counted from the start of the whole file, as the tool counts them.

    Without compute the answer is one dask Delayed a file, in input order,
    each computing to the folder of its parts or raising that QelError.
    """
    return _convert_files(True, inputs, output, blocksize, force, compute, storage_options)


def decode_files(inputs: Inputs, output: str, *, blocksize: Union[int, str] = "64 MiB",
                 compute: bool = True,
                 storage_options: Optional[Dict[str, Any]] = None) -> Union[Dict[str, str], List[Delayed]]:
    """Decodes every input file of records into ordered part files under
    output; as encode_files, for records."""
    return _convert_files(False, inputs, output, blocksize, False, compute, storage_options)


def _convert_files(encoding: bool, inputs: Inputs, output: str, blocksize: Union[int, str], force: bool,
                   compute: bool, storage_options: Optional[Dict[str, Any]]) -> Union[Dict[str, str], List[Delayed]]:
    options = dict(storage_options or {})
    urls = [inputs] if isinstance(inputs, str) else list(inputs)
    if not urls:
        raise ValueError("no inputs")
    _, blocks, paths = dask.bytes.read_bytes(urls, delimiter=b"\n", blocksize=blocksize, sample=False,
                                             include_path=True, **options)
    if not paths:
        raise FileNotFoundError("no input file matches %r" % (urls,))
    out_fs, out_root = url_to_fs(output, **options)
    names = _output_names(paths)
    _refuse_outputs_over_inputs(url_to_fs(urls[0], **options)[0], paths, out_fs,
                                [posixpath.join(out_root, name) for name in names])
    results = []
    for path, name, file_blocks in zip(paths, names, blocks):
        folder = posixpath.join(out_root, name)
        start = delayed(_start_folder, pure=False)(out_fs, folder)
        parts = [delayed(_convert_block, pure=False)(encoding, force, block, out_fs, folder, n, start)
                 for n, block in enumerate(file_blocks)]
        results.append(delayed(_finish_file, pure=False)(out_fs, folder, path, parts, start))
    if not compute:
        return [delayed(_answer, pure=False)(r) for r in results]
    answers = dask.compute(*results)
    for answer in answers:
        if isinstance(answer, QelError):
            raise answer
    return dict(zip(paths, answers))


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


def _refuse_outputs_over_inputs(in_fs: Any, paths: Sequence[str], out_fs: Any, folders: Sequence[str]) -> None:
    """ValueError where the folder of a file's output (or its incomplete
    name), which is emptied before the file is read, is an input or holds
    one: output in the inputs' own folder, for one."""
    if in_fs.protocol != out_fs.protocol:
        return
    local = "file" in (out_fs.protocol if isinstance(out_fs.protocol, tuple) else (out_fs.protocol,))
    real = os.path.realpath if local else (lambda p: p)
    inputs = [real(p) for p in paths]
    for folder in folders:
        for taken in (real(folder), real(folder + INCOMPLETE_SUFFIX)):
            for path, name in zip(inputs, paths):
                if path == taken or path.startswith(taken.rstrip("/") + "/"):
                    raise ValueError("the output folder %s would overwrite the input %s" % (taken, name))


def _start_folder(fs: Any, folder: str) -> None:
    """An empty folder for the file's parts, named as incomplete."""
    incomplete = folder + INCOMPLETE_SUFFIX
    for old in (incomplete, folder):
        if fs.exists(old):
            fs.rm(old, recursive=True)
    fs.makedirs(incomplete, exist_ok=True)


def _convert_block(encoding: bool, force: bool, block: bytes, fs: Any, folder: str, n: int,
                   _started: None) -> _BlockResult:
    """Converts one block into its part; what the file's last task needs."""
    lines = block.count(b"\n")
    try:
        out = _encode(block, force) if encoding else _decode(block)
    except QelError as e:
        return len(block), lines, (e.code, e.message, e.offset, e.line)
    with fs.open(posixpath.join(folder + INCOMPLETE_SUFFIX, PART_NAME % n), "wb") as f:
        f.write(out)
    return len(block), lines, None


def _finish_file(fs: Any, folder: str, path: str, parts: List[_BlockResult],
                 _started: None) -> Union[str, QelError]:
    """The file's folder under its final name, or, where a block was refused,
    the folder removed and the refusal counted from the start of the file."""
    incomplete = folder + INCOMPLETE_SUFFIX
    offset = lines = 0
    for size, feeds, refusal in parts:
        if refusal is not None:
            code, message, block_offset, block_line = refusal
            fs.rm(incomplete, recursive=True)
            error = QelError(code, message, offset + block_offset, lines + block_line)
            error.path = path
            return error
        offset += size
        lines += feeds
    if not parts:  # an empty file: one empty part, as the tool writes nothing
        with fs.open(posixpath.join(incomplete, PART_NAME % 0), "wb"):
            pass
    fs.mv(incomplete, folder, recursive=True)
    return folder


def _answer(result: Union[str, QelError]) -> str:
    if isinstance(result, QelError):
        raise result
    return result
