//! Encodes text line by line into qelcode records and decodes records back
//! to text, over the qelcode C library's converter.
//!
//! Every function and type here hands the bytes to the library's
//! `QEL_Converter`, which does all the work: however the input is split and
//! whatever the room, the output is byte for byte that of one whole-buffer
//! call. A refused line gives an [`Error`] with the library's code, its
//! message, and where the line starts ([`Error::offset`], [`Error::line`]).
//!
//! - whole buffers: [`encode`], [`decode`], [`encode_to_vec`],
//!   [`encode_to_slice`] and their decoding twins;
//! - writers: [`Encoder`] and [`Decoder`] take bytes through
//!   [`std::io::Write`] and pass the output on to another writer;
//! - readers: [`EncodeReader`] and [`DecodeReader`] read from a
//!   [`std::io::BufRead`] and give the output through [`std::io::Read`].
//!
//! ```
//! let records = qelcode::encode(b"Hello\n")?;
//! assert_eq!(records, b"%z5PIzv[\n");
//! assert_eq!(qelcode::decode(&records)?, b"Hello\n");
//! # Ok::<(), qelcode::Error>(())
//! ```
//!
//! The crate links the static library that its build script builds from
//! the repository with CMake, or, with the `pkg-config` feature (or
//! `QELCODE_USE_PKG_CONFIG=1` in the environment), the installed library
//! that `pkg-config qelcode` finds.
#![forbid(unsafe_op_in_unsafe_fn)]
#![deny(missing_docs)]

mod error;
mod ffi;
mod read;
mod write;

pub use error::{code, Error, ErrorKind};
pub use read::{DecodeReader, EncodeReader};
pub use write::{Decoder, Encoder};

use ffi::Converter;

/// Output room asked for at least, each call, when appending to a `Vec`.
const MIN_ROOM: usize = 4096;

/// The size of the library's converter state, `QEL_CONVERTER_SIZE`, which
/// each [`Encoder`], [`Decoder`], [`EncodeReader`] and [`DecodeReader`] holds.
///
/// ```
/// assert_eq!(qelcode::CONVERTER_SIZE, 1152);
/// ```
pub const CONVERTER_SIZE: usize = std::mem::size_of::<ffi::QEL_Converter>();

/// The records of the text `src`, one per line (a line longer than 507
/// bytes becomes several).
///
/// Refuses a line that already carries the encoded mark (its first two
/// bytes add up to 159, as in "OP") with [`code::SOURCE_ENCODED`], and a
/// line holding a NUL byte with [`code::NUL_IN_SOURCE`]; the error's
/// [`output`](Error::output) holds the records of the lines before it.
///
/// ```
/// assert_eq!(qelcode::encode(b"A\r\nHi")?, b"!~5(\n\"}5P$\n");
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn encode(src: &[u8]) -> Result<Vec<u8>, Error> {
    whole(Converter::new(false, false), src, ffi::encode_bound(src.len()))
}

/// As [`encode`], but a line that carries the encoded mark is encoded all
/// the same.
///
/// ```
/// let records = qelcode::encode_forced(b"OPEN\n")?;
/// assert_eq!(qelcode::decode(&records)?, b"OPEN\n");
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn encode_forced(src: &[u8]) -> Result<Vec<u8>, Error> {
    whole(Converter::new(false, true), src, ffi::encode_bound(src.len()))
}

/// The text of the records `src`, each line ended by a line feed.
///
/// Refuses a line that is not a record with [`code::SOURCE_NOT_ENCODED`],
/// and a damaged record with [`code::RECORD_DAMAGED`]; the error's
/// [`output`](Error::output) holds the text of the records before it.
///
/// ```
/// assert_eq!(qelcode::decode(b"!~5(\r\n\"}5P$\n")?, b"A\nHi\n");
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn decode(src: &[u8]) -> Result<Vec<u8>, Error> {
    whole(Converter::new(true, false), src, ffi::decode_bound(src.len()))
}

/// Appends the records of `src` to `out` and answers how many bytes it
/// appended. On a refusal, `out` keeps the records of the lines before it.
///
/// ```
/// let mut out = b"header\n".to_vec();
/// assert_eq!(qelcode::encode_to_vec(b"A\n", &mut out)?, 5);
/// assert_eq!(out, b"header\n!~5(\n");
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn encode_to_vec(src: &[u8], out: &mut Vec<u8>) -> Result<usize, Error> {
    append(&mut Converter::new(false, false), src, out)
}

/// Appends the text of the records `src` to `out` and answers how many
/// bytes it appended. On a refusal, `out` keeps the text of the records
/// before it.
///
/// ```
/// let mut out = Vec::new();
/// assert_eq!(qelcode::decode_to_vec(b"!~5(\n", &mut out)?, 2);
/// assert_eq!(out, b"A\n");
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn decode_to_vec(src: &[u8], out: &mut Vec<u8>) -> Result<usize, Error> {
    append(&mut Converter::new(true, false), src, out)
}

