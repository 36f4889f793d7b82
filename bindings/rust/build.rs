//! Links the qelcode C library: by default the static library built here
//! from this repository with CMake; with the `pkg-config` feature or
//! QELCODE_USE_PKG_CONFIG=1, the installed one that `pkg-config qelcode`
//! finds.
//!
//! Also copies the Rust example of the repository's README.md into OUT_DIR,
//! where the crate's doc tests run it as written.

use std::env;
use std::fs;
use std::path::{Path, PathBuf};
use std::process::Command;

fn main() {
    let manifest = PathBuf::from(env::var_os("CARGO_MANIFEST_DIR").expect("CARGO_MANIFEST_DIR"));
    let out = PathBuf::from(env::var_os("OUT_DIR").expect("OUT_DIR"));
    let repo = manifest.join("..").join("..");
    println!("cargo:rerun-if-env-changed=QELCODE_USE_PKG_CONFIG");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");

    let from_pkg_config = env::var_os("CARGO_FEATURE_PKG_CONFIG").is_some()
        || env::var("QELCODE_USE_PKG_CONFIG").map(|v| v == "1").unwrap_or(false);
    if from_pkg_config {
        link_installed();
    } else {
        build_static(&repo, &out);
    }
    copy_readme_example(&repo, &out);
}

fn run(command: &mut Command) -> Vec<u8> {
    let shown = format!("{:?}", command);
    let output = command
        .output()
        .unwrap_or_else(|e| panic!("can't run {}: {}", shown, e));
    if !output.status.success() {
        panic!(
            "{} failed ({}):\n{}\n{}",
            shown,
            output.status,
            String::from_utf8_lossy(&output.stdout),
            String::from_utf8_lossy(&output.stderr)
        );
    }
    output.stdout
}

/// The flags of `pkg-config --libs qelcode`, as cargo link directives.
fn link_installed() {
    let libs = run(Command::new("pkg-config").args(["--libs", "qelcode"]));
    let libs = String::from_utf8(libs).expect("pkg-config printed something other than UTF-8");
    let mut linked = false;
    for flag in libs.split_whitespace() {
        if let Some(dir) = flag.strip_prefix("-L") {
            println!("cargo:rustc-link-search=native={}", dir);
        } else if let Some(name) = flag.strip_prefix("-l") {
            println!("cargo:rustc-link-lib={}", name);
            linked |= name == "qelcode";
        }
    }
    assert!(linked, "pkg-config --libs qelcode names no -lqelcode: {}", libs);
}

/// Builds libqelcode.a alone (no tests, no tool) in OUT_DIR with CMake.
fn build_static(repo: &Path, out: &Path) {
    for part in ["CMakeLists.txt", "src", "include", "cmake"] {
        println!("cargo:rerun-if-changed={}", repo.join(part).display());
    }
    let build = out.join("cmake-build");
    let mut configure = Command::new("cmake");
    configure
        .arg("-S")
        .arg(repo)
        .arg("-B")
        .arg(&build)
        .args([
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_SHARED_LIBS=OFF",
            "-DQEL_BUILD_TESTS=OFF",
            "-DQEL_BUILD_TOOL=OFF",
            "-DCMAKE_POSITION_INDEPENDENT_CODE=ON",
        ]);
    run(&mut configure);
    let jobs = env::var("NUM_JOBS").unwrap_or_else(|_| "2".to_string());
    run(Command::new("cmake")
        .arg("--build")
        .arg(&build)
        .args(["--target", "qelcode", "-j", &jobs]));
    let library = find_file(&build, "libqelcode.a")
        .unwrap_or_else(|| panic!("no libqelcode.a under {}", build.display()));
    println!(
        "cargo:rustc-link-search=native={}",
        library.parent().expect("a file has a folder").display()
    );
    println!("cargo:rustc-link-lib=static=qelcode");
}

fn find_file(dir: &Path, name: &str) -> Option<PathBuf> {
    for entry in fs::read_dir(dir).ok()?.flatten() {
        let path = entry.path();
        if path.is_dir() {
            if let Some(found) = find_file(&path, name) {
                return Some(found);
            }
        } else if path.file_name().map_or(false, |n| n == name) {
            return Some(path);
        }
    }
    None
}

/// README.md's block after `<!-- rust-example -->`, as a Markdown file that
/// the crate includes as the documentation of an item only doc tests see.
fn copy_readme_example(repo: &Path, out: &Path) {
    let readme = repo.join("README.md");
    println!("cargo:rerun-if-changed={}", readme.display());
    let text = fs::read_to_string(&readme).unwrap_or_default();
    let block = text
        .split_once("<!-- rust-example -->\n```rust\n")
        .and_then(|(_, rest)| rest.split_once("```\n"))
        .map(|(block, _)| block);
    let doc = match block {
        Some(block) => format!("```rust\n{}```\n", block),
        // Outside the repository (a packaged crate) there is no README example to run.
        None => String::new(),
    };
    fs::write(out.join("readme_example.md"), doc).expect("can't write readme_example.md");
}
