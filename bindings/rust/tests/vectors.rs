//! The repository's reference vectors (records worked out by hand, for the
//! default build), through every form of the crate.

mod common;

use std::io::{BufReader, Read, Write};

use common::vectors;

/// Every way the crate converts a whole input, each of which must give `expected`.
fn every_form(decode: bool, input: &[u8]) -> Vec<(&'static str, Vec<u8>)> {
    let whole = if decode { qelcode::decode(input) } else { qelcode::encode(input) }.unwrap();
    let mut appended = b"kept".to_vec();
    if decode { qelcode::decode_to_vec(input, &mut appended) } else { qelcode::encode_to_vec(input, &mut appended) }
        .unwrap();
    assert_eq!(&appended[..4], b"kept");
    let bound = if decode { qelcode::decode_bound(input.len()) } else { qelcode::encode_bound(input.len()) };
    let mut room = vec![0u8; bound];
    let n = if decode { qelcode::decode_to_slice(input, &mut room) } else { qelcode::encode_to_slice(input, &mut room) }
        .unwrap();
    let written = if decode {
        let mut w = qelcode::Decoder::new(Vec::new());
        w.write_all(input).unwrap();
        w.finish().unwrap()
    } else {
        let mut w = qelcode::Encoder::new(Vec::new());
        w.write_all(input).unwrap();
        w.finish().unwrap()
    };
    let mut read = Vec::new();
    // One byte at a time, through a one-byte buffer: every piece as small as it gets.
    let source = BufReader::with_capacity(1, input);
    if decode {
        let mut r = qelcode::DecodeReader::new(source);
        let mut byte = [0u8; 1];
        while r.read(&mut byte).unwrap() == 1 {
            read.push(byte[0]);
        }
    } else {
        let mut r = qelcode::EncodeReader::new(source);
        let mut byte = [0u8; 1];
        while r.read(&mut byte).unwrap() == 1 {
            read.push(byte[0]);
        }
    }
    vec![
        ("whole", whole),
        ("to_vec", appended[4..].to_vec()),
        ("to_slice", room[..n].to_vec()),
        ("writer", written),
        ("reader", read),
    ]
}

#[test]
fn file_vectors_through_every_form() {
    let vectors: Vec<_> = vectors()
        .into_iter()
        .filter(|v| v.shift == 5 && (v.operation == "encode-file" || v.operation == "decode-file"))
        .collect();
    assert!(vectors.len() >= 10, "vectors.txt holds file vectors");
    for v in vectors {
        let decode = v.operation == "decode-file";
        let (input, expected) = if decode { (&v.record, &v.text) } else { (&v.text, &v.record) };
        for (form, got) in every_form(decode, input) {
            assert_eq!(got, *expected, "vectors.txt line {} through {}", v.source_line, form);
        }
    }
}

#[test]
fn empty_input_gives_nothing() {
    for decode in [false, true] {
        for (form, got) in every_form(decode, b"") {
            assert!(got.is_empty(), "{} of nothing through {}", if decode { "decoding" } else { "encoding" }, form);
        }
    }
}
