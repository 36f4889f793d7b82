//! `Encoder` and `Decoder`: writers that convert what they are given and
//! pass the output on to another writer.

use std::fmt;
use std::io::{self, Write};

use crate::error::{code, Error};
use crate::ffi::{self, Converter};

/// Output room of one converter call.
const ROOM: usize = 128 * 1024;

/// The converter and the writer beneath, shared by `Encoder` and `Decoder`.
struct Pipe<W: Write> {
    inner: Option<W>,
    converter: Converter,
    room: Box<[u8]>,
    /// The writer beneath failed: output the converter handed over was lost.
    broken: bool,
}

impl<W: Write> Pipe<W> {
    fn new(inner: W, converter: Converter) -> Pipe<W> {
        Pipe { inner: Some(inner), converter, room: vec![0; ROOM].into_boxed_slice(), broken: false }
    }

    fn inner(&self) -> &W {
        self.inner.as_ref().expect("the writer is there until finish")
    }

    fn inner_mut(&mut self) -> &mut W {
        self.inner.as_mut().expect("the writer is there until finish")
    }

    /// Feeds every byte of src (and with last ends the input), writing the
    /// output on, until the converter holds no output.
    fn feed(&mut self, src: &[u8], last: bool) -> Result<(), Error> {
        if self.broken {
            let error = io::Error::other("an earlier write to the writer beneath failed");
            return Err(self.io_error(error));
        }
        let mut taken = 0;
        loop {
            let put = self.converter.put(&mut self.room, &src[taken..], last);
            taken += put.consumed;
            if put.produced > 0 {
                let inner = self.inner.as_mut().expect("the writer is there until finish");
                if let Err(error) = inner.write_all(&self.room[..put.produced]) {
                    self.broken = true;
                    return Err(self.io_error(error));
                }
            }
            if put.status != ffi::RTN_SUCCESSFUL {
                return Err(Error::refused(put.status, self.converter.offset(), self.converter.line()));
            }
            if taken == src.len() && put.produced == 0 {
                return Ok(());
            }
        }
    }

    fn io_error(&self, error: io::Error) -> Error {
        Error::io(error, code::WRITE_ERROR, self.converter.offset(), self.converter.line())
    }

    fn finish(&mut self) -> Result<W, Error> {
        self.feed(&[], true)?;
        if let Err(error) = self.inner_mut().flush() {
            return Err(self.io_error(error));
        }
        Ok(self.inner.take().expect("the writer is there until finish"))
    }

    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        self.feed(buf, false)?;
        Ok(buf.len())
    }

    fn flush(&mut self) -> io::Result<()> {
        self.inner_mut().flush()
    }
}

impl<W: Write> Drop for Pipe<W> {
    fn drop(&mut self) {
        // Dropped without finish: end the input all the same, as far as it goes.
        if self.inner.is_some() && !self.broken {
            let _ = self.finish();
        }
    }
}

macro_rules! writer {
    ($name:ident, $what:literal, $input:literal, $output:literal, $decode:expr, $example:literal) => {
        #[doc = concat!("A writer that ", $what, " everything written to it and writes the ", $output, " to `W`.")]
        ///
        #[doc = concat!("Give it the ", $input, " in pieces of any size; [`finish`](Self::finish) ends the input,")]
        /// writes the rest of the output and gives back the writer beneath.
        /// Dropped without `finish`, it ends the input all the same but its
        /// errors are lost.
        ///
        /// A refused line fails the `write` that reaches it, with an
        /// `io::Error` of kind `InvalidData` carrying the [`Error`] (see
        /// [`Error`]'s conversion to `io::Error`), once the output of every
        /// line before it has been written on; every later call fails the
        /// same way. An error of the writer beneath is handed back as it came.
        ///
        /// ```
        #[doc = $example]
        /// ```
        pub struct $name<W: Write> {
            pipe: Pipe<W>,
        }

        impl<W: Write> $name<W> {
            #[doc = concat!("A writer that ", $what, " into `inner`.")]
            pub fn new(inner: W) -> $name<W> {
                $name { pipe: Pipe::new(inner, Converter::new($decode, false)) }
            }

            /// Ends the input, writes the rest of the output, flushes the
            /// writer beneath and gives it back.
            pub fn finish(mut self) -> Result<W, Error> {
                self.pipe.finish()
            }

            /// The writer beneath.
            pub fn get_ref(&self) -> &W {
                self.pipe.inner()
            }

            /// The writer beneath; writing to it directly puts bytes among the output.
            pub fn get_mut(&mut self) -> &mut W {
                self.pipe.inner_mut()
            }

            /// Input bytes of the lines converted so far (where a refused line starts).
            pub fn offset(&self) -> u64 {
                self.pipe.converter.offset()
            }

            /// The 1-based line that the next (or the refused) piece is on.
            pub fn line(&self) -> u64 {
                self.pipe.converter.line()
            }
        }

        impl<W: Write> Write for $name<W> {
            /// Takes all of `buf` and writes the output of its complete lines on.
            fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
                self.pipe.write(buf)
            }

            /// Flushes the writer beneath. A line not yet ended stays in the
            /// converter until more input or [`finish`](Self::finish).
            fn flush(&mut self) -> io::Result<()> {
                self.pipe.flush()
            }
        }

        impl<W: Write + fmt::Debug> fmt::Debug for $name<W> {
            fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.debug_struct(stringify!($name))
                    .field("inner", &self.pipe.inner)
                    .field("offset", &self.offset())
                    .field("line", &self.line())
                    .finish()
            }
        }
    };
}

writer!(
    Encoder,
    "encodes",
    "text",
    "records",
    false,
    "use std::io::Write;\n\
     let mut encoder = qelcode::Encoder::new(Vec::new());\n\
     encoder.write_all(b\"Hel\")?;\n\
     encoder.write_all(b\"lo\\n\")?;\n\
     let records = encoder.finish()?;\n\
     assert_eq!(records, b\"%z5PIzv[\\n\");\n\
     # Ok::<(), Box<dyn std::error::Error>>(())"
);

writer!(
    Decoder,
    "decodes",
    "records",
    "text",
    true,
    "use std::io::Write;\n\
     let mut decoder = qelcode::Decoder::new(Vec::new());\n\
     decoder.write_all(b\"%z5PI\")?;\n\
     decoder.write_all(b\"zv[\\n\")?;\n\
     assert_eq!(decoder.finish()?, b\"Hello\\n\");\n\
     # Ok::<(), Box<dyn std::error::Error>>(())"
);

impl<W: Write> Encoder<W> {
    /// An encoder that encodes lines carrying the encoded mark all the same.
    ///
    /// ```
    /// use std::io::Write;
    /// let mut encoder = qelcode::Encoder::forced(Vec::new());
    /// encoder.write_all(b"OPEN\n")?;
    /// assert_eq!(qelcode::decode(&encoder.finish()?)?, b"OPEN\n");
    /// # Ok::<(), Box<dyn std::error::Error>>(())
    /// ```
    pub fn forced(inner: W) -> Encoder<W> {
        Encoder { pipe: Pipe::new(inner, Converter::new(false, true)) }
    }
}
