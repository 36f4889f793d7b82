//! Speed of the crate against the C library called directly, on 100 MiB of
//! real text (the C headers of this system, over and over):
//!
//!   cargo run --release --example bench [MIB]
//!
//! Prints the best of seven runs, taken in turn, of: one QEL_EncodeBuffer
//! call into fresh memory; qelcode::encode; an Encoder fed 64 KiB pieces,
//! writing into a Vec and into a writer that drops it; an EncodeReader read
//! in 64 KiB pieces, kept or dropped; and their ratios to the C call.

use std::fs;
use std::hint::black_box;
use std::io::{Read, Write};
use std::os::raw::c_char;
use std::time::{Duration, Instant};

extern "C" {
    fn QEL_EncodeBuffer(
        dest: *mut c_char,
        dest_size: usize,
        produced: *mut usize,
        src: *const c_char,
        src_size: usize,
        consumed: *mut usize,
        flags: u32,
        status: *mut i32,
    ) -> i32;
}

const LAST: u32 = 2;
const PIECE: usize = 64 * 1024;

fn real_text(size: usize) -> Vec<u8> {
    let mut names: Vec<_> = fs::read_dir("/usr/include")
        .expect("/usr/include")
        .flatten()
        .map(|e| e.path())
        .filter(|p| p.extension().map_or(false, |x| x == "h"))
        .collect();
    names.sort();
    let mut text = Vec::with_capacity(size);
    'fill: loop {
        for name in &names {
            let data = fs::read(name).unwrap();
            // Only files the encoder takes whole (no marked line, no NUL).
            if qelcode::encode(&data).is_err() {
                continue;
            }
            if text.len() + data.len() > size {
                break 'fill;
            }
            text.extend_from_slice(&data);
        }
    }
    text
}

fn c_call(text: &[u8]) -> usize {
    let room = qelcode::encode_bound(text.len());
    let mut out: Vec<u8> = Vec::with_capacity(room);
    let (mut produced, mut consumed, mut status) = (0usize, 0usize, 1i32);
    // SAFETY: out has room for `room` bytes, text is read-only input of
    // text.len() bytes, and the pointers to the results are live locals.
    let ok = unsafe {
        QEL_EncodeBuffer(
            out.as_mut_ptr().cast(),
            room,
            &mut produced,
            text.as_ptr().cast(),
            text.len(),
            &mut consumed,
            LAST,
            &mut status,
        )
    };
    assert!(ok == 1 && consumed == text.len(), "the C call failed: {}", status);
    // SAFETY: the library wrote `produced` bytes (at most `room`) into out.
    unsafe { out.set_len(produced) };
    black_box(out).len()
}

fn crate_call(text: &[u8]) -> usize {
    black_box(qelcode::encode(text).unwrap()).len()
}

fn writer(text: &[u8]) -> usize {
    let mut encoder = qelcode::Encoder::new(Vec::with_capacity(qelcode::encode_bound(text.len())));
    for piece in text.chunks(PIECE) {
        encoder.write_all(piece).unwrap();
    }
    black_box(encoder.finish().unwrap()).len()
}

/// A writer that drops what it is given and counts it.
struct Counter(usize);

impl Write for Counter {
    fn write(&mut self, buf: &[u8]) -> std::io::Result<usize> {
        self.0 += buf.len();
        Ok(buf.len())
    }
    fn flush(&mut self) -> std::io::Result<()> {
        Ok(())
    }
}

fn writer_dropped(text: &[u8]) -> usize {
    let mut encoder = qelcode::Encoder::new(Counter(0));
    for piece in text.chunks(PIECE) {
        encoder.write_all(piece).unwrap();
    }
    encoder.finish().unwrap().0
}

fn reader(text: &[u8]) -> usize {
    read_from(text, true)
}

fn reader_dropped(text: &[u8]) -> usize {
    read_from(text, false)
}

fn read_from(text: &[u8], keep: bool) -> usize {
    let mut reader = qelcode::EncodeReader::new(std::io::BufReader::with_capacity(PIECE, text));
    let mut out = Vec::with_capacity(if keep { qelcode::encode_bound(text.len()) } else { 0 });
    let mut buf = vec![0u8; PIECE];
    let mut total = 0;
    loop {
        match reader.read(&mut buf).unwrap() {
            0 => break,
            n => {
                total += n;
                if keep {
                    out.extend_from_slice(&buf[..n]);
                }
            }
        }
    }
    black_box(out);
    total
}

fn main() {
    let mib: usize = std::env::args().nth(1).map_or(100, |a| a.parse().expect("MIB: a number"));
    let text = real_text(mib << 20);
    println!("input: {:.1} MiB of /usr/include/*.h", text.len() as f64 / (1 << 20) as f64);
    let benches: [(&str, fn(&[u8]) -> usize, f64); 6] = [
        ("C QEL_EncodeBuffer, fresh memory", c_call, 0.0),
        ("qelcode::encode", crate_call, 1.1),
        ("Encoder, 64 KiB writes", writer, 1.3),
        ("Encoder, 64 KiB writes, output dropped", writer_dropped, 1.3),
        ("EncodeReader, 64 KiB reads", reader, 1.3),
        ("EncodeReader, output dropped", reader_dropped, 1.3),
    ];
    let c_size = c_call(&text);
    // Rounds in turn, the best of each kept, so that a busy moment of a
    // shared machine weighs on all of them alike.
    let mut best = [Duration::MAX; 6];
    for _ in 0..7 {
        for (i, (name, f, _)) in benches.iter().enumerate() {
            let start = Instant::now();
            let size = f(&text);
            best[i] = best[i].min(start.elapsed());
            assert_eq!(size, c_size, "{} wrote another size", name);
        }
    }
    let rate = |d: Duration| text.len() as f64 / d.as_secs_f64() / (1 << 20) as f64;
    for (i, (name, _, goal)) in benches.iter().enumerate() {
        print!("{:<40} {:>8.1} ms {:>8.0} MiB/s", name, best[i].as_secs_f64() * 1e3, rate(best[i]));
        if i > 0 {
            print!("  {:.2} x the C call (goal {:.1})", best[i].as_secs_f64() / best[0].as_secs_f64(), goal);
        }
        println!();
    }
}
