// Room for the output of a conversion, in plain Number arithmetic: inputs
// and outputs may pass 4 GiB, which 32-bit operators (>>, |) would wrap.

/** The most output n bytes of input can give (QEL_EncodeBound, QEL_DecodeBound). */
export function outputBound(encoding, n) {
    return encoding ? 4 * n + 4 : n;
}

/** Room for the output of n bytes of input before any of it is seen. */
export function firstRoom(encoding, n) {
    // Records are a few bytes a line longer than their text; text is
    // shorter than its records, so decoding never needs more.
    return encoding ? Math.min(n + Math.floor(n / 8) + 64, outputBound(true, n)) : n;
}

/**
 * Room after growing a buffer of room bytes that must now hold needed
 * bytes, when the whole output can be at most most bytes: doubled while
 * that stays within most, and never less than needed.
 */
export function grownRoom(room, needed, most) {
    return Math.max(needed, Math.min(room * 2, most));
}
