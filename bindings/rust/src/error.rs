//! `Error`: a refused piece with the library's code and where it starts, a
//! destination too small, or an I/O error of the reader or writer beneath.

use std::fmt;
use std::io;

use crate::ffi;

/// The library's status codes that an `Error` may carry.
pub mod code {
    /// "Error reading source file": the reader beneath a read adapter failed.
    pub const READ_ERROR: i32 = 4;
    /// "Error writing destination file": the writer beneath failed, or the
    /// room given for the output was too small.
    pub const WRITE_ERROR: i32 = 5;
    /// "Source encoded": a line to encode already carries the encoded mark.
    pub const SOURCE_ENCODED: i32 = 9;
    /// "Source not encoded": a line to decode is not a record.
    pub const SOURCE_NOT_ENCODED: i32 = 10;
    /// "NUL byte in source": a line holds a NUL byte.
    pub const NUL_IN_SOURCE: i32 = 12;
    /// "Damaged record": a record's header, length or body is wrong.
    pub const RECORD_DAMAGED: i32 = 13;
}

/// What kind of failure an [`Error`] is.
#[derive(Debug, Clone, Copy, PartialEq, Eq)]
#[non_exhaustive]
pub enum ErrorKind {
    /// The library refused a piece of the input ([`Error::code`] says why).
    Refused,
    /// The reader or writer beneath failed ([`Error::io_error`] holds its error).
    Io,
    /// The output did not fit the slice given for it.
    NoRoom,
}

#[derive(Debug)]
enum Cause {
    Refused(i32),
    Io { error: io::Error, code: i32 },
    NoRoom { needed: usize },
}

/// A failed conversion: the library's code and message, where the input
/// stopped, and the output of the pieces before it.
///
/// ```
/// let err = qelcode::encode(b"fine\nOPEN\n").unwrap_err();
/// assert_eq!(err.code(), qelcode::code::SOURCE_ENCODED);
/// assert_eq!((err.offset(), err.line()), (5, 2));
/// assert_eq!(err.to_string(), "Source encoded (line 2, input byte 5)");
/// assert_eq!(err.output(), &qelcode::encode(b"fine\n").unwrap()[..]);
/// ```
#[derive(Debug)]
pub struct Error {
    cause: Cause,
    offset: u64,
    line: u64,
    output: Vec<u8>,
}

impl Error {
    pub(crate) fn refused(code: i32, offset: u64, line: u64) -> Error {
        Error { cause: Cause::Refused(code), offset, line, output: Vec::new() }
    }

    /// A failed read (`code::READ_ERROR`) or write (`code::WRITE_ERROR`).
    pub(crate) fn io(error: io::Error, code: i32, offset: u64, line: u64) -> Error {
        Error { cause: Cause::Io { error, code }, offset, line, output: Vec::new() }
    }

    pub(crate) fn no_room(needed: usize, offset: u64, line: u64) -> Error {
        Error { cause: Cause::NoRoom { needed }, offset, line, output: Vec::new() }
    }

    pub(crate) fn with_output(mut self, output: Vec<u8>) -> Error {
        self.output = output;
        self
    }

    /// What kind of failure this is.
    ///
    /// ```
    /// let err = qelcode::decode(b"not a record\n").unwrap_err();
    /// assert_eq!(err.kind(), qelcode::ErrorKind::Refused);
    /// ```
    pub fn kind(&self) -> ErrorKind {
        match self.cause {
            Cause::Refused(_) => ErrorKind::Refused,
            Cause::Io { .. } => ErrorKind::Io,
            Cause::NoRoom { .. } => ErrorKind::NoRoom,
        }
    }

    /// The library's status code: the refusal's (see [`code`](crate::code)),
    /// [`code::READ_ERROR`](crate::code::READ_ERROR) or
    /// [`code::WRITE_ERROR`](crate::code::WRITE_ERROR) for a failed reader or
    /// writer, `WRITE_ERROR` for a slice too small.
    ///
    /// ```
    /// let err = qelcode::encode(b"a\0b\n").unwrap_err();
    /// assert_eq!(err.code(), qelcode::code::NUL_IN_SOURCE);
    /// ```
    pub fn code(&self) -> i32 {
        match &self.cause {
            Cause::Refused(code) => *code,
            Cause::Io { code, .. } => *code,
            Cause::NoRoom { .. } => code::WRITE_ERROR,
        }
    }

