// The package in Node.js: all of it, and files.
export * from "./index.js";
import type { EncodeOptions } from "./index.js";

/** Encodes the file src into dest; resolves to the bytes read. Records before a refused line stay in dest; a dest that is src is refused before it changes. */
export function encodeFile(src: string | URL, dest: string | URL, options?: EncodeOptions | null): Promise<number>;
/** Decodes the file src into dest. */
export function decodeFile(src: string | URL, dest: string | URL): Promise<number>;
