// One line or one record at a time, as the library's record functions take them.

import { LINE_TOO_LONG, NUL_IN_SOURCE, QelError, message } from "./errors.js";
import { bytesOf } from "./input.js";
import { SUCCESSFUL, ex, inputAt, inputRoom, memory, ready } from "./wasm.js";

function recordCall(encoding, data, what) {
    ready();
    const bytes = bytesOf(data, what);
    if (bytes.includes(0)) throw new QelError(NUL_IN_SOURCE, message(NUL_IN_SOURCE), bytes.indexOf(0), 1);
    if (bytes.length > inputRoom - 8) throw new QelError(LINE_TOO_LONG, message(LINE_TOO_LONG), 0, 1);
    memory.set(bytes, inputAt);
    memory[inputAt + bytes.length] = 0;
    const status = ex.QEL_WasmRecord(encoding);
    if (status !== SUCCESSFUL) throw new QelError(status, message(status), 0, 1);
    let end = inputAt;
    while (memory[end] !== 0) end++;
    return memory.slice(inputAt, end);
}

/** The record of one line (its line end, if any, included), as QEL_EncodeRecord gives it. */
export function encodeRecord(line) {
    return recordCall(1, line, "encodeRecord() line");
}

/** The text of one record plus a line feed, as QEL_DecodeRecord gives it. */
export function decodeRecord(record) {
    return recordCall(0, record, "decodeRecord() record");
}
