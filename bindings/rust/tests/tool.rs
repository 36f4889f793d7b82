//! Byte for byte what the command-line tool writes, on real text: the C
//! headers of this system.

mod common;

use std::env;
use std::fs;
use std::io::Write;
use std::path::PathBuf;
use std::process::{Command, Stdio};

/// The tool: QELCODE_TOOL, or the one of the repository's build folder.
fn tool() -> Option<PathBuf> {
    if let Some(path) = env::var_os("QELCODE_TOOL") {
        return Some(PathBuf::from(path));
    }
    let built = common::repo().join("build/cli/qelcode");
    built.exists().then_some(built)
}

fn run_tool(tool: &PathBuf, args: &[&str], input: &[u8]) -> (bool, Vec<u8>) {
    let mut child = Command::new(tool)
        .args(args)
        .stdin(Stdio::piped())
        .stdout(Stdio::piped())
        .stderr(Stdio::null())
        .spawn()
        .expect("the tool runs");
    let mut stdin = child.stdin.take().unwrap();
    let input = input.to_vec();
    let feeder = std::thread::spawn(move || {
        let _ = stdin.write_all(&input);
    });
    let output = child.wait_with_output().unwrap();
    feeder.join().unwrap();
    (output.status.success(), output.stdout)
}

/// The headers of /usr/include, each whole, up to 16 MiB in all.
fn real_text() -> Vec<Vec<u8>> {
    let mut names: Vec<_> = fs::read_dir("/usr/include")
        .expect("/usr/include")
        .flatten()
        .map(|e| e.path())
        .filter(|p| p.extension().map_or(false, |x| x == "h"))
        .collect();
    names.sort();
    let mut files = Vec::new();
    let mut total = 0;
    for name in names {
        let data = fs::read(&name).unwrap();
        total += data.len();
        files.push(data);
        if total > 16 << 20 {
            break;
        }
    }
    assert!(files.len() > 20, "too few headers in /usr/include");
    files
}

#[test]
fn the_same_bytes_as_the_tool() {
    let Some(tool) = tool() else {
        eprintln!("no tool (set QELCODE_TOOL or build the repository into build/): skipped");
        assert!(env::var_os("QELCODE_REQUIRE_TOOL").is_none(), "QELCODE_REQUIRE_TOOL is set but there is no tool");
        return;
    };
    let files = real_text();
    let all: Vec<u8> = files.concat();
    let mut compared = 0;
    for text in files.iter().chain(std::iter::once(&all)) {
        let (encoded_ok, records) = run_tool(&tool, &[], text);
        let ours = qelcode::encode(text);
        assert_eq!(ours.is_ok(), encoded_ok, "the tool and the crate disagree on refusing a file");
        let Ok(ours) = ours else { continue };
        assert!(ours == records, "encoding differs from the tool's");
        let mut encoder = qelcode::Encoder::new(Vec::new());
        for piece in text.chunks(64 * 1024) {
            encoder.write_all(piece).unwrap();
        }
        assert!(encoder.finish().unwrap() == records, "the writer's encoding differs from the tool's");

        let (decoded_ok, text_back) = run_tool(&tool, &["-d"], &records);
        assert!(decoded_ok);
        assert!(qelcode::decode(&records).unwrap() == text_back, "decoding differs from the tool's");
        compared += 1;
    }
    assert!(compared > 10, "too few headers could be encoded");
}
