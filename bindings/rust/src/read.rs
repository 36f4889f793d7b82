//! `EncodeReader` and `DecodeReader`: readers that give the output of what
//! they read from a `BufRead`.

use std::fmt;
use std::io::{self, BufRead, Read};

use crate::error::Error;
use crate::ffi::{self, Converter};

/// The converter and the reader beneath, shared by both readers.
struct Pull<R: BufRead> {
    inner: R,
    converter: Converter,
    /// The input ended and everything held was handed over.
    done: bool,
}

impl<R: BufRead> Pull<R> {
    fn read(&mut self, buf: &mut [u8]) -> io::Result<usize> {
        if buf.is_empty() || self.done {
            return Ok(0);
        }
        loop {
            let available = match self.inner.fill_buf() {
                Ok(available) => available,
                Err(error) if error.kind() == io::ErrorKind::Interrupted => continue,
                Err(error) => return Err(error),
            };
            let last = available.is_empty();
            let put = self.converter.put(buf, available, last);
            self.inner.consume(put.consumed);
            if put.produced > 0 {
                // A refusal after this output comes again with the next call.
                return Ok(put.produced);
            }
            if put.status != ffi::RTN_SUCCESSFUL {
                let error = Error::refused(put.status, self.converter.offset(), self.converter.line());
                return Err(error.into());
            }
            if last {
                self.done = true;
                return Ok(0);
            }
        }
    }
}

macro_rules! reader {
    ($name:ident, $what:literal, $input:literal, $output:literal, $decode:expr, $example:literal) => {
        #[doc = concat!("A reader that gives the ", $output, " of the ", $input, " it reads from `R`.")]
        ///
        /// Reading converts as much as the buffer takes; the end of `R`
        /// ends the input. A refused line fails the read that reaches it
        /// (once the output of the lines before it has been read) with an
        /// `io::Error` of kind `InvalidData` carrying the [`Error`], and so
        /// does every later read. An error of `R` is handed back as it came.
        ///
        /// ```
        #[doc = $example]
        /// ```
        pub struct $name<R: BufRead> {
            pull: Pull<R>,
        }

        impl<R: BufRead> $name<R> {
            #[doc = concat!("A reader that ", $what, " what it reads from `inner`.")]
            pub fn new(inner: R) -> $name<R> {
                $name { pull: Pull { inner, converter: Converter::new($decode, false), done: false } }
            }

            /// The reader beneath.
            pub fn get_ref(&self) -> &R {
                &self.pull.inner
            }

            /// The reader beneath; reading from it directly takes bytes from the input.
            pub fn get_mut(&mut self) -> &mut R {
                &mut self.pull.inner
            }

            /// Gives back the reader beneath; input the converter took but
            /// has not converted is lost.
            pub fn into_inner(self) -> R {
                self.pull.inner
            }

            /// Input bytes of the lines converted so far (where a refused line starts).
            pub fn offset(&self) -> u64 {
                self.pull.converter.offset()
            }

            /// The 1-based line that the next (or the refused) piece is on.
            pub fn line(&self) -> u64 {
                self.pull.converter.line()
            }
        }

        impl<R: BufRead> Read for $name<R> {
            fn read(&mut self, buf: &mut [u8]) -> io::Result<usize> {
                self.pull.read(buf)
            }
        }

        impl<R: BufRead + fmt::Debug> fmt::Debug for $name<R> {
            fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
                f.debug_struct(stringify!($name))
                    .field("inner", &self.pull.inner)
                    .field("offset", &self.offset())
                    .field("line", &self.line())
                    .finish()
            }
        }
    };
}

reader!(
    EncodeReader,
    "encodes",
    "text",
    "records",
    false,
    "use std::io::Read;\n\
     let mut records = Vec::new();\n\
     qelcode::EncodeReader::new(&b\"Hello\\n\"[..]).read_to_end(&mut records)?;\n\
     assert_eq!(records, b\"%z5PIzv[\\n\");\n\
     # Ok::<(), std::io::Error>(())"
);

reader!(
    DecodeReader,
    "decodes",
    "records",
    "text",
    true,
    "use std::io::{BufRead, BufReader};\n\
     let text = qelcode::DecodeReader::new(&b\"!~5(\\n\\\"}5P$\\n\"[..]);\n\
     let lines: Vec<String> = BufReader::new(text).lines().collect::<Result<_, _>>()?;\n\
     assert_eq!(lines, [\"A\", \"Hi\"]);\n\
     # Ok::<(), std::io::Error>(())"
);
