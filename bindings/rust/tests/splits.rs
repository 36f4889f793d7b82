//! However the input is split, and however small the reads, the writers and
//! readers give byte for byte what one whole-buffer call gives.

mod common;

use std::io::{BufReader, Read, Write};

use common::{mixed_text, random_pieces, Rng};

fn through_writer(decode: bool, pieces: &[&[u8]]) -> Vec<u8> {
    if decode {
        let mut w = qelcode::Decoder::new(Vec::new());
        for piece in pieces {
            w.write_all(piece).unwrap();
        }
        w.finish().unwrap()
    } else {
        let mut w = qelcode::Encoder::new(Vec::new());
        for piece in pieces {
            w.write_all(piece).unwrap();
        }
        w.finish().unwrap()
    }
}

fn through_reader(decode: bool, input: &[u8], rng: &mut Rng) -> Vec<u8> {
    let source = BufReader::with_capacity(1 + rng.below(3000), input);
    let mut reader: Box<dyn Read> = if decode {
        Box::new(qelcode::DecodeReader::new(source))
    } else {
        Box::new(qelcode::EncodeReader::new(source))
    };
    let mut out = Vec::new();
    let mut buf = vec![0u8; 5000];
    loop {
        let most = [1, 10, 600, 5000][rng.below(4)];
        let size = 1 + rng.below(most);
        match reader.read(&mut buf[..size]).unwrap() {
            0 => return out,
            n => out.extend_from_slice(&buf[..n]),
        }
    }
}

#[test]
fn random_splits_give_the_whole_buffer_output() {
    let mut rng = Rng::new(1);
    for round in 0..6 {
        let text = mixed_text(&mut rng, 20_000 + round * 30_000);
        let records = qelcode::encode(&text).unwrap();
        for (decode, input, expected) in [(false, &text, &records), (true, &records, &qelcode::decode(&records).unwrap())] {
            for _ in 0..4 {
                let pieces = random_pieces(&mut rng, input);
                assert!(through_writer(decode, &pieces) == *expected, "round {} through a writer", round);
                assert!(through_reader(decode, input, &mut rng) == *expected, "round {} through a reader", round);
            }
        }
    }
}

#[test]
fn small_slices_fail_and_big_enough_ones_do_not() {
    let text = b"abc\nA\r\n\n~ tilde\n";
    let records = qelcode::encode(text).unwrap();
    let mut room = vec![0u8; records.len()];
    assert_eq!(qelcode::encode_to_slice(text, &mut room).unwrap(), records.len(), "exactly the room needed");
    assert_eq!(room, records);
    for size in 0..records.len() {
        let error = qelcode::encode_to_slice(text, &mut room[..size]).unwrap_err();
        assert_eq!(error.kind(), qelcode::ErrorKind::NoRoom, "{} bytes of room", size);
        assert_eq!(error.code(), qelcode::code::WRITE_ERROR);
    }
}

#[test]
fn a_writer_dropped_without_finish_still_ends_the_input() {
    let mut out = Vec::new();
    {
        let mut encoder = qelcode::Encoder::new(&mut out);
        encoder.write_all(b"A\nHi").unwrap();
    }
    assert_eq!(out, b"!~5(\n\"}5P$\n");
}
