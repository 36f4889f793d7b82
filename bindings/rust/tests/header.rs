//! The crate's view of the library against the C header.

mod common;

use std::collections::HashMap;
use std::fs;

fn defines() -> HashMap<String, i64> {
    let header = fs::read_to_string(common::repo().join("include/qelcode.h")).expect("qelcode.h");
    let mut defines = HashMap::new();
    for line in header.lines() {
        let mut words = line.split_whitespace();
        if words.next() == Some("#define") {
            if let (Some(name), Some(value)) = (words.next(), words.next()) {
                if let Ok(value) = value.trim_end_matches('u').parse() {
                    defines.insert(name.to_string(), value);
                }
            }
        }
    }
    defines
}

#[test]
fn converter_size_is_the_headers() {
    assert_eq!(qelcode::CONVERTER_SIZE as i64, defines()["QEL_CONVERTER_SIZE"]);
}

#[test]
fn codes_are_the_headers() {
    let defines = defines();
    for (name, value) in [
        ("QEL_RTN_READ_ERROR", qelcode::code::READ_ERROR),
        ("QEL_RTN_WRITE_ERROR", qelcode::code::WRITE_ERROR),
        ("QEL_RTN_SOURCE_ENCODED", qelcode::code::SOURCE_ENCODED),
        ("QEL_RTN_SOURCE_NOT_ENCODED", qelcode::code::SOURCE_NOT_ENCODED),
        ("QEL_RTN_NUL_IN_SOURCE", qelcode::code::NUL_IN_SOURCE),
        ("QEL_RTN_RECORD_DAMAGED", qelcode::code::RECORD_DAMAGED),
    ] {
        assert_eq!(value as i64, defines[name], "{}", name);
    }
}

#[test]
fn the_readme_has_a_rust_example() {
    // The doc tests run it (the build script copies it out of README.md).
    let readme = fs::read_to_string(common::repo().join("README.md")).expect("README.md");
    assert!(readme.contains("<!-- rust-example -->\n```rust\n"), "README.md lost its Rust example");
}
