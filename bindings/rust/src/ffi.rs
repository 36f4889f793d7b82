//! The library's C functions, and `Converter`, the one safe owner of a
//! `QEL_Converter`. Every `unsafe` block of the crate is in this file.

use std::ffi::CStr;
use std::os::raw::c_char;

pub(crate) const RTN_SUCCESSFUL: i32 = 1;
pub(crate) const FORCE: u32 = 1;
pub(crate) const LAST: u32 = 2;
pub(crate) const DECODE: u32 = 4;

/// The converter's state: 1152 bytes aligned as a `uint32_t`, opaque.
#[repr(C, align(4))]
#[allow(non_camel_case_types)]
#[derive(Clone, Copy)]
pub(crate) struct QEL_Converter(pub(crate) [u32; 288]);

extern "C" {
    fn QEL_ConverterInit(c: *mut QEL_Converter, flags: u32) -> i32;
    fn QEL_ConverterPut(
        c: *mut QEL_Converter,
        dest: *mut c_char,
        dest_size: usize,
        produced: *mut usize,
        src: *const c_char,
        src_size: usize,
        consumed: *mut usize,
        flags: u32,
        status: *mut i32,
    ) -> i32;
    fn QEL_ConverterOffset(c: *const QEL_Converter) -> u64;
    fn QEL_ConverterLine(c: *const QEL_Converter) -> u64;
    fn QEL_RtnCodeStr(code: i32) -> *const c_char;
    fn QEL_EncodeBound(src_size: usize) -> usize;
    fn QEL_DecodeBound(src_size: usize) -> usize;
}

/// What one `Converter::put` did.
#[derive(Debug, Clone, Copy)]
pub(crate) struct Put {
    /// Bytes written to the room.
    pub(crate) produced: usize,
    /// Bytes of the input taken.
    pub(crate) consumed: usize,
    /// `RTN_SUCCESSFUL`, or the code of the refusal.
    pub(crate) status: i32,
}

/// One conversion, its state held by value (the library allows copying it).
#[derive(Clone)]
pub(crate) struct Converter {
    state: QEL_Converter,
}

impl Converter {
    pub(crate) fn new(decode: bool, force: bool) -> Converter {
        let mut state = QEL_Converter([0; 288]);
        let flags = if decode { DECODE } else if force { FORCE } else { 0 };
        // SAFETY: state is a live, writable QEL_Converter of the size and
        // alignment the header declares; Init only writes into it.
        let started = unsafe { QEL_ConverterInit(&mut state, flags) };
        debug_assert_eq!(started, 1);
        Converter { state }
    }

    /// Hands `src` to the converter and takes output into `dest`; `last`
    /// ends the input with these bytes.
    pub(crate) fn put(&mut self, dest: &mut [u8], src: &[u8], last: bool) -> Put {
        self.put_raw(dest.as_mut_ptr(), dest.len(), src, last)
    }

    /// `put` with the room of `out`'s spare capacity (at least `min_room`
    /// bytes, reserved as needed); the output is appended to `out`.
    pub(crate) fn put_appending(&mut self, out: &mut Vec<u8>, min_room: usize, src: &[u8], last: bool) -> Put {
        out.reserve(min_room);
        let spare = out.spare_capacity_mut();
        let put = self.put_raw(spare.as_mut_ptr().cast(), spare.len(), src, last);
        debug_assert!(put.produced <= spare.len());
        // SAFETY: the library wrote put.produced (at most spare.len()) bytes
        // at the start of the spare capacity, so they are initialised and
        // within the allocation.
        unsafe { out.set_len(out.len() + put.produced) };
        put
    }

    fn put_raw(&mut self, dest: *mut u8, dest_size: usize, src: &[u8], last: bool) -> Put {
        let mut put = Put { produced: 0, consumed: 0, status: RTN_SUCCESSFUL };
        // SAFETY: dest is valid for writes of dest_size bytes and src for
        // reads of src.len() bytes (both come from slices, which may be
        // empty with a dangling but non-null pointer: the library reads
        // and writes nothing then), they can't overlap (one is borrowed
        // mutably), and the state is an initialised converter owned by self.
        unsafe {
            QEL_ConverterPut(
                &mut self.state,
                dest.cast(),
                dest_size,
                &mut put.produced,
                src.as_ptr().cast(),
                src.len(),
                &mut put.consumed,
                if last { LAST } else { 0 },
                &mut put.status,
            );
        }
        put
    }

    /// Input bytes of the pieces converted so far: where the next (or the
    /// refused) piece starts.
    pub(crate) fn offset(&self) -> u64 {
        // SAFETY: reads the initialised state owned by self.
        unsafe { QEL_ConverterOffset(&self.state) }
    }

    /// The line of that piece, 1-based.
    pub(crate) fn line(&self) -> u64 {
        // SAFETY: reads the initialised state owned by self.
        unsafe { QEL_ConverterLine(&self.state) }
    }
}

/// The library's fixed English message for a status code.
pub(crate) fn message(code: i32) -> &'static str {
    // SAFETY: QEL_RtnCodeStr returns, for any code, a pointer to a static
    // NUL-terminated string that is never freed or changed.
    let text = unsafe { CStr::from_ptr(QEL_RtnCodeStr(code)) };
    text.to_str().unwrap_or("UNKNOWN RETURN CODE ????")
}

pub(crate) fn encode_bound(size: usize) -> usize {
    // SAFETY: a pure function of its argument.
    unsafe { QEL_EncodeBound(size) }
}

pub(crate) fn decode_bound(size: usize) -> usize {
    // SAFETY: a pure function of its argument.
    unsafe { QEL_DecodeBound(size) }
}
