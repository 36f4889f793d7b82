"""-o: nothing reaches the output file before the input is converted whole;
then it is replaced whole where that widens nothing, else written as the
shell's "> FILE" writes it. Modes, owners, ACLs, flags, links, devices,
standard output, signals, other users and sticky directories.
"""
import contextlib
import grp
import os
import pwd
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import time

from harness import config, encode_text, run, command, both_tools, ToolTest, AS_NOBODY


# ACL entry tags of the stored form of an ACL, and the id of the entries
# that have none.
ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_MASK, ACL_OTHER = 0x01, 0x02, 0x04, 0x10, 0x20
NO_ID = 0xFFFFFFFF


def acl_xattr(entries):
    """An ACL in its stored form (system.posix_acl_*): a version, then
    (tag, permissions, id) entries in tag order."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, ident) for tag, perm, ident in entries)


def access_acl(path):
    """The file's access ACL in stored form, or None."""
    try:
        return os.getxattr(path, "system.posix_acl_access")
    except OSError:
        return None


@contextlib.contextmanager
def sysctl(test, name, value):
    """Sets the kernel setting name (fs.protected_regular) to value for the
    block and puts the old value back; skips the test where it can't be set."""
    path = "/proc/sys/" + name.replace(".", "/")
    try:
        with open(path) as f:
            old = f.read().strip()
        with open(path, "w") as f:
            f.write(value)
    except OSError as e:
        test.skipTest("can't set %s here (%s); needs root outside a container's read-only /proc/sys"
                      % (name, e.strerror))
    try:
        yield
    finally:
        with open(path, "w") as f:
            f.write(old)


def no_core_dump():
    """For a tool stopped by a signal whose default also dumps core."""
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def inode_flags(path):
    """The file's flags as lsattr shows them ("-----d--------e-----"), or None."""
    result = subprocess.run(["lsattr", "-d", path], capture_output=True, timeout=config.timeout)
    return result.stdout.split()[0].decode() if result.returncode == 0 else None


