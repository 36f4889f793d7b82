"""What the tests of the qelcode command-line tool share: the tool's
configuration, expected records from the format's reference model, running
the tool, and the base class of every test.

cli_test.py sets `config` from its command line before any test runs.
"""
import os
import subprocess
import sys
import tempfile
import types
import unittest

# Set by cli_test.py: the tool, the same tool built to write -o through a
# named temporary file, what runs a cross-built tool (an emulator and its
# arguments), the source tree, and the build's shift increment.
config = types.SimpleNamespace(
    tool="",
    named_temp_tool="",
    emulator=[],
    source_dir="",
    shift=0,
    timeout=60,  # seconds; no run of the tool should come near it
)

HINT = b"qelcode: --force encodes lines that already carry the encoded mark\n"


# --- expected records, from the format's reference model ----------------------

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reference"))
import qel_model as model  # noqa: E402


def encode_text(text, s=None):
    """The record of one line's text (line end already removed), by default
    in this build's shift."""
    return model.encode_text(text, config.shift if s is None else s)


def encode_file(data):
    """The records of a whole file, every line encoded (--force)."""
    return model.encode_stream(data, model.FORCE, config.shift).out


def decoded_file(data):
    """What decoding the encoded data gives back: tildes come back as spaces."""
    return model.decode_stream(encode_file(data)).out


# --- running the tool -------------------------------------------------------

def run(args, stdin=b"", cwd=None, stdout=subprocess.PIPE, preexec_fn=None, tool=None, as_user=()):
    """Runs the tool (or tool); as_user is a command prefix such as setpriv's."""
    return subprocess.run(list(as_user) + command(tool) + args, input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, cwd=cwd, timeout=config.timeout, preexec_fn=preexec_fn)


def command(tool=None):
    """The command line that runs the tool (or tool), through the emulator if any."""
    return config.emulator + [tool or config.tool]


def both_tools():
    """The tool writing -o through an unnamed temporary file, and through a named one."""
    return [("unnamed temporary", config.tool), ("named temporary", config.named_temp_tool)]


def repository_files():
    """The repository's own text files, skipping build trees and dot folders."""
    found = []
    for root, dirs, files in os.walk(config.source_dir):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not d.startswith("build") and d != "out")
        for name in sorted(files):
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            if data and b"\0" not in data:
                found.append((path, data))
    return found


class ToolTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="qelcode-cli-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, data, mode=None):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        if mode is not None:
            os.chmod(path, mode)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def assertRun(self, result, code, stdout=None, stderr=b""):
        self.assertEqual(result.returncode, code, result.stderr)
        if stdout is not None:
            self.assertEqual(result.stdout, stdout)
        if stderr is not None:
            self.assertEqual(result.stderr, stderr)

# Runs a command as user nobody, group nogroup, with no other groups.
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