    /// Input bytes taken before the failure: where the refused piece starts,
    /// counted from the start of the conversion.
    ///
    /// ```
    /// let err = qelcode::decode(b"!~5(\nbad\n").unwrap_err();
    /// assert_eq!(err.offset(), 5);
    /// ```
    pub fn offset(&self) -> u64 {
        self.offset
    }

    /// The 1-based line (record, when decoding) of the refused piece.
    ///
    /// ```
    /// let err = qelcode::decode(b"!~5(\nbad\n").unwrap_err();
    /// assert_eq!(err.line(), 2);
    /// ```
    pub fn line(&self) -> u64 {
        self.line
    }

    /// The output of the pieces before the failure, where the call returns
    /// no output of its own ([`encode`](crate::encode), [`decode`](crate::decode));
    /// empty where that output was already handed on (appended to a `Vec`,
    /// written to a slice or to the writer beneath).
    ///
    /// ```
    /// let err = qelcode::decode(b"!~5(\nbad\n").unwrap_err();
    /// assert_eq!(err.output(), b"A\n");
    /// ```
    pub fn output(&self) -> &[u8] {
        &self.output
    }

    /// Takes the output of the pieces before the failure out of the error.
    ///
    /// ```
    /// let err = qelcode::decode(b"!~5(\nbad\n").unwrap_err();
    /// assert_eq!(err.into_output(), b"A\n".to_vec());
    /// ```
    pub fn into_output(self) -> Vec<u8> {
        self.output
    }

    /// The I/O error of the reader or writer beneath, for [`ErrorKind::Io`].
    ///
    /// ```
    /// let refused = qelcode::decode(b"x\n").unwrap_err();
    /// assert!(refused.io_error().is_none());
    /// ```
    pub fn io_error(&self) -> Option<&io::Error> {
        match &self.cause {
            Cause::Io { error, .. } => Some(error),
            _ => None,
        }
    }

    /// The library's message for [`code`](Error::code), as `QEL_RtnCodeStr`
    /// gives it.
    ///
    /// ```
    /// let err = qelcode::decode(b"x\n").unwrap_err();
    /// assert_eq!(err.message(), "Source not encoded");
    /// ```
    pub fn message(&self) -> &'static str {
        ffi::message(self.code())
    }
}

impl fmt::Display for Error {
    /// The library's message and where the input stopped; for an I/O error,
    /// the I/O error's own text after the library's message.
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        match &self.cause {
            Cause::Refused(_) => write!(f, "{} (line {}, input byte {})", self.message(), self.line, self.offset),
            Cause::Io { error, .. } => write!(f, "{}: {}", self.message(), error),
            Cause::NoRoom { needed } => {
                write!(f, "{}: the output needs more room ({} bytes suffice)", self.message(), needed)
            }
        }
    }
}

impl std::error::Error for Error {
    fn source(&self) -> Option<&(dyn std::error::Error + 'static)> {
        match &self.cause {
            Cause::Io { error, .. } => Some(error),
            _ => None,
        }
    }
}

impl From<Error> for io::Error {
    /// An I/O error gives back the error it holds; a refusal becomes an
    /// `io::ErrorKind::InvalidData` error carrying the `Error`, which
    /// `get_ref()` and `downcast` give back.
    ///
    /// ```
    /// let err = qelcode::decode(b"x\n").unwrap_err();
    /// let io: std::io::Error = err.into();
    /// assert_eq!(io.kind(), std::io::ErrorKind::InvalidData);
    /// let back = io.into_inner().unwrap().downcast::<qelcode::Error>().unwrap();
    /// assert_eq!(back.code(), qelcode::code::SOURCE_NOT_ENCODED);
    /// ```
    fn from(error: Error) -> io::Error {
        match error.cause {
            Cause::Io { error, .. } => error,
            _ => io::Error::new(io::ErrorKind::InvalidData, error),
        }
    }
}
