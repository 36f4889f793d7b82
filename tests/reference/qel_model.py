"""A plain Python model of the record format and the stream operations.

Written from the format's rules alone, byte by byte, so that the library can
be compared against it. Nothing here is shared with the library's code. The
differential test, the tool's test and the Python module's test import it,
and read the hand-worked vectors beside it with load_vectors().
"""
import ast
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = os.path.join(HERE, "vectors.txt")
EXPORT_LIST = os.path.join(HERE, "..", "..", "src", "qelcode.def")

ALPHABET = bytes.fromhex(
    "633d762d2c7e5e5360575b232a7d52595a464d40433571303637626d64443c264c256139"
    "214128382f6b4e79455068275c787456674a6f77324f697055296a425f5d513f663b3158"
    "543a223e72657c496c6e75242b47484b737b337a2e34"
)
ENTRY = {b: i for i, b in enumerate(ALPHABET)}

SUCCESSFUL = 1
NO_SOURCE = 2
NO_DESTINATION = 3
READ_ERROR = 4
WRITE_ERROR = 5
EMPTY_SOURCE = 6
SOURCE_ENCODED = 9
SOURCE_NOT_ENCODED = 10
LINE_TOO_LONG = 11
NUL_IN_SOURCE = 12
RECORD_DAMAGED = 13

MAX_TEXT = 507      # longest text in one record, and the encoder's piece
MAX_RECORD_LINE = 512  # longest line the decoder takes, line end included
FORCE = 1


def shift_of_selector(k):
    return ((2 * k) & 0xFFFFFFFF) % 9 + 1


def step_mark(s):
    return ALPHABET[s + 16]


def carries_mark(t):
    return len(t) >= 2 and t[0] < 128 and t[1] < 128 and t[0] + t[1] == 159


def trim_line_end(t):
    if t.endswith(b"\n"):
        t = t[:-1]
        if t.endswith(b"\r"):
            t = t[:-1]
    return t


def encode_text(text, s):
    """The record of a text whose line end is already removed."""
    n = len(text)
    out = bytearray([32 + n % 94, 127 - n % 94, step_mark(s)])
    for i, c in enumerate(text):
        out.append(ALPHABET[((c - 32) + s * (i + 1)) % 94] if 32 <= c <= 126 else c)
    if n == 0 or text[-1] != 10:
        out.append(10)
    return bytes(out)


def decode_text(rec):
    """(status, decoded text plus LF) for one record that may hold its line end."""
    if not carries_mark(rec):
        return SOURCE_NOT_ENCODED, None
    if len(rec) < 3:
        return RECORD_DAMAGED, None
    e = ENTRY.get(rec[2], -1)
    if not 17 <= e <= 25:
        return RECORD_DAMAGED, None
    s = e - 16
    ends_lf = rec.endswith(b"\n")
    body = rec[3:len(rec) - 1] if ends_lf else rec[3:]
    m = rec[0] - 32
    if len(body) % 94 == m:
        pass
    elif body.endswith(b"\r") and (len(body) - 1) % 94 == m:
        body = body[:-1]
    elif ends_lf and (len(body) + 1) % 94 == m:
        body = body + b"\n"
    else:
        return RECORD_DAMAGED, None
    if len(body) > 507:  # no encoder writes a longer body
        return RECORD_DAMAGED, None
    out = bytearray()
    for i, b in enumerate(body):
        if b == 32:
            return RECORD_DAMAGED, None
        out.append(32 + (ENTRY[b] - s * (i + 1)) % 94 if 33 <= b <= 126 else b)
    out.append(10)
    return SUCCESSFUL, bytes(out)


class RecordOutcome:
    def __init__(self, ret, status, text, written):
        self.ret = ret            # the function's result
        self.status = status      # the caller's status afterwards
        self.text = text          # the caller's buffer up to its first NUL
        self.written = written    # bytes that reach dest


def encode_record(buf, status_in, s):
    """QEL_EncodeRecord on a NUL-terminated buffer (buf without the NUL)."""
    if status_in != SUCCESSFUL:
        return RecordOutcome(0, status_in, buf, b"")
    t = trim_line_end(buf)
    if carries_mark(t):
        return RecordOutcome(0, SOURCE_ENCODED, t, b"")
    if len(t) > MAX_TEXT:
        return RecordOutcome(0, LINE_TOO_LONG, t, b"")
    rec = encode_text(t, s)
    return RecordOutcome(1, SUCCESSFUL, rec, rec)


