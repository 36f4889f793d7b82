// The inputs the functions take: bytes, in any of JavaScript's byte
// containers, from this realm or another (a vm context, an iframe).
// Buffers are told by their internal slots, through the built-in getters,
// never by instanceof or by a property an object may define itself.

const getter = (proto, name) => Object.getOwnPropertyDescriptor(proto, name).get;
const TypedArray = Object.getPrototypeOf(Uint8Array.prototype);
const typedBuffer = getter(TypedArray, "buffer");
const typedOffset = getter(TypedArray, "byteOffset");
const typedLength = getter(TypedArray, "byteLength");
const viewBuffer = getter(DataView.prototype, "buffer");
const viewOffset = getter(DataView.prototype, "byteOffset");
const viewLength = getter(DataView.prototype, "byteLength");
const plainLength = getter(ArrayBuffer.prototype, "byteLength");
const sharedLength = typeof SharedArrayBuffer === "function" ? getter(SharedArrayBuffer.prototype, "byteLength") : null;

// Whether get(data) succeeds: the built-in getters throw for anything that
// lacks their internal slot.
function has(get, data) {
    try {
        get.call(data);
        return true;
    } catch {
        return false;
    }
}

function isBuffer(data) {
    return has(plainLength, data) || (sharedLength !== null && has(sharedLength, data));
}

/**
 * A plain Uint8Array over the bytes of data (no copy): a typed array, a
 * DataView, an ArrayBuffer or a SharedArrayBuffer. A TypeError names what
 * for anything else. The view is this module's own Uint8Array, so no
 * method a subclass overrides runs while the bytes are converted.
 */
export function bytesOf(data, what) {
    if (ArrayBuffer.isView(data)) {
        if (has(typedBuffer, data)) return new Uint8Array(typedBuffer.call(data), typedOffset.call(data), typedLength.call(data));
        return new Uint8Array(viewBuffer.call(data), viewOffset.call(data), viewLength.call(data));
    }
    if (isBuffer(data)) return new Uint8Array(data);
    const kind = data === null ? "null" : typeof data === "object" ? data.constructor?.name ?? "object" : typeof data;
    throw new TypeError(`${what} must be a Uint8Array, Buffer, ArrayBuffer, SharedArrayBuffer or typed array, not ${kind}`);
}