/// Writes the records of `src` at the start of `dest` and answers how many
/// bytes it wrote. [`encode_bound`]`(src.len())` bytes always suffice; with
/// less room, output that does not fit gives an error of kind
/// [`ErrorKind::NoRoom`]. On a refusal, `dest` holds the records of the
/// lines before it.
///
/// ```
/// let mut room = [0u8; 16];
/// let n = qelcode::encode_to_slice(b"Hi\n", &mut room)?;
/// assert_eq!(&room[..n], b"\"}5P$\n");
/// let err = qelcode::encode_to_slice(b"Hi\n", &mut room[..3]).unwrap_err();
/// assert_eq!(err.kind(), qelcode::ErrorKind::NoRoom);
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn encode_to_slice(src: &[u8], dest: &mut [u8]) -> Result<usize, Error> {
    into_slice(Converter::new(false, false), src, dest, ffi::encode_bound(src.len()))
}

/// Writes the text of the records `src` at the start of `dest`, as
/// [`encode_to_slice`] does; [`decode_bound`]`(src.len())` bytes always suffice.
///
/// ```
/// let mut room = [0u8; 16];
/// let n = qelcode::decode_to_slice(b"\"}5P$\n", &mut room)?;
/// assert_eq!(&room[..n], b"Hi\n");
/// # Ok::<(), qelcode::Error>(())
/// ```
pub fn decode_to_slice(src: &[u8], dest: &mut [u8]) -> Result<usize, Error> {
    into_slice(Converter::new(true, false), src, dest, ffi::decode_bound(src.len()))
}

/// Room that always suffices for the records of `size` bytes of text
/// (`usize::MAX` where that does not fit).
///
/// ```
/// assert!(qelcode::encode_bound(3) >= 7);
/// ```
pub fn encode_bound(size: usize) -> usize {
    ffi::encode_bound(size)
}

/// Room that always suffices for the text of `size` bytes of records.
///
/// ```
/// assert!(qelcode::decode_bound(5) >= 2);
/// ```
pub fn decode_bound(size: usize) -> usize {
    ffi::decode_bound(size)
}

/// The library's fixed English message for a status code (`QEL_RtnCodeStr`).
///
/// ```
/// assert_eq!(qelcode::message(qelcode::code::RECORD_DAMAGED), "Damaged record");
/// ```
pub fn message(code: i32) -> &'static str {
    ffi::message(code)
}

fn whole(mut converter: Converter, src: &[u8], bound: usize) -> Result<Vec<u8>, Error> {
    let mut out = Vec::new();
    // The bound is usize::MAX where it does not fit: then the room grows as needed.
    let _ = out.try_reserve_exact(bound);
    match append(&mut converter, src, &mut out) {
        Ok(_) => Ok(out),
        Err(error) => Err(error.with_output(out)),
    }
}

/// Feeds all of `src`, with the end of the input, appending the output to `out`.
fn append(converter: &mut Converter, src: &[u8], out: &mut Vec<u8>) -> Result<usize, Error> {
    let start = out.len();
    let mut taken = 0;
    loop {
        let put = converter.put_appending(out, MIN_ROOM, &src[taken..], true);
        taken += put.consumed;
        if put.status != ffi::RTN_SUCCESSFUL {
            return Err(Error::refused(put.status, converter.offset(), converter.line()));
        }
        // Everything taken, and a call that handed nothing over: nothing is held.
        if taken == src.len() && put.produced == 0 {
            return Ok(out.len() - start);
        }
    }
}

fn into_slice(mut converter: Converter, src: &[u8], dest: &mut [u8], bound: usize) -> Result<usize, Error> {
    let (mut taken, mut written) = (0, 0);
    loop {
        let put = converter.put(&mut dest[written..], &src[taken..], true);
        taken += put.consumed;
        written += put.produced;
        if put.status != ffi::RTN_SUCCESSFUL {
            return Err(Error::refused(put.status, converter.offset(), converter.line()));
        }
        if taken == src.len() && put.produced == 0 {
            return Ok(written);
        }
        if written == dest.len() {
            // The room is full: is there more to come? One byte of room tells.
            let mut probe = [0u8; 1];
            let put = converter.put(&mut probe, &src[taken..], true);
            if put.status != ffi::RTN_SUCCESSFUL {
                return Err(Error::refused(put.status, converter.offset(), converter.line()));
            }
            if put.produced == 0 && taken + put.consumed == src.len() {
                return Ok(written);
            }
            return Err(Error::no_room(bound, converter.offset(), converter.line()));
        }
    }
}

/// Runs README.md's Rust example as written.
#[cfg(doctest)]
#[doc = include_str!(concat!(env!("OUT_DIR"), "/readme_example.md"))]
pub struct ReadmeExample;
