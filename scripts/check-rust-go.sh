#!/usr/bin/env bash
# The Rust crate (bindings/rust) and the Go module (bindings/go) as users
# build them, offline:
#   - the library and the tool built with CMake and installed into a
#     temporary prefix, which pkg-config finds through PKG_CONFIG_PATH;
#   - Rust: cargo build and cargo test --offline, linking the static library
#     that the crate's build script builds with CMake (the tests compare
#     with the tool, run the README's Rust example and the doc examples),
#     then the tests again against the installed library (pkg-config);
#     the speed example and the documentation are built;
#   - Go: gofmt, go vet and go test ./... over the installed library
#     (the tests compare with the tool and run the README's Go example).
#
#   scripts/check-rust-go.sh [BUILD_DIR]     (default: build-check-rust-go)
#
# Needs cmake, a C++ compiler and pkg-config, cargo (rustup's, or Debian's
# cargo) and Debian's golang-go (scripts/check.sh installs it).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$(mkdir -p "${1:-$repo/build-check-rust-go}" && cd "${1:-$repo/build-check-rust-go}" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

. "$repo/scripts/lib.sh"

PATH=$PATH:$HOME/.cargo/bin
command -v cargo >/dev/null || die "no cargo (install rustup's toolchain or Debian's cargo)"
command -v go >/dev/null || die "no go (Debian's golang-go)"

step "the library and the tool, installed into $top/prefix"
rm -rf "$top/prefix"
cmake -S "$repo" -B "$top/build" -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$top/build" -j"$jobs" >/dev/null
cmake --install "$top/build" --prefix "$top/prefix" >/dev/null
libdir=$(dirname "$(find "$top/prefix" -name qelcode.pc | head -n 1)")/..
export PKG_CONFIG_PATH=$(cd "$libdir/pkgconfig" && pwd)
export LD_LIBRARY_PATH=$(cd "$libdir" && pwd)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
pkg-config --exists qelcode || die "pkg-config does not find the installed qelcode"
export QELCODE_TOOL=$top/build/cli/qelcode QELCODE_REQUIRE_TOOL=1
[ -x "$QELCODE_TOOL" ] || die "no tool at $QELCODE_TOOL"

step "Rust: cargo build and cargo test --offline, the static library built by the crate"
export CARGO_TARGET_DIR=$top/rust-target CARGO_BUILD_JOBS=$jobs
(cd "$repo/bindings/rust" &&
    cargo build --offline --all-targets &&
    cargo test --offline &&
    RUSTDOCFLAGS="-D warnings" cargo doc --offline --no-deps)

step "Rust: cargo test --offline against the installed library (pkg-config)"
(cd "$repo/bindings/rust" && QELCODE_USE_PKG_CONFIG=1 CARGO_TARGET_DIR=$top/rust-target-pc cargo test --offline --tests)

step "Go: gofmt, go vet, go test ./... over the installed library"
export GOFLAGS=-mod=mod GOPROXY=off GOCACHE=$top/go-cache GOPATH=$top/go-path
(cd "$repo/bindings/go" &&
    unformatted=$(gofmt -l .) && { [ -z "$unformatted" ] || die "not gofmt'd: $unformatted"; } &&
    go vet ./... &&
    go test -count=1 ./... &&
    go build -o "$top/go-bench" ./bench)

step "rust-go checks passed"
