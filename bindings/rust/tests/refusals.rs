//! Each refusal, with its code, where the refused line starts, and the
//! output of the lines before it, through every form and random splits.

mod common;

use std::io::{self, BufReader, Read, Write};

use common::{random_pieces, Rng};
use qelcode::code;

struct Case {
    decode: bool,
    input: &'static [u8],
    code: i32,
    offset: u64,
    line: u64,
    /// The output of the lines before the refused one (worked out by hand).
    output: &'static [u8],
}

const LONG_THEN_MARK: &[u8] = b"ok\n";

fn cases() -> Vec<Case> {
    vec![
        // "OP": 79 + 80 = 159, the encoded mark.
        Case { decode: false, input: b"A\nOPEN\n", code: code::SOURCE_ENCODED, offset: 2, line: 2, output: b"!~5(\n" },
        Case { decode: false, input: b"OPEN\nA\n", code: code::SOURCE_ENCODED, offset: 0, line: 1, output: b"" },
        Case { decode: false, input: b"A\nB\0C\n", code: code::NUL_IN_SOURCE, offset: 2, line: 2, output: b"!~5(\n" },
        Case { decode: false, input: b"Hi\n\0", code: code::NUL_IN_SOURCE, offset: 3, line: 2, output: b"\"}5P$\n" },
        Case { decode: false, input: b"A\r\n\r\nWHAT", code: code::SOURCE_ENCODED, offset: 5, line: 3, output: b"!~5(\n \x7f5\n" },
        Case { decode: true, input: b"!~5(\nxyz\n", code: code::SOURCE_NOT_ENCODED, offset: 5, line: 2, output: b"A\n" },
        Case { decode: true, input: b"xyz\n!~5(\n", code: code::SOURCE_NOT_ENCODED, offset: 0, line: 1, output: b"" },
        // A length of 1 over a body of 2 bytes.
        Case { decode: true, input: b"!~5(\r\n!~5(x\n", code: code::RECORD_DAMAGED, offset: 6, line: 2, output: b"A\n" },
        Case { decode: true, input: b"!~5(\n!~5(\n!~5\0\n", code: code::NUL_IN_SOURCE, offset: 10, line: 3, output: b"A\nA\n" },
    ]
}

fn check_error(case: &Case, error: &qelcode::Error, how: &str) {
    let what = format!("{:?} through {}", String::from_utf8_lossy(case.input), how);
    assert_eq!(error.kind(), qelcode::ErrorKind::Refused, "{}", what);
    assert_eq!((error.code(), error.offset(), error.line()), (case.code, case.offset, case.line), "{}", what);
    assert_eq!(error.message(), qelcode::message(case.code), "{}", what);
    assert!(error.to_string().starts_with(error.message()), "{}: {}", what, error);
}

fn refusal_of(error: io::Error) -> qelcode::Error {
    assert_eq!(error.kind(), io::ErrorKind::InvalidData);
    *error.into_inner().expect("carries the refusal").downcast::<qelcode::Error>().expect("a qelcode::Error")
}

#[test]
fn whole_buffer_forms() {
    for case in cases() {
        let error = if case.decode { qelcode::decode(case.input) } else { qelcode::encode(case.input) }.unwrap_err();
        check_error(&case, &error, "the whole-buffer call");
        assert_eq!(error.output(), case.output);

        let mut out = b">".to_vec();
        let error = if case.decode {
            qelcode::decode_to_vec(case.input, &mut out)
        } else {
            qelcode::encode_to_vec(case.input, &mut out)
        }
        .unwrap_err();
        check_error(&case, &error, "to_vec");
        assert_eq!(&out[1..], case.output);

        let mut room = [0u8; 64];
        let error = if case.decode {
            qelcode::decode_to_slice(case.input, &mut room)
        } else {
            qelcode::encode_to_slice(case.input, &mut room)
        }
        .unwrap_err();
        check_error(&case, &error, "to_slice");
        assert_eq!(&room[..case.output.len()], case.output);
    }
}

fn write_all_pieces<W: Write>(writer: &mut W, pieces: &[&[u8]]) -> io::Result<()> {
    pieces.iter().try_for_each(|piece| writer.write_all(piece))
}

#[test]
fn writers_in_random_pieces() {
    let mut rng = Rng::new(7);
    for case in cases() {
        for _ in 0..50 {
            let pieces = random_pieces(&mut rng, case.input);
            // The refusal comes from the write that reaches the line, or,
            // for the last line, from finish.
            let (error, written, offset, line) = if case.decode {
                let mut w = qelcode::Decoder::new(Vec::new());
                let error = match write_all_pieces(&mut w, &pieces) {
                    Err(error) => {
                        let again = w.write(b"!~5(\n").unwrap_err();
                        assert_eq!(refusal_of(again).code(), case.code, "every later write repeats the refusal");
                        refusal_of(error)
                    }
                    Ok(()) => {
                        let (offset, line) = (w.offset(), w.line());
                        let error = w.finish().unwrap_err();
                        assert!(offset <= case.offset && line <= case.line);
                        error
                    }
                };
                (error, Vec::new(), 0, 0)
            } else {
                let mut w = qelcode::Encoder::new(Vec::new());
                let result = write_all_pieces(&mut w, &pieces);
                let (offset, line) = (w.offset(), w.line());
                let written = w.get_ref().clone();
                let error = match result {
                    Err(error) => refusal_of(error),
                    Ok(()) => w.finish().unwrap_err(),
                };
                (error, written, offset, line)
            };
            check_error(&case, &error, "a writer");
            if !case.decode && offset == case.offset {
                // Refused in a write: everything before the line was written on.
                assert_eq!(line, case.line);
                assert_eq!(written, case.output);
            }
        }
    }
}

