/** Bytes the functions take: Uint8Array (Node's Buffer too), any typed array or DataView, or an ArrayBuffer. */
export type BytesLike = Uint8Array | ArrayBufferView | ArrayBuffer;

/** The library's version, "MAJOR.MINOR.PATCH". */
export const version: string;

/** The library's fixed English message for a status code. */
export function message(code: number): string;

/** A piece of input the library refused. */
export class QelError extends Error {
    /** The status code: 9 a line that already carries the encoded mark, 10 text where records were expected, 12 a NUL byte, 13 a damaged record. */
    readonly code: number;
    /** The library's fixed English message for the code. */
    readonly message: string;
    /** The 0-based byte offset in the whole input at which the refused piece starts. */
    readonly offset: number;
    /** The 1-based line (or record) the refused piece is on. */
    readonly line: number;
    /** What the call that threw had converted before the refused piece. */
    readonly output: Uint8Array;
}

export interface EncodeOptions {
    /** Encode lines that already carry the encoded mark. */
    force?: boolean;
}

/** The records of the text data, one per line (several for a line of more than 507 bytes). Throws QelError, or TypeError for a string. */
export function encode(data: BytesLike, options?: EncodeOptions): Uint8Array;
/** The text of the records data. Throws QelError, or TypeError for a string. */
export function decode(data: BytesLike): Uint8Array;

/** The record of one line (its line end, if any, included). */
export function encodeRecord(line: BytesLike): Uint8Array;
/** The text of one record, with a line feed. */
export function decodeRecord(record: BytesLike): Uint8Array;

declare class Conversion {
    /** Bytes of input converted so far. */
    readonly offset: number;
    /** Takes the next bytes of input, split anywhere; returns the output of every piece now complete. */
    feed(data: BytesLike): Uint8Array;
    /** Ends the input; returns the output of what is left. */
    close(): Uint8Array;
}

/** Encodes text that arrives in pieces; the output put together is what encode() gives for the whole. */
export class Encoder extends Conversion {
    constructor(options?: EncodeOptions);
}

/** Decodes records that arrive in pieces, as Encoder encodes. */
export class Decoder extends Conversion {
    constructor();
}

/** A TransformStream of text chunks to records. A refused piece errors the stream with a QelError whose output is what the refused chunk gave before it. */
export function encodeStream(options?: EncodeOptions): TransformStream<BytesLike, Uint8Array>;
/** A TransformStream of record chunks to text. */
export function decodeStream(): TransformStream<BytesLike, Uint8Array>;

/** Node.js only: encodes the file src into dest; resolves to the bytes read. Records before a refused line stay in dest; a dest that is src is refused before it changes. */
export function encodeFile(src: string | URL, dest: string | URL, options?: EncodeOptions): Promise<number>;
/** Node.js only: decodes the file src into dest. */
export function decodeFile(src: string | URL, dest: string | URL): Promise<number>;
