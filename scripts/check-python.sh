#!/usr/bin/env bash
# The Python package as a user gets it: builds the sdist and the platform
# wheel offline (python3 -m build --no-isolation, the wheel carrying the
# library built by CMake), installs the wheel into a fresh virtual
# environment with pip install --no-index, and runs the Python tests there,
# away from the source tree. Then the same for the wheel built without the
# library (QELCODE_BUNDLE=0), which uses the one QELCODE_LIBRARY names.
#
#   scripts/check-python.sh [BUILD_DIR]     (default: build-check-python)
#
# Needs Debian's python3-build, python3-wheel, python3-setuptools,
# python3-venv, mypy, and for qelcode.dask python3-dask and
# python3-distributed (scripts/check.sh installs them); uses /usr/bin/python3,
# which has them, whatever python3 comes first on PATH.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$(mkdir -p "${1:-$repo/build-check-python}" && cd "${1:-$repo/build-check-python}" && pwd)
python=/usr/bin/python3
selector=2  # the default QEL_STEP_SELECTOR, which the wheel's library is built with

. "$repo/scripts/lib.sh"

rm -rf "$top/dist" "$top/dist-pure" "$top/venv" "$top/venv-pure" "$top/venv-dask" "$top/run"
mkdir -p "$top/run"
# Nothing from the source tree or the caller's setting may be picked up.
unset PYTHONPATH QELCODE_LIBRARY
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}

step "building the sdist and the wheel (python3 -m build --no-isolation)"
(cd "$repo/bindings/python" && "$python" -m build --no-isolation --outdir "$top/dist" >"$top/build.log" 2>&1) ||
    { tail -n 40 "$top/build.log"; die "the build failed (log: $top/build.log)"; }
wheel=$(find "$top/dist" -name 'qelcode-*-py3-none-linux_*.whl')
[ -n "$wheel" ] || die "no platform wheel in $top/dist: $(ls "$top/dist")"
contents=$("$python" -m zipfile -l "$wheel")
for f in qelcode/__init__.py qelcode/__main__.py qelcode/py.typed qelcode/libqelcode.so.1 qelcode/LICENSE; do
    grep -q " *$f " <<<"$contents" || grep -q "^$f " <<<"$contents" || die "$f is not in $wheel"
done

step "installing $(basename "$wheel") into a fresh venv (pip install --no-index)"
"$python" -m venv "$top/venv"
"$top/venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$wheel"
installed=$("$top/venv/bin/python" -c 'import os, qelcode; print(os.path.dirname(qelcode.__file__))')
case $installed in "$top/venv/"*) ;; *) die "qelcode imports from $installed, not the venv" ;; esac
if ldd "$installed/libqelcode.so.1" | grep -q 'libstdc++'; then die "the bundled library needs libstdc++"; fi

step "Python tests against the installed wheel"
cd "$top/run"  # not the source tree, so that only the installed package can be imported
QELCODE_TEST_INSTALLED=1 "$top/venv/bin/python" "$repo/tests/python/test_qelcode.py" --step-selector "$selector"
QELCODE_TEST_INSTALLED=1 "$top/venv/bin/python" "$repo/tests/python/test_package.py" --step-selector "$selector" \
    --header "$repo/include/qelcode.h"
"$top/venv/bin/python" -m qelcode --version
# The package is typed: mypy finds its hints through py.typed and checks an ordinary use.
mypy --strict --no-incremental --python-executable "$top/venv/bin/python" "$repo/tests/python/typed_use.py"

step "qelcode.dask on a local cluster, in a venv that also sees Debian's dask and distributed"
"$python" -m venv --system-site-packages "$top/venv-dask"
"$top/venv-dask/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$wheel"
"$top/venv-dask/bin/python" -c 'import dask, distributed' ||
    die "dask and distributed are not installed (python3-dask, python3-distributed)"
(cd "$top/run" && "$top/venv-dask/bin/python" "$repo/tests/python/test_dask.py" --step-selector "$selector")

step "the wheel without the library (QELCODE_BUNDLE=0), on the library QELCODE_LIBRARY names"
(cd "$repo/bindings/python" &&
    QELCODE_BUNDLE=0 "$python" -m build --wheel --no-isolation --outdir "$top/dist-pure" >"$top/build-pure.log" 2>&1) ||
    { tail -n 40 "$top/build-pure.log"; die "the build without the library failed"; }
pure=$(find "$top/dist-pure" -name 'qelcode-*-py3-none-any.whl')
[ -n "$pure" ] || die "no pure wheel in $top/dist-pure"
pure_contents=$("$python" -m zipfile -l "$pure")
if grep -q 'libqelcode' <<<"$pure_contents"; then die "$pure carries a library"; fi
"$python" -m venv "$top/venv-pure"
"$top/venv-pure/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$pure"
cp "$installed/libqelcode.so.1" "$top/run/libqelcode.so.1"
QELCODE_LIBRARY="$top/run/libqelcode.so.1" "$top/venv-pure/bin/python" "$repo/tests/python/test_package.py" \
    --step-selector "$selector"

step "python checks passed: $(basename "$wheel"), $(basename "$pure")"