#[test]
fn writers_hand_on_the_output_before_the_refusal() {
    for case in cases() {
        let mut out = Vec::new();
        let error = if case.decode {
            let mut w = qelcode::Decoder::new(&mut out);
            w.write_all(case.input).and_then(|_| w.flush()).err().map(refusal_of).unwrap_or_else(|| w.finish().unwrap_err())
        } else {
            let mut w = qelcode::Encoder::new(&mut out);
            w.write_all(case.input).and_then(|_| w.flush()).err().map(refusal_of).unwrap_or_else(|| w.finish().unwrap_err())
        };
        check_error(&case, &error, "a writer given everything at once");
        assert_eq!(out, case.output);
    }
}

#[test]
fn readers_with_random_buffers() {
    let mut rng = Rng::new(11);
    for case in cases() {
        for _ in 0..50 {
            let source = BufReader::with_capacity(1 + rng.below(8), case.input);
            let mut reader: Box<dyn Read> = if case.decode {
                Box::new(qelcode::DecodeReader::new(source))
            } else {
                Box::new(qelcode::EncodeReader::new(source))
            };
            let mut out = Vec::new();
            let mut buf = [0u8; 16];
            let error = loop {
                let size = 1 + rng.below(buf.len());
                match reader.read(&mut buf[..size]) {
                    Ok(0) => panic!("{:?} read to its end", String::from_utf8_lossy(case.input)),
                    Ok(n) => out.extend_from_slice(&buf[..n]),
                    Err(error) => break refusal_of(error),
                }
            };
            check_error(&case, &error, "a reader");
            assert_eq!(out, case.output);
            let again = reader.read(&mut buf).unwrap_err();
            assert_eq!(refusal_of(again).code(), case.code, "every later read repeats the refusal");
        }
    }
}

#[test]
fn a_line_cut_into_several_records_counts_once() {
    let mut input = vec![b'x'; 1200];
    input.push(b'\n');
    input.extend_from_slice(LONG_THEN_MARK);
    input.extend_from_slice(b"WHAT\n");
    let error = qelcode::encode(&input).unwrap_err();
    assert_eq!((error.code(), error.offset(), error.line()), (code::SOURCE_ENCODED, 1204, 3));
    // The output is that of the lines before, whole.
    assert!(error.output() == &qelcode::encode(&input[..1204]).unwrap()[..]);
}

#[test]
fn forced_encoding_takes_marked_lines() {
    let records = qelcode::encode_forced(b"A\nOPEN\n").unwrap();
    assert_eq!(&records[..5], b"!~5(\n");
    assert_eq!(qelcode::decode(&records).unwrap(), b"A\nOPEN\n");
    let mut w = qelcode::Encoder::forced(Vec::new());
    w.write_all(b"A\nOP").unwrap();
    w.write_all(b"EN\n").unwrap();
    assert_eq!(w.finish().unwrap(), records);
}

/// A writer that fails after taking `room` bytes.
#[derive(Debug)]
struct Failing {
    room: usize,
}

impl Write for Failing {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        if self.room == 0 {
            return Err(io::Error::new(io::ErrorKind::Other, "disk full"));
        }
        let n = buf.len().min(self.room);
        self.room -= n;
        Ok(n)
    }
    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

/// A reader that fails after `good` bytes.
struct FailingReader {
    good: &'static [u8],
}

impl Read for FailingReader {
    fn read(&mut self, buf: &mut [u8]) -> io::Result<usize> {
        if self.good.is_empty() {
            return Err(io::Error::new(io::ErrorKind::ConnectionReset, "gone"));
        }
        let n = buf.len().min(self.good.len());
        buf[..n].copy_from_slice(&self.good[..n]);
        self.good = &self.good[n..];
        Ok(n)
    }
}

#[test]
fn errors_of_the_writer_and_reader_beneath_come_back_as_they_were() {
    let mut w = qelcode::Encoder::new(Failing { room: 3 });
    let error = w.write_all(b"Hello\nworld\n").unwrap_err();
    assert_eq!((error.kind(), error.to_string()), (io::ErrorKind::Other, "disk full".to_string()));
    // The lost output can't be made good: later calls fail too.
    assert!(w.write(b"x\n").is_err());
    let error = w.finish().unwrap_err();
    assert_eq!((error.kind(), error.code()), (qelcode::ErrorKind::Io, code::WRITE_ERROR));

    let mut w = qelcode::Encoder::new(Failing { room: 100 });
    w.write_all(&[b'x'; 100]).unwrap();
    let error = w.finish().unwrap_err();
    assert_eq!(error.io_error().unwrap().to_string(), "disk full");
    assert!(std::error::Error::source(&error).is_some());

    let mut r = qelcode::EncodeReader::new(BufReader::new(FailingReader { good: b"A\n" }));
    let mut out = Vec::new();
    let error = r.read_to_end(&mut out).unwrap_err();
    assert_eq!(error.kind(), io::ErrorKind::ConnectionReset);
    assert_eq!(out, b"!~5(\n");
}
