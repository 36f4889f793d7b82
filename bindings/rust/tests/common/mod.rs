//! What the tests share: the repository's reference vectors, a small
//! random number generator, and text to convert.
#![allow(dead_code)]

use std::fs;
use std::path::PathBuf;

pub fn repo() -> PathBuf {
    PathBuf::from(env!("CARGO_MANIFEST_DIR")).join("..").join("..")
}

/// One vector of tests/reference/vectors.txt.
pub struct Vector {
    pub operation: String,
    pub shift: u32,
    pub text: Vec<u8>,
    pub record: Vec<u8>,
    pub source_line: usize,
}

fn unquote(field: &str, at: usize) -> (Vec<u8>, usize) {
    let bytes = field.as_bytes();
    assert_eq!(bytes[at], b'"', "a quoted field at {}", at);
    let mut out = Vec::new();
    let mut i = at + 1;
    loop {
        match bytes[i] {
            b'"' => return (out, i + 1),
            b'\\' => {
                let (byte, len) = match bytes[i + 1] {
                    b'n' => (b'\n', 2),
                    b'r' => (b'\r', 2),
                    b't' => (b'\t', 2),
                    b'\\' => (b'\\', 2),
                    b'"' => (b'"', 2),
                    b'x' => (u8::from_str_radix(&field[i + 2..i + 4], 16).expect("two hex digits"), 4),
                    other => panic!("unknown escape \\{}", other as char),
                };
                out.push(byte);
                i += len;
            }
            byte => {
                out.push(byte);
                i += 1;
            }
        }
    }
}

pub fn vectors() -> Vec<Vector> {
    let text = fs::read_to_string(repo().join("tests/reference/vectors.txt")).expect("vectors.txt");
    let mut vectors = Vec::new();
    for (n, line) in text.lines().enumerate() {
        if line.trim().is_empty() || line.starts_with('#') {
            continue;
        }
        let mut parts = line.splitn(3, ' ');
        let operation = parts.next().unwrap().to_string();
        let shift = parts.next().unwrap().parse().expect("a shift");
        let rest = parts.next().unwrap();
        let (text, end) = unquote(rest, 0);
        let (record, _) = unquote(rest, end + 1);
        vectors.push(Vector { operation, shift, text, record, source_line: n + 1 });
    }
    vectors
}

/// xorshift64*: the same numbers on every run.
pub struct Rng(u64);

impl Rng {
    pub fn new(seed: u64) -> Rng {
        Rng(seed.wrapping_mul(0x9E37_79B9_7F4A_7C15) | 1)
    }
    pub fn next(&mut self) -> u64 {
        self.0 ^= self.0 >> 12;
        self.0 ^= self.0 << 25;
        self.0 ^= self.0 >> 27;
        self.0.wrapping_mul(0x2545_F491_4F6C_DD1D)
    }
    pub fn below(&mut self, n: usize) -> usize {
        (self.next() % n as u64) as usize
    }
}

/// Text with short, empty and long lines (longer than one record holds),
/// CR LF and lone CR, tabs and high bytes, and no line that carries the
/// encoded mark or a NUL.
pub fn mixed_text(rng: &mut Rng, size: usize) -> Vec<u8> {
    let mut text = Vec::with_capacity(size + 2000);
    while text.len() < size {
        let len = match rng.below(10) {
            0 => 0,
            1 => 500 + rng.below(1100),
            _ => rng.below(80),
        };
        for i in 0..len {
            let byte = match rng.below(40) {
                0 => b'\t',
                1 => 0x80 + rng.below(128) as u8,
                2 => b'\r',
                _ => b' ' + rng.below(95) as u8,
            };
            // No two bytes in a row add up to 159, so that no line, nor the
            // part of a long line that starts a record, carries the mark.
            if i >= 1 && text[text.len() - 1] as u32 + byte as u32 == 159 {
                text.push(byte ^ 1);
            } else {
                text.push(byte);
            }
        }
        text.extend_from_slice(if rng.below(4) == 0 { b"\r\n" } else { b"\n" });
    }
    text
}

/// Cuts `data` into pieces of random sizes, from 1 byte to a few KiB.
pub fn random_pieces<'a>(rng: &mut Rng, data: &'a [u8]) -> Vec<&'a [u8]> {
    let mut pieces = Vec::new();
    let mut at = 0;
    while at < data.len() {
        let most = [1, 7, 100, 700, 5000][rng.below(5)];
        let len = (1 + rng.below(most)).min(data.len() - at);
        pieces.push(&data[at..at + len]);
        at += len;
    }
    pieces
}
