// The inputs the functions take: bytes, in any of JavaScript's byte containers.

/** The bytes of data, viewed without a copy; a TypeError names what for anything else. */
export function bytesOf(data, what) {
    if (data instanceof Uint8Array) return data;
    if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    if (data instanceof ArrayBuffer) return new Uint8Array(data);
    const kind = data === null ? "null" : typeof data === "object" ? data.constructor?.name ?? "object" : typeof data;
    throw new TypeError(`${what} must be a Uint8Array, Buffer, ArrayBuffer or typed array, not ${kind}`);
}