class OutputFileTest(ToolTest):
    def assertOnly(self, *names, directory=None):
        self.assertEqual(sorted(os.listdir(directory or self.dir)), sorted(names))

    def clear(self):
        """Empties the test's directory between the cases of a table."""
        for name in os.listdir(self.dir):
            path = os.path.join(self.dir, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)

    def wait_until_writing(self, proc, directory=None):
        """Waits until proc holds a file in directory open: its output, named or not."""
        directory = directory or self.dir
        fds = "/proc/%d/fd" % proc.pid
        deadline = time.monotonic() + config.timeout
        while time.monotonic() < deadline:
            for fd in os.listdir(fds):
                try:
                    if os.readlink(os.path.join(fds, fd)).startswith(directory + "/"):
                        return
                except OSError:
                    pass
            time.sleep(0.01)
        self.fail("the tool never opened its output")

    def test_failure_leaves_existing_file_untouched(self):
        old = b"precious old content\n" * 1000
        cases = [
            ("marked line after many", [], b"line\n" * 3000 + b"OPEN\n"),
            ("damaged record", ["-d"], encode_text(b"good") * 3000 + b"!~5xx\n"),
            ("plain text to decode", ["-d"], b"plain\n"),
        ]
        for tool_name, tool in both_tools():
            for name, args, content in cases:
                with self.subTest(name, tool=tool_name):
                    out = self.write("out", old, 0o640)
                    src = self.write("src", content)
                    before = os.stat(out)
                    result = run(args + ["-o", out, src], tool=tool)
                    self.assertEqual(result.returncode, 1)
                    self.assertEqual(result.stdout, b"")
                    self.assertEqual(self.read(out), old)
                    after = os.stat(out)
                    self.assertEqual((after.st_ino, after.st_mode, after.st_mtime_ns),
                                     (before.st_ino, before.st_mode, before.st_mtime_ns))
                    self.assertOnly("out", "src")

    def test_failure_creates_no_file(self):
        out = os.path.join(self.dir, "out")
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.assertEqual(run(["-o", out], b"ok\nOPEN\n", tool=tool).returncode, 1)
                self.assertOnly()

    def test_success_replaces_file_and_keeps_its_mode(self):
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                out = self.write("out", b"old content that is longer than the new one\n" * 50, 0o604)
                data = b"new\ncontent\n"
                self.assertRun(run(["-o", out], data, tool=tool), 0, b"")
                self.assertEqual(self.read(out), encode_text(b"new") + encode_text(b"content"))
                self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o604)
                self.assertOnly("out")
                # decoding over the same name
                src = self.write("enc", self.read(out))
                self.assertRun(run(["-d", src, "-o", out], tool=tool), 0, b"")
                self.assertEqual(self.read(out), data)
                self.assertOnly("out", "enc")

    def test_empty_input_gives_an_empty_file(self):
        for tool_name, tool in both_tools():
            for existing in [True, False]:
                with self.subTest(tool=tool_name, existing=existing):
                    self.clear()
                    out = os.path.join(self.dir, "out")
                    if existing:
                        self.write("out", b"old content\n", 0o640)
                    self.assertRun(run(["-o", out], b"", tool=tool), 0, b"")
                    self.assertEqual(self.read(out), b"")
                    if existing:
                        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
                    self.assertOnly("out")

    def test_path_near_the_longest_a_path_may_be(self):
        # The longest path there may be: the tool names the temporary file
        # relative to its directory, not by a longer path of its own.
        longest = os.pathconf(self.dir, "PC_PATH_MAX") - 1  # less the NUL
        path = self.dir
        while longest - len(path) > 220:
            path = os.path.join(path, "d" * 200)
        path = os.path.join(path, "d" * (longest - len(path) - 7))  # leaves room for "/out.x"
        os.makedirs(path)
        out = os.path.join(path, "out.x")
        self.assertEqual(len(out), longest)
        for tool_name, tool in both_tools():
            for existing in [False, True]:
                with self.subTest(tool=tool_name, existing=existing):
                    if existing:
                        with open(out, "wb") as f:
                            f.write(b"old\n")
                    elif os.path.exists(out):
                        os.unlink(out)
                    self.assertRun(run(["-o", out], b"deep\n", tool=tool), 0, b"", b"")
                    self.assertEqual(self.read(out), encode_text(b"deep"))
                    self.assertEqual(os.listdir(path), [os.path.basename(out)])

    def test_new_file_takes_the_umask(self):
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                out = os.path.join(self.dir, "new")
                self.assertRun(run(["-o", out], b"x\n", preexec_fn=lambda: os.umask(0o027), tool=tool), 0, b"")
                self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
                self.assertEqual(self.read(out), encode_text(b"x"))
                self.assertOnly("new")

    def test_output_naming_the_input_is_refused(self):
        content = b"some text\n"
        src = self.write("src", content)
        os.link(src, os.path.join(self.dir, "hard"))
        os.symlink("src", os.path.join(self.dir, "soft"))
        cases = [
            ("same name", ["-o", src, src], src),
            ("other spelling", ["-o", os.path.join(self.dir, ".", "src"), src],
             os.path.join(self.dir, ".", "src")),
            ("hard link", ["-o", os.path.join(self.dir, "hard"), src], os.path.join(self.dir, "hard")),
            ("symbolic link", ["-o", os.path.join(self.dir, "soft"), src], os.path.join(self.dir, "soft")),
        ]
        for name, args, shown in cases:
            with self.subTest(name):
                self.assertRun(run(args), 1, b"", b"qelcode: %s: output file is the input file\n" % shown.encode())
                self.assertEqual(self.read(src), content)
                self.assertOnly("src", "hard", "soft")
        # standard input that is the output file
        with open(src, "rb") as f:
            result = subprocess.run(command() + ["-o", src], stdin=f, capture_output=True, timeout=config.timeout)
        self.assertRun(result, 1, b"", b"qelcode: %s: output file is the input file\n" % src.encode())
        # standard output appending to the input file, named or as "-o -"
        for args in [[src], [src, "-o", "-"]]:
            with self.subTest(args=args):
                with open(src, "ab") as f:
                    result = subprocess.run(command() + args, stdout=f, stderr=subprocess.PIPE, timeout=config.timeout)
                self.assertRun(result, 1, None, b"qelcode: (stdout): output file is the input file\n")
                self.assertEqual(self.read(src), content)

    def test_symbolic_links_are_followed(self):
        # -o writes where "> LINK" would: to the file the link leads to, which
        # keeps its mode, or is created; the links stay as they were.
        data = b"through links\n"
        cases = [
            # name, links (name, what it holds), whether sub/target exists
            ("relative link", [("out", "sub/target")], True),
            ("absolute link", [("out", os.path.join(self.dir, "sub", "target"))], True),
            ("chain of links", [("out", "sub/second"), ("sub/second", "target")], True),
            ("dangling link", [("out", "sub/target")], False),
        ]
        for tool_name, tool in both_tools():
            for name, links, exists in cases:
                with self.subTest(name, tool=tool_name):
                    self.clear()
                    os.mkdir(os.path.join(self.dir, "sub"))
                    target = os.path.join(self.dir, "sub", "target")
                    if exists:
                        self.write("sub/target", b"old content, longer than the new\n" * 20, 0o640)
                    for link, value in links:
                        os.symlink(value, os.path.join(self.dir, link))
                    self.assertRun(run(["-o", os.path.join(self.dir, "out")], data, tool=tool), 0, b"")
                    self.assertEqual(self.read(target), encode_text(b"through links"))
                    if exists:
                        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o640)
                    for link, value in links:
                        self.assertEqual(os.readlink(os.path.join(self.dir, link)), value)
                    self.assertOnly("out", "sub")
                    self.assertOnly("target", *[os.path.basename(l) for l, _ in links[1:]],
                                    directory=os.path.join(self.dir, "sub"))

    def test_standard_output_as_the_output_file(self):
        data = b"to standard output\n"
        expected = encode_text(b"to standard output")
        for tool_name, tool in both_tools():
            with self.subTest("a link to /proc/self/fd/1, standard output a file", tool=tool_name):
                self.clear()
                link = os.path.join(self.dir, "link")
                os.symlink("/proc/self/fd/1", link)
                cap = self.write("cap", b"old content, longer than the record\n" * 10)
                # opened without truncating: the tool truncates it, as "> link" would
                ino = os.stat(cap).st_ino
                fd = os.open(cap, os.O_WRONLY)
                try:
                    result = run(["-o", link], data, stdout=fd, tool=tool)
                finally:
                    os.close(fd)
                self.assertRun(result, 0, None, b"")
                self.assertEqual(self.read(cap), expected)
                # the same file still: the caller's descriptor leads to what was written
                self.assertEqual(os.stat(cap).st_ino, ino)
                self.assertEqual(os.readlink(link), "/proc/self/fd/1")
                self.assertOnly("link", "cap")
            # /dev/fd/1 rather than /dev/stdout: an error here can't replace
            # anything in /dev (/dev/stdout is tried as another user below).
            for args in [["-o", "/dev/fd/1"], ["-o", "-"], ["--output=-"]]:
                with self.subTest(args=args, tool=tool_name):
                    self.clear()
                    self.assertRun(run(args, data, cwd=self.dir, tool=tool), 0, expected)
                    self.assertOnly()

    def test_dev_stdout_as_root(self):
        # /dev/stdout itself, in a private mount namespace with a /dev of its
        # own, so that a fault can replace nothing of the machine's.
        script = ('mount -t tmpfs none /dev && ln -s /proc/self/fd/1 /dev/stdout && "$@" -o /dev/stdout '
                  '&& if [ -L /dev/stdout ]; then echo link kept >&2; fi')
        probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs none /dev"],
                               capture_output=True, timeout=config.timeout)
        if probe.returncode != 0:
            self.skipTest("needs root and a private mount namespace (unshare -m): %s" % probe.stderr.decode().strip())
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                cap = self.write("cap", b"old content, longer than the record\n" * 10)
                ino = os.stat(cap).st_ino
                fd = os.open(cap, os.O_WRONLY)
                try:
                    result = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh"] + command(tool),
                                            input=b"to /dev/stdout\n",
                                            stdout=fd, stderr=subprocess.PIPE, timeout=config.timeout)
                finally:
                    os.close(fd)
                self.assertRun(result, 0, None, b"link kept\n")
                self.assertEqual(self.read(cap), encode_text(b"to /dev/stdout"))
                self.assertEqual(os.stat(cap).st_ino, ino)

    def test_device_is_written_in_place(self):
        dev = os.path.join(self.dir, "null")
        try:
            os.mknod(dev, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except OSError as e:
            self.skipTest("can't make a device node (%s); needs root" % e.strerror)
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.assertRun(run(["-o", dev], b"into the device\n", tool=tool), 0, b"")
                self.assertTrue(stat.S_ISCHR(os.stat(dev).st_mode))
                self.assertOnly("null")

    def test_output_to_a_pipe_is_written_directly(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        with subprocess.Popen(command() + ["-o", fifo], stdin=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            proc.stdin.write(b"through a pipe\n")
            proc.stdin.close()
            with open(fifo, "rb") as f:
                got = f.read()
            self.assertEqual(proc.wait(timeout=config.timeout), 0, proc.stderr.read())
        self.assertEqual(got, encode_text(b"through a pipe"))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        self.assertOnly("fifo")

    def test_hard_linked_file_is_written_in_place(self):
        # Replacing it would leave the other names with the old content:
        # every name sees the new one, as after "> FILE".
        for tool_name, tool in both_tools():
            for others in [1, 2]:
                with self.subTest(tool=tool_name, others=others):
                    self.clear()
                    out = self.write("out", b"old content, longer than the new\n" * 10)
                    links = [os.path.join(self.dir, "link%d" % i) for i in range(others)]
                    for link in links:
                        os.link(out, link)
                    ino = os.stat(out).st_ino
                    self.assertRun(run(["-o", out], b"new\n", tool=tool), 0, b"", b"")
                    for name in [out] + links:
                        self.assertEqual(self.read(name), encode_text(b"new"))
                        self.assertEqual(os.stat(name).st_ino, ino)
                    self.assertOnly("out", *[os.path.basename(link) for link in links])

    def test_stopped_by_a_signal_leaves_no_temporary_file(self):
        # SIGKILL can't be caught: only an unnamed temporary file is sure to go then.
        caught = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGPIPE, signal.SIGUSR1, signal.SIGALRM,
                  signal.SIGPWR, signal.SIGSYS, signal.SIGRTMIN + 2]
        if hasattr(signal, "SIGSTKFLT"):
            caught.append(signal.SIGSTKFLT)
        try:
            os.close(os.open(self.dir, os.O_TMPFILE | os.O_WRONLY, 0o600))
            unnamed = True
        except OSError:
            unnamed = False  # the tool falls back to a named file
        for tool_name, tool in both_tools():
            signals = caught + ([signal.SIGKILL] if tool == config.tool else [])
            for sig in signals:
                for existing in [True, False]:
                    with self.subTest(tool=tool_name, signal=signal.strsignal(sig), existing=existing):
                        if sig == signal.SIGKILL and not unnamed:
                            self.skipTest("the file system of %s refuses unnamed temporary files" % self.dir)
                        self.clear()
                        out = os.path.join(self.dir, "out")
                        if existing:
                            self.write("out", b"old\n")
                        with subprocess.Popen(command(tool) + ["-o", out], stdin=subprocess.PIPE,
                                              stderr=subprocess.PIPE, preexec_fn=no_core_dump) as proc:
                            proc.stdin.write(b"a first line\n")
                            proc.stdin.flush()
                            self.wait_until_writing(proc)
                            proc.send_signal(sig)
                            self.assertEqual(proc.wait(timeout=config.timeout), -sig)
                            proc.stdin.close()
                        if existing:
                            self.assertEqual(self.read(out), b"old\n")
                            self.assertOnly("out")
                        else:
                            self.assertOnly()

    def test_ignored_signals_stay_ignored(self):
        # As under nohup, or in a shell's background job: the work goes on.
        if config.emulator:
            # A user-mode emulator catches every signal itself, and a read it
            # was in can then fail with EINTR although the tool ignores the
            # signal; no kernel does that for an ignored signal.
            self.skipTest("signals reach the emulator, not the tool")
        ignored = [signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGUSR1, signal.SIGALRM]

        def ignore():
            for sig in ignored:
                signal.signal(sig, signal.SIG_IGN)

        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                out = self.write("out", b"old\n")
                with subprocess.Popen(command(tool) + ["-o", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                      preexec_fn=ignore) as proc:
                    proc.stdin.write(b"first\n")
                    proc.stdin.flush()
                    self.wait_until_writing(proc)
                    for sig in ignored:
                        proc.send_signal(sig)
                    proc.stdin.write(b"second\n")
                    proc.stdin.close()
                    self.assertEqual(proc.wait(timeout=config.timeout), 0)
                    self.assertEqual(proc.stderr.read(), b"")
                self.assertEqual(self.read(out), encode_text(b"first") + encode_text(b"second"))
                self.assertOnly("out")

    def test_owner_group_mode_and_acl_are_kept(self):
        # A file of the user's own is replaced whole and takes the old
        # file's group, mode and ACL; another user's is written in place,
        # as "> FILE" writes it, and so keeps all it has.
        if os.geteuid() != 0:
            self.skipTest("needs root to give the file another owner")
        acl = acl_xattr([
            (ACL_USER_OBJ, 6, NO_ID),   # owner rw-
            (ACL_USER, 4, 4322),        # user 4322 r--
            (ACL_GROUP_OBJ, 4, NO_ID),  # owning group r--
            (ACL_MASK, 4, NO_ID),       # mask r--
            (ACL_OTHER, 0, NO_ID),      # others ---
        ])
        cases = [
            # name, owner, group, mode, whether replaced whole
            ("own file", 0, 8765, 0o640, True),
            ("another user's file", 4321, 8765, 0o640, False),
            ("another user's set-group-ID file", 4321, 8765, 0o2640, False),
        ]
        for tool_name, tool in both_tools():
            for name, uid, gid, mode, whole in cases:
                for with_acl in [False, True]:
                    with self.subTest(name, tool=tool_name, acl=with_acl):
                        self.clear()
                        out = self.write("out", b"old\n")
                        os.chown(out, uid, gid)
                        os.chmod(out, mode)
                        if with_acl:
                            try:
                                os.setxattr(out, "system.posix_acl_access", acl)
                            except OSError as e:
                                self.skipTest("no access ACLs here: %s" % e.strerror)
                        before = os.stat(out)
                        self.assertRun(run(["-o", out], b"new\n", tool=tool), 0, b"")
                        after = os.stat(out)
                        self.assertEqual(self.read(out), encode_text(b"new"))
                        self.assertEqual(after.st_ino != before.st_ino, whole)
                        self.assertEqual((after.st_uid, after.st_gid, oct(after.st_mode)),
                                         (uid, gid, oct(before.st_mode)))
                        self.assertEqual(access_acl(out), acl if with_acl else None)
                        self.assertOnly("out")

    def test_permissions_changed_during_a_run_are_kept(self):
        # What the file has when the output is put in place counts, not what
        # it had when the tool started, as for "> FILE".
        if os.geteuid() != 0:
            self.skipTest("needs root to change the file's group")
        tight = acl_xattr([(ACL_USER_OBJ, 6, NO_ID), (ACL_USER, 0, 65534), (ACL_GROUP_OBJ, 4, NO_ID),
                           (ACL_MASK, 4, NO_ID), (ACL_OTHER, 0, NO_ID)])
        cases = [
            # name, the change, what is checked, its value afterwards
            ("chmod 600", lambda p: os.chmod(p, 0o600), lambda p: stat.S_IMODE(os.stat(p).st_mode), 0o600),
            ("chgrp", lambda p: os.chown(p, -1, 8765), lambda p: os.stat(p).st_gid, 8765),
            ("ACL entry added", lambda p: os.setxattr(p, "system.posix_acl_access", tight), access_acl, tight),
        ]
        for tool_name, tool in both_tools():
            for name, change, measure, expected in cases:
                with self.subTest(name, tool=tool_name):
                    self.clear()
                    out = self.write("out", b"old\n", 0o644)
                    with subprocess.Popen(command(tool) + ["-o", out], stdin=subprocess.PIPE,
                                          stderr=subprocess.PIPE) as proc:
                        proc.stdin.write(b"first\n")
                        proc.stdin.flush()
                        self.wait_until_writing(proc)
                        try:
                            change(out)
                        except OSError as e:
                            proc.kill()
                            self.skipTest("%s: %s" % (name, e.strerror))
                        proc.stdin.write(b"second\n")
                        proc.stdin.close()
                        self.assertEqual(proc.wait(timeout=config.timeout), 0, proc.stderr.read())
                    self.assertEqual(self.read(out), encode_text(b"first") + encode_text(b"second"))
                    self.assertEqual(measure(out), expected)
                    self.assertOnly("out")

    def test_name_that_appears_during_a_run(self):
        # A second writer makes the file while the tool converts: the tool's
        # output takes its place or is written into it, as "> FILE" would.
        cases = [("a file of the user's own", None), ("another user's file", 65534)]
        for tool_name, tool in both_tools():
            for name, owner in cases:
                with self.subTest(name, tool=tool_name):
                    if owner is not None and os.geteuid() != 0:
                        self.skipTest("needs root to give the file another owner")
                    self.clear()
                    out = os.path.join(self.dir, "out")
                    with subprocess.Popen(command(tool) + ["-o", out], stdin=subprocess.PIPE,
                                          stderr=subprocess.PIPE) as proc:
                        proc.stdin.write(b"first\n")
                        proc.stdin.flush()
                        self.wait_until_writing(proc)
                        self.write("out", b"the other writer's content, longer than the records\n" * 4, 0o640)
                        if owner is not None:
                            os.chown(out, owner, -1)
                        proc.stdin.close()
                        self.assertEqual(proc.wait(timeout=config.timeout), 0, proc.stderr.read())
                    self.assertEqual(self.read(out), encode_text(b"first"))
                    self.assertEqual(os.stat(out).st_uid, os.geteuid() if owner is None else owner)
                    self.assertOnly("out")

    def test_what_a_replacement_would_lose_is_written_in_place(self):
        # Flags, extended attributes and set-ID bits a new file could not
        # carry, and a directory where a temporary name could neither be
        # renamed nor removed: the file is written into, keeping all it has.
        if os.geteuid() != 0:
            self.skipTest("needs root to set file flags")
        sub = os.path.join(self.dir, "sub")

        def unflag():
            subprocess.run(["chattr", "-a", sub], capture_output=True, timeout=config.timeout)

        def kept_flag(flag):
            return lambda out: flag in inode_flags(out)

        cases = [
            # name, set-up (fails: skipped), check afterwards
            ("append-only directory", lambda out: subprocess.run(["chattr", "+a", sub], check=True,
                                                                 capture_output=True),
             lambda out: os.listdir(sub) == ["out"]),
            ("no-dump flag (chattr +d)", lambda out: subprocess.run(["chattr", "+d", out], check=True,
                                                                    capture_output=True), kept_flag("d")),
            ("extended attribute", lambda out: os.setxattr(out, "user.note", b"keep me"),
             lambda out: os.getxattr(out, "user.note") == b"keep me"),
            ("set-user-ID file of root's", lambda out: os.chmod(out, 0o4755),
             lambda out: stat.S_IMODE(os.stat(out).st_mode) == 0o4755),
        ]
        for tool_name, tool in both_tools():
            for name, set_up, check in cases:
                with self.subTest(name, tool=tool_name):
                    unflag()
                    self.clear()
                    os.mkdir(sub)
                    self.addCleanup(unflag)
                    out = self.write("sub/out", b"old content, longer than the new\n" * 10, 0o644)
                    try:
                        set_up(out)
                    except (OSError, subprocess.CalledProcessError) as e:
                        self.skipTest("%s: not here (%s)" % (name, getattr(e, "stderr", None) or e))
                    before = os.stat(out)
                    self.assertRun(run(["-o", out], b"new\n", tool=tool), 0, b"", b"")
                    self.assertEqual(self.read(out), encode_text(b"new"))
                    self.assertEqual(os.stat(out).st_ino, before.st_ino)
                    self.assertTrue(check(out), name)
                    self.assertEqual(os.listdir(sub), ["out"])
                    # a new name there is made as "> FILE" makes it
                    new = os.path.join(sub, "new")
                    self.assertRun(run(["-o", new], b"new\n", tool=tool), 0, b"", b"")
                    self.assertEqual(self.read(new), encode_text(b"new"))
                    self.assertEqual(sorted(os.listdir(sub)), ["new", "out"])
                    unflag()

    def test_file_mounted_on_its_own_name(self):
        # A bind-mounted file (/etc/hosts in a container) can't be renamed
        # over; it is written in place, as "> FILE" writes it.
        script = 'mount --bind "$0" "$1" && shift && exec "$@"'
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                source = self.write("source", b"old content\n", 0o644)
                target = self.write("target", b"under the mount\n", 0o644)
                result = subprocess.run(["unshare", "-m", "sh", "-c", script, source, target] + command(tool) +
                                        ["-o", target], input=b"mounted\n", capture_output=True,
                                        timeout=config.timeout)
                if b"mount" in result.stderr or b"unshare" in result.stderr:
                    self.skipTest("needs root and a private mount namespace: %s" % result.stderr.decode().strip())
                self.assertRun(result, 0, b"", b"")
                self.assertEqual(self.read(source), encode_text(b"mounted"))
                self.assertEqual(self.read(target), b"under the mount\n")
                self.assertOnly("source", "target")

    def test_regular_file_in_proc(self):
        # No file can be made beside it: written in place, as "> FILE" writes
        # it (here the tool's own name, which it may set).
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.assertRun(run(["-o", "/proc/self/comm"], b"x\n", tool=tool), 0, b"", b"")

    def test_closed_standard_descriptors(self):
        # A closed descriptor 0, 1 or 2 is never taken by a file of the
        # tool's: messages don't go into the output, and writing to a closed
        # standard output fails as it does for cat.
        src = self.write("src", b"text\n")
        enc = self.write("enc", encode_text(b"text"))
        shown = self.write("shown", b"")
        cases = [
            # name, arguments, redirections, exit status, standard error, what "shown" holds after
            ("-o /dev/stdout, standard error closed", ["--progress", "-o", "/dev/stdout"],
             '< "$src" > "$shown" 2>&-', 0, b"", encode_text(b"text")),
            ("standard output closed", [src], ">&-", 1, b"qelcode: (stdout): Bad file descriptor\n", b""),
            ("-t, standard output closed", ["-t", enc], ">&-", 1, b"qelcode: (stdout): Bad file descriptor\n", b""),
            ("-o, standard output closed", ["-o", os.path.join(self.dir, "out"), src], ">&-", 0, b"", b""),
            ("standard input closed", [], "<&-", 1, b"qelcode: (stdin): line 1: Error reading source file\n", b""),
        ]
        cat = subprocess.run(["sh", "-c", 'cat "$0" >&-', src], capture_output=True, timeout=config.timeout)
        self.assertNotEqual(cat.returncode, 0)
        for name, args, redirections, code, stderr, output in cases:
            with self.subTest(name):
                with open(shown, "wb"):
                    pass
                script = 'exec "$@" %s' % redirections
                result = subprocess.run(["sh", "-c", script, "sh"] + command() + args, capture_output=True,
                                        env=dict(os.environ, src=src, shown=shown), timeout=config.timeout)
                self.assertRun(result, code, b"", stderr)
                self.assertEqual(self.read(shown), output)

    def test_directory_with_a_default_acl(self):
        # A file made in such a directory starts with an access ACL of its
        # own, which here would let user 65534 read it. The replacement has
        # exactly the old file's ACL, or none; a new file gets what a file
        # that "> FILE" creates gets, made here by Python's open().
        default = acl_xattr([(ACL_USER_OBJ, 7, NO_ID), (ACL_USER, 6, 65534), (ACL_GROUP_OBJ, 7, NO_ID),
                             (ACL_MASK, 7, NO_ID), (ACL_OTHER, 5, NO_ID)])
        own = acl_xattr([(ACL_USER_OBJ, 6, NO_ID), (ACL_USER, 4, 4322), (ACL_GROUP_OBJ, 4, NO_ID),
                         (ACL_MASK, 4, NO_ID), (ACL_OTHER, 0, NO_ID)])
        shared = os.path.join(self.dir, "shared")
        os.mkdir(shared)
        try:
            os.setxattr(shared, "system.posix_acl_default", default)
        except OSError as e:
            self.skipTest("no default ACLs here: %s" % e.strerror)
        reference = os.path.join(shared, "reference")
        with open(reference, "wb"):
            pass
        cases = [
            # name, the old file's mode and ACL
            ("file without an ACL", 0o660, None),
            ("file with an ACL of its own", 0o640, own),
        ]
        for tool_name, tool in both_tools():
            for name, mode, acl in cases:
                with self.subTest(name, tool=tool_name):
                    out = os.path.join(shared, "out")
                    with open(out, "wb") as f:
                        f.write(b"secret\n")
                    if acl is None:
                        os.removexattr(out, "system.posix_acl_access")
                    else:
                        os.setxattr(out, "system.posix_acl_access", acl)
                    os.chmod(out, mode)
                    self.assertRun(run(["-o", out], b"new\n", tool=tool), 0, b"")
                    self.assertEqual(self.read(out), encode_text(b"new"))
                    self.assertEqual(access_acl(out), acl)
                    self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), mode)
            with self.subTest("new file", tool=tool_name):
                new = os.path.join(shared, "new")
                if os.path.exists(new):
                    os.unlink(new)
                self.assertRun(run(["-o", new], b"new\n", tool=tool), 0, b"")
                self.assertIsNotNone(access_acl(new))
                self.assertEqual(access_acl(new), access_acl(reference))
                self.assertEqual(os.stat(new).st_mode, os.stat(reference).st_mode)
            self.assertEqual(sorted(os.listdir(shared)), ["new", "out", "reference"])

    def refused_like_the_shell(self, paths, message, prefix=()):
        """-o to each of paths is refused with the system's message, as the
        shell's "> PATH" is, and writes nothing anywhere."""
        before = {name: self.read(os.path.join(self.dir, name)) for name in os.listdir(self.dir)
                  if os.path.isfile(os.path.join(self.dir, name))}
        for path in paths:
            shell = subprocess.run(list(prefix) + ["sh", "-c", 'echo x > "$0"', path], capture_output=True,
                                   timeout=config.timeout)
            self.assertNotEqual(shell.returncode, 0, "the shell wrote through %s" % path)
            self.assertIn(message, shell.stderr)
            for tool_name, tool in both_tools():
                with self.subTest(path=os.path.basename(path), tool=tool_name):
                    result = subprocess.run(list(prefix) + command(tool) + ["-o", path], input=b"new\n",
                                            capture_output=True, timeout=config.timeout)
                    self.assertRun(result, 1, b"", b"qelcode: %s: %s\n" % (path.encode(), message))
                    after = {name: self.read(os.path.join(self.dir, name)) for name in os.listdir(self.dir)
                             if os.path.isfile(os.path.join(self.dir, name))}
                    self.assertEqual(after, before)

    def test_links_on_a_mount_that_follows_none(self):
        # The kernel follows no link on a nosymfollow mount (one of the test's
        # own, in a private mount namespace); -o goes through the kernel's
        # own lookup, so it is refused there as "> LINK" is.
        script = ('mount --bind "$0" "$0" && mount -o remount,bind,nosymfollow "$0" "$0" && exec "$@"')
        probe = subprocess.run(["unshare", "-m", "sh", "-c", script, self.dir, "true"], capture_output=True,
                               timeout=config.timeout)
        if probe.returncode != 0:
            self.skipTest("needs root, a private mount namespace (unshare -m) and nosymfollow mounts: %s"
                          % probe.stderr.decode().strip())
        self.write("target", b"old content\n", 0o644)
        os.symlink("target", os.path.join(self.dir, "link"))
        os.symlink("nothing", os.path.join(self.dir, "dangling"))
        self.refused_like_the_shell([os.path.join(self.dir, "link"), os.path.join(self.dir, "dangling")],
                                    b"Too many levels of symbolic links",
                                    prefix=["unshare", "-m", "sh", "-c", script, self.dir])
        self.assertOnly("target", "link", "dangling")

    def test_names_planted_in_a_sticky_directory(self):
        # In a sticky world-writable directory (/tmp), the kernel lets root
        # neither follow a link another user planted (fs.protected_symlinks)
        # nor open with O_CREAT a file another user made there
        # (fs.protected_regular). -o is refused where "> NAME" is, and
        # writes nothing anywhere.
        if os.geteuid() != 0:
            self.skipTest("needs root to give the names another owner")
        try:
            nobody, nogroup = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid
        except KeyError:
            self.skipTest("no user nobody or group nogroup")
        os.chmod(self.dir, 0o755)
        sticky = os.path.join(self.dir, "sticky")
        secret = self.write("secret", b"root only\n", 0o600)

        def planted_file(path):
            with open(path, "wb") as f:
                f.write(b"nobody's\n")
            os.chmod(path, 0o666)
            os.chown(path, nobody, nogroup)

        cases = [
            # name, the setting, what nobody planted
            ("nobody's file", "fs.protected_regular", planted_file),
            ("link to root's file", "fs.protected_symlinks", lambda p: os.symlink(secret, p)),
            ("dangling link", "fs.protected_symlinks", lambda p: os.symlink(os.path.join(self.dir, "created"), p)),
        ]
        for name, setting, plant in cases:
            with self.subTest(name):
                if os.path.exists(sticky):
                    shutil.rmtree(sticky)
                os.mkdir(sticky)
                os.chmod(sticky, 0o1777)
                planted = os.path.join(sticky, "planted")
                plant(planted)
                os.lchown(planted, nobody, nogroup)
                before = os.lstat(planted)
                with sysctl(self, setting, "1"):
                    self.refused_like_the_shell([planted], b"Permission denied")
                after = os.lstat(planted)
                self.assertEqual((after.st_ino, after.st_uid, after.st_mode, after.st_mtime_ns),
                                 (before.st_ino, before.st_uid, before.st_mode, before.st_mtime_ns))
                self.assertEqual(os.listdir(sticky), ["planted"])
                self.assertEqual(self.read(secret), b"root only\n")
                self.assertOnly("secret", "sticky")


class OtherUserTest(ToolTest):
    """-o as an ordinary user, on files that user may or may not write."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root to run the tool as user nobody")
        if shutil.which("setpriv") is None:
            self.skipTest("needs setpriv to run the tool as user nobody")
        try:
            self.uid = pwd.getpwnam("nobody").pw_uid
            self.gid = grp.getgrnam("nogroup").gr_gid
        except KeyError:
            self.skipTest("no user nobody or group nogroup")
        self._scratch = tempfile.TemporaryDirectory(prefix="qelcode-cli-tools-")
        self.addCleanup(self._scratch.cleanup)
        self.tools = [(name, self.reachable(tool, name)) for name, tool in both_tools()]

    def reachable(self, tool, name):
        """The command prefix and tool path with which nobody runs tool."""
        if run(["--version"], tool=tool, as_user=AS_NOBODY).returncode == 0:
            return AS_NOBODY, tool
        # The build tree is out of nobody's reach: copy the tool and its library.
        where = os.path.join(self._scratch.name, name.replace(" ", "-"))
        os.makedirs(where)
        for d in [self._scratch.name, where]:
            os.chmod(d, 0o755)
        ldd = subprocess.run(["ldd", tool], capture_output=True, text=True, timeout=config.timeout).stdout
        for path in [tool] + re.findall(r"=> (\S*libqelcode\S*)", ldd):
            shutil.copy2(path, where)
        prefix = AS_NOBODY + ["env", "LD_LIBRARY_PATH=" + where]
        copy = os.path.join(where, os.path.basename(tool))
        if run(["--version"], tool=copy, as_user=prefix).returncode != 0:
            self.skipTest("user nobody can't run the tool")
        return prefix, copy

    def owned(self, name, content, uid, gid, mode):
        path = self.write(name, content)
        os.chown(path, uid, gid)
        os.chmod(path, mode)
        return path

    def assertUnchanged(self, path, content, before):
        self.assertEqual(self.read(path), content)
        after = os.stat(path)
        self.assertEqual((after.st_ino, after.st_mode, after.st_uid, after.st_gid, after.st_mtime_ns),
                         (before.st_ino, before.st_mode, before.st_uid, before.st_gid, before.st_mtime_ns))

    def shell_writes(self, prefix, path, data):
        """What "cat > PATH" as the user does: its exit status and message."""
        result = subprocess.run(list(prefix[:len(AS_NOBODY)]) + ["sh", "-c", 'cat > "$0"', path], input=data,
                                capture_output=True, timeout=config.timeout)
        return result.returncode, result.stderr

    def test_files_the_user_may_or_may_not_replace(self):
        # Each as "> FILE" as that user: refused where the shell is refused,
        # with the system's reason; else the new content, and the owner,
        # group and mode the shell's write leaves (the kernel clears set-ID
        # bits that a user without the privilege writes). A file of the
        # user's own without such bits is replaced whole.
        os.chmod(self.dir, 0o777)  # nobody may create and rename files here
        old = b"secret old content\n"
        cases = [
            # name, owner, group, mode, replaced whole
            ("own read-only file", self.uid, self.gid, 0o444, False),
            ("another user's file", 0, 0, 0o640, False),
            ("own file", self.uid, self.gid, 0o604, True),
            ("own file of a group the user is not in", self.uid, 0, 0o640, False),
            ("another user's file anyone may write", 0, 0, 0o666, False),
            ("own set-user-ID file", self.uid, self.gid, 0o4755, False),
            ("own set-group-ID file", self.uid, self.gid, 0o2750, False),
            ("own set-ID file", self.uid, self.gid, 0o6755, False),
        ]
        for tool_name, (prefix, tool) in self.tools:
            for name, uid, gid, mode, whole in cases:
                with self.subTest(name, tool=tool_name):
                    twin = self.owned("twin", old, uid, gid, mode)
                    code, message = self.shell_writes(prefix, twin, b"new\n")
                    shell = os.stat(twin)
                    os.unlink(twin)
                    out = self.owned("out", old, uid, gid, mode)
                    before = os.stat(out)
                    result = run(["-o", out], b"new\n", tool=tool, as_user=prefix)
                    if code != 0:
                        reason = message.rstrip(b"\n").rsplit(b": ", 1)[-1]
                        self.assertRun(result, 1, b"", b"qelcode: %s: %s\n" % (out.encode(), reason))
                        self.assertUnchanged(out, old, before)
                    else:
                        self.assertRun(result, 0, b"", b"")
                        self.assertEqual(self.read(out), encode_text(b"new"))
                        after = os.stat(out)
                        self.assertEqual(after.st_ino != before.st_ino, whole)
                        self.assertEqual((after.st_uid, after.st_gid, oct(stat.S_IMODE(after.st_mode))),
                                         (shell.st_uid, shell.st_gid, oct(stat.S_IMODE(shell.st_mode))))
                    self.assertEqual(os.listdir(self.dir), ["out"])
                    os.unlink(out)

    def test_directory_the_user_cannot_write(self):
        # No new file can be made beside the old one: a file the user may
        # write is written in place, and a new name is refused, as by "> FILE".
        os.chmod(self.dir, 0o755)
        for tool_name, (prefix, tool) in self.tools:
            with self.subTest(tool=tool_name):
                out = self.owned("out", b"old content, longer than the new\n" * 10, self.uid, self.gid, 0o644)
                ino = os.stat(out).st_ino
                self.assertRun(run(["-o", out], b"new\n", tool=tool, as_user=prefix), 0, b"", b"")
                self.assertEqual(self.read(out), encode_text(b"new"))
                self.assertEqual(os.stat(out).st_ino, ino)
                new = os.path.join(self.dir, "new")
                self.assertRun(run(["-o", new], b"new\n", tool=tool, as_user=prefix), 1, b"",
                               b"qelcode: %s: Permission denied\n" % new.encode())
                self.assertEqual(os.listdir(self.dir), ["out"])

    def test_devices_and_standard_output(self):
        # As a user who can't replace anything in /dev, so that a fault can't
        # harm the machine.
        for tool_name, (prefix, tool) in self.tools:
            with self.subTest(tool=tool_name):
                self.assertRun(run(["-o", "/dev/null"], b"lost\n", tool=tool, as_user=prefix), 0, b"", b"")
                self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
                # /dev/stdout opens standard output anew, which the user may
                # do for a file of theirs; it is truncated, as "> /dev/stdout" does.
                os.chmod(self.dir, 0o777)
                cap = self.owned("cap", b"old content, longer than the record\n" * 10, self.uid, self.gid, 0o644)
                fd = os.open(cap, os.O_WRONLY)
                try:
                    result = run(["-o", "/dev/stdout"], b"shown\n", stdout=fd, tool=tool, as_user=prefix)
                finally:
                    os.close(fd)
                self.assertRun(result, 0, None, b"")
                self.assertEqual(self.read(cap), encode_text(b"shown"))
                self.assertEqual(os.listdir(self.dir), ["cap"])
