//! A 1 GiB stream through a reader and a writer in constant memory.

mod common;

use std::fs;
use std::io::{self, BufRead, BufReader, Read, Write};

const SIZE: u64 = 1 << 30;

/// SIZE bytes of text: one block of whole lines, over and over, handed out
/// from the block itself (nothing is copied or kept).
struct Repeat<'a> {
    block: &'a [u8],
    at: usize,
    left: u64,
}

impl Read for Repeat<'_> {
    fn read(&mut self, buf: &mut [u8]) -> io::Result<usize> {
        let n = self.fill_buf()?.len().min(buf.len());
        buf[..n].copy_from_slice(&self.fill_buf()?[..n]);
        self.consume(n);
        Ok(n)
    }
}

impl BufRead for Repeat<'_> {
    fn fill_buf(&mut self) -> io::Result<&[u8]> {
        let n = ((self.block.len() - self.at) as u64).min(self.left) as usize;
        Ok(&self.block[self.at..self.at + n])
    }
    fn consume(&mut self, n: usize) {
        self.at = (self.at + n) % self.block.len();
        self.left -= n as u64;
    }
}

/// A writer that checks what it is given against `expected` over and over.
struct Check<'a> {
    expected: &'a [u8],
    at: usize,
    total: u64,
}

impl Write for Check<'_> {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        let n = buf.len().min(self.expected.len() - self.at);
        assert!(buf[..n] == self.expected[self.at..self.at + n], "output byte {} differs", self.total);
        self.at = (self.at + n) % self.expected.len();
        self.total += n as u64;
        Ok(n)
    }
    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

/// The peak resident memory of the process, in KiB.
fn peak_kib() -> u64 {
    let status = fs::read_to_string("/proc/self/status").unwrap();
    let line = status.lines().find(|l| l.starts_with("VmHWM:")).unwrap();
    line.split_whitespace().nth(1).unwrap().parse().unwrap()
}

#[test]
fn one_gib_through_a_reader_and_a_writer_in_constant_memory() {
    // 1 MiB of whole lines, so that the records of the stream are this
    // block's records over and over.
    let mut rng = common::Rng::new(3);
    let mut block = common::mixed_text(&mut rng, 1 << 20);
    block.truncate(1 << 20);
    while block.last() != Some(&b'\n') {
        block.pop();
    }
    block.resize(1 << 20, b'\n');
    let records = qelcode::encode(&block).unwrap();
    // CR LF decodes as LF, and long lines as several: the text that comes back.
    let text_back = qelcode::decode(&records).unwrap();
    let lines = block.iter().filter(|&&b| b == b'\n').count() as u64 * (SIZE >> 20);
    let before = peak_kib();

    // text -> EncodeReader -> Decoder -> the text back, checked on the way.
    let mut text = Repeat { block: &block, at: 0, left: SIZE };
    let mut encoding = qelcode::EncodeReader::new(&mut text);
    let mut decoder = qelcode::Decoder::new(Check { expected: &text_back, at: 0, total: 0 });
    let copied = io::copy(&mut encoding, &mut decoder).unwrap();
    assert_eq!((encoding.offset(), encoding.line()), (SIZE, lines + 1));
    assert_eq!(decoder.offset(), copied);
    let check = decoder.finish().unwrap();
    assert_eq!(check.total, text_back.len() as u64 * (SIZE >> 20));
    assert_eq!(copied, records.len() as u64 * (SIZE >> 20));

    // text -> Encoder -> the records, checked.
    let mut encoder = qelcode::Encoder::new(Check { expected: &records, at: 0, total: 0 });
    io::copy(&mut BufReader::new(Repeat { block: &block, at: 0, left: SIZE }), &mut encoder).unwrap();
    assert_eq!(encoder.finish().unwrap().total, copied);

    let grown = peak_kib().saturating_sub(before);
    assert!(grown < 32 * 1024, "the peak memory grew by {} KiB over 2 GiB of input", grown);
}
