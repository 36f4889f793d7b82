"""Type-checked with mypy --strict against the installed package: the
package must be typed (py.typed), and its hints must fit this ordinary use."""

import io

import qelcode


def roundtrip(text: bytes) -> bytes:
    records: bytes = qelcode.encode(memoryview(text), force=False)
    encoder: qelcode.Encoder = qelcode.Encoder()
    pieces = encoder.feed(bytearray(text)) + encoder.close()
    assert pieces == records
    sink = io.BytesIO()
    read: int = qelcode.decode_file(io.BytesIO(records), sink, chunk_size=4096)
    assert read == len(records)
    return sink.getvalue()


def describe(e: qelcode.QelError) -> str:
    return "%s: %d %d %d %r" % (e.message, e.code, e.offset, e.line, e.output)


version: str = qelcode.__version__ + qelcode.version()
library: qelcode.Library = qelcode.Library(None)