def decode_record(buf, status_in):
    """QEL_DecodeRecord on a NUL-terminated buffer (buf without the NUL)."""
    if status_in != SUCCESSFUL:
        return RecordOutcome(0, status_in, buf, b"")
    st, text = decode_text(buf)
    if st != SUCCESSFUL:
        return RecordOutcome(0, st, buf, b"")
    return RecordOutcome(1, SUCCESSFUL, text, text)


class StreamOutcome:
    def __init__(self, ret, status, line, out, pos):
        self.ret = ret
        self.status = status
        self.line = line      # None: left alone
        self.out = out        # bytes written to dest
        self.pos = pos        # where the source stands afterwards

    def __repr__(self):
        return "ret=%r status=%r line=%r pos=%r out=%d bytes" % (
            self.ret, self.status, self.line, self.pos, len(self.out))


def _stream(src, decode, force, s, status_in, have_dest=True, have_src=True):
    if status_in != SUCCESSFUL:
        return StreamOutcome(0, status_in, None, b"", 0)
    if not have_dest:
        return StreamOutcome(0, NO_DESTINATION, None, b"", 0)
    if not have_src:
        return StreamOutcome(0, NO_SOURCE, None, b"", 0)
    limit = MAX_RECORD_LINE if decode else MAX_TEXT
    out = bytearray()
    pos = 0
    lines = 0
    at_line_start = True
    while True:
        current = lines + 1 if at_line_start else lines
        # One piece: up to and including the first LF, at most `limit` bytes.
        end = src.find(b"\n", pos, pos + limit)
        end = min(pos + limit, len(src)) if end < 0 else end + 1
        piece = src[pos:end]
        pos = end
        overlong = False
        if len(piece) == limit and not piece.endswith(b"\n") and pos < len(src):
            # One byte of look-ahead decides; it goes back unless it joins.
            if not decode and src[pos] == 10:
                piece += b"\n"
                pos += 1
            elif decode:
                overlong = True
        if not piece:
            if lines == 0:
                return StreamOutcome(0, EMPTY_SOURCE, 0, bytes(out), pos)
            return StreamOutcome(1, SUCCESSFUL, lines, bytes(out), pos)
        lines = current
        at_line_start = piece.endswith(b"\n")
        if 0 in piece:
            return StreamOutcome(0, NUL_IN_SOURCE, current, bytes(out), pos)
        if decode:
            if overlong:
                return StreamOutcome(0, RECORD_DAMAGED, current, bytes(out), pos)
            st, text = decode_text(piece)
            if st != SUCCESSFUL:
                return StreamOutcome(0, st, current, bytes(out), pos)
            out += text
        else:
            text = trim_line_end(piece)
            if not force and carries_mark(text):
                return StreamOutcome(0, SOURCE_ENCODED, current, bytes(out), pos)
            out += encode_text(text, s)


def encode_stream(src, flags, s, status_in=SUCCESSFUL, have_dest=True, have_src=True):
    return _stream(src, False, bool(flags & FORCE), s, status_in, have_dest, have_src)


def decode_stream(src, status_in=SUCCESSFUL, have_dest=True, have_src=True):
    return _stream(src, True, False, 0, status_in, have_dest, have_src)


# --- hand-worked vectors ------------------------------------------------------

_VECTOR = re.compile(r'^(\S+) (\d+) ("(?:[^"\\]|\\.)*") ("(?:[^"\\]|\\.)*")\s*(#.*)?$')


def load_vectors(path=VECTORS, operation=None):
    """The vectors of the file as (operation, s, text, record) tuples of bytes,
    only those of one operation when it is given."""
    found = []
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            m = _VECTOR.match(line)
            if not m:
                raise ValueError("%s:%d: not a vector" % (path, number))
            op, s, text, record = m.group(1), int(m.group(2)), m.group(3), m.group(4)
            if operation is None or op == operation:
                found.append((op, s, ast.literal_eval("b" + text), ast.literal_eval("b" + record)))
    return found


def exported_names(path=EXPORT_LIST):
    """The functions the library exports, from its export list (the .def file:
    one name a line after EXPORTS, ';' starting a comment)."""
    names = []
    with open(path, encoding="ascii") as f:
        in_exports = False
        for line in f:
            word = line.split(";")[0].strip()
            if word == "EXPORTS":
                in_exports = True
            elif word and in_exports:
                names.append(word.split()[0])
    return names
