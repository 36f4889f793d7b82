"""The first command of the README, as a newcomer runs it: the tool part of
the set-up line (what follows the two cmake calls), taken from the README
as it stands and run by the shell in the source tree, with build/cli/qelcode
standing for the tool under test. It must succeed and print the records of
the file it names, then, decoded, the file's text."""
import os
import re
import shlex
import subprocess
import unittest

from harness import config, model


def first_command():
    """The first line of the first sh block under "## Set-up"."""
    with open(os.path.join(config.source_dir, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split("\n## Set-up\n", 1)[1]
    block = section.split("```sh\n", 1)[1].split("```", 1)[0]
    return block.splitlines()[0]


class ReadmeFirstCommandTest(unittest.TestCase):
    def test_the_first_command_succeeds_and_shows_a_round_trip(self):
        parts = first_command().split(" && ")
        self.assertEqual([p.split()[0] for p in parts[:2]], ["cmake", "cmake"], parts)
        tool_part = " && ".join(parts[2:])
        self.assertIn("build/cli/qelcode", tool_part)
        tool = " ".join(shlex.quote(a) for a in config.emulator + [config.tool])
        script = tool_part.replace("build/cli/qelcode", tool)
        run = subprocess.run(["sh", "-c", script], cwd=config.source_dir, capture_output=True,
                             timeout=config.timeout)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        self.assertEqual(run.stderr, b"")
        # The file the command encodes, and what the model makes of it.
        names = re.findall(r"build/cli/qelcode (\S+)", tool_part)
        self.assertTrue(names)
        with open(os.path.join(config.source_dir, names[0]), "rb") as f:
            text = f.read()
        encoded = model.encode_stream(text, 0, config.shift)
        self.assertEqual(encoded.status, model.SUCCESSFUL)
        back = model.decode_stream(encoded.out).out
        self.assertEqual(back, text, "the sample comes back whole")
        self.assertEqual(run.stdout, encoded.out + back)


if __name__ == "__main__":
    unittest.main()
