/** Bytes the functions take: Uint8Array (Node's Buffer too), any typed array or DataView, an ArrayBuffer or a SharedArrayBuffer. */
export type BytesLike = ArrayBufferView | ArrayBufferLike;

/**
 * Bytes the functions give: a Uint8Array over an ArrayBuffer (never a
 * SharedArrayBuffer), Uint8Array<ArrayBuffer> where TypeScript's typed
 * arrays are generic (5.7 and later), Uint8Array before.
 */
export type Bytes = ReturnType<Uint8Array["slice"]>;

/** The .wasm, as init() takes it: bytes, a URL (to fetch, or in Node.js a file: URL to read), a Response or a compiled module. */
export type WasmSource = BytesLike | URL | string | Response | PromiseLike<Response> | WebAssembly.Module;

/**
 * Loads the module; resolves to the library's version. The "qelcode" entry
 * has done it before it answers; "qelcode/init" needs it first (in Node.js
 * with no argument it reads the package's own qelcode.wasm). Only the first
 * call loads.
 */
export function init(source?: WasmSource): Promise<string>;

/** The library's version, "MAJOR.MINOR.PATCH" (empty until init() has finished). */
export const version: string;

/** The library's fixed English message for a status code (anything but a 32-bit integer is an unknown code). */
export function message(code: number): string;

/** QelError.code: a line that already carries the encoded mark (encoding without force). */
export const SOURCE_ENCODED: 9;
/** QelError.code: text where records were expected (decoding). */
export const SOURCE_NOT_ENCODED: 10;
/** QelError.code: a line or record longer than encodeRecord() or decodeRecord() takes. */
export const LINE_TOO_LONG: 11;
/** QelError.code: a NUL byte in the input. */
export const NUL_IN_SOURCE: 12;
/** QelError.code: a record that is not whole or not well formed (decoding). */
export const RECORD_DAMAGED: 13;

/** A piece of input the library refused. */
export class QelError extends Error {
    /** The status code: SOURCE_ENCODED, SOURCE_NOT_ENCODED, LINE_TOO_LONG, NUL_IN_SOURCE or RECORD_DAMAGED. */
    readonly code: number;
    /** The library's fixed English message for the code. */
    readonly message: string;
    /** The 0-based byte offset in the whole input at which the refused piece starts. */
    readonly offset: number;
    /** The 1-based line (or record) the refused piece is on. */
    readonly line: number;
    /** What the call that threw had converted before the refused piece (empty from a stream, which passed it on). */
    readonly output: Bytes;
}

export interface EncodeOptions {
    /** Encode lines that already carry the encoded mark. */
    force?: boolean;
}

/** The records of the text data, one per line (several for a line of more than 507 bytes). Throws QelError, or TypeError for a string. */
export function encode(data: BytesLike, options?: EncodeOptions | null): Bytes;
/** The text of the records data. Throws QelError, or TypeError for a string. */
export function decode(data: BytesLike): Bytes;

/** The record of one line (its line end, if any, included). */
export function encodeRecord(line: BytesLike): Bytes;
/** The text of one record, with a line feed. */
export function decodeRecord(record: BytesLike): Bytes;

declare class Conversion {
    /** Bytes of input converted so far; after a refusal, the offset of the refused piece. */
    readonly offset: number;
    /** Takes the next bytes of input, split anywhere; returns the output of every piece now complete. */
    feed(data: BytesLike): Bytes;
    /** Ends the input; returns the output of what is left. */
    close(): Bytes;
}

/** Encodes text that arrives in pieces; the output put together is what encode() gives for the whole. */
export class Encoder extends Conversion {
    constructor(options?: EncodeOptions | null);
}

/** Decodes records that arrive in pieces, as Encoder encodes. */
export class Decoder extends Conversion {
    constructor();
}

/** A TransformStream of text chunks to records. A refused piece errors the stream with a QelError, after the output of the pieces before it. */
export function encodeStream(options?: EncodeOptions | null): TransformStream<BytesLike, Bytes>;
/** A TransformStream of record chunks to text. */
export function decodeStream(): TransformStream<BytesLike, Bytes>;
