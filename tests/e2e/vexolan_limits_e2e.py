"""Vexolan on trees at the system's limits, as a user runs it: a chain of
directories deeper than the descriptors the process may hold, a file deeper
than any path the system takes whole, and a deep tree under a small stack.
Every file is collected and handled, and the summary counts them all."""
import os
import sys
import tempfile

import e2e_util as u
from e2e_util import case, expect_eq

u.setup(sys.argv)


def scan_limited(root, limits):
    """Runs Vexolan on root under the shell's ulimit options, presses Y, then Enter."""
    script = "ulimit %s && exec \"$0\" \"$@\"" % limits
    run = u.PtyRun("sh", ["-c", script, u.VEXOLAN, root])
    run.wait_for("any other key to quit...", timeout=60)
    run.type(b"y")
    run.wait_for("Press Enter to quit", timeout=300)
    run.type(b"\n")
    out, code = run.finish(timeout=60)
    expect_eq(code, 0, "exit code; output:\n" + out[-1500:])
    return out


def chain(root, name, depth):
    """Creates root/name/name/... depth levels deep through relative steps (a
    path past the system's limit cannot be named whole); returns the deepest
    directory's descriptor."""
    here = os.open(root, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir(name, dir_fd=here)
        below = os.open(name, os.O_RDONLY, dir_fd=here)
        os.close(here)
        here = below
    return here


def write_at(dir_fd, name, data):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
    os.write(fd, data)
    os.close(fd)


def names_at(dir_fd):
    return sorted(os.listdir(dir_fd))


def remove_tree(root):
    os.system("rm -rf '%s'" % root)  # rm walks below the path limit itself


if u.WINDOWS:
    # The Windows walk's stack is tested by the collector's unit test; descriptor
    # limits, ulimit and PATH_MAX belong to the POSIX build.
    print("skipped: ulimit and PATH_MAX belong to the POSIX build")
else:
    @case
    def chain_deeper_than_the_descriptor_limit():
        with tempfile.TemporaryDirectory() as d:
            # A file at every level, each content twice: every second one is a copy.
            here = os.open(d, os.O_RDONLY)
            for level in range(200):
                write_at(here, "f", b"%d" % (level // 2))
                os.mkdir("d", dir_fd=here)
                below = os.open("d", os.O_RDONLY, dir_fd=here)
                os.close(here)
                here = below
            os.close(here)
            out = scan_limited(d, "-n 24")  # fewer than one per deletion thread
            assert "200 files passed / 100 duplicates removed [+0 failed]" in out, out[-1500:]

    @case
    def files_deeper_than_the_path_limit():
        d = tempfile.mkdtemp()
        try:
            with open(os.path.join(d, "x"), "wb") as f:
                f.write(b"same")
            bottom = chain(d, "n" * 200, 26)  # 5,226 bytes below the root
            write_at(bottom, "x", b"same")
            write_at(bottom, "y", b"same")
            write_at(bottom, "z", b"other")
            out = scan_limited(d, "-n 1024")
            # The deep x sorts first and stays; the deep y and the top x are its copies.
            assert "4 files passed / 2 duplicates removed [+0 failed]" in out, out[-1500:]
            expect_eq(out.count(" del 'x' ..  Ok") + out.count(" del 'y' ..  Ok"), 2, out[-1500:])
            expect_eq(names_at(bottom), ["x", "z"], "the deepest directory")
            assert not os.path.exists(os.path.join(d, "x"))
        finally:
            remove_tree(d)

    @case
    def deep_tree_under_a_small_stack():
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "top"), "wb") as f:
                f.write(b"same")
            bottom = chain(d, "d", 500)
            write_at(bottom, "bottom", b"same")
            os.close(bottom)
            out = scan_limited(d, "-s 64")
            assert "2 files passed / 1 duplicates removed [+0 failed]" in out, out[-1500:]
            assert not os.path.exists(os.path.join(d, "top"))  # d/d/... sorts before top

    @case
    def look_ahead_short_of_descriptors():
        # Files read side by side need a descriptor each; one that cannot be
        # opened then is read at its turn, as if there were no look-ahead.
        with tempfile.TemporaryDirectory() as d:
            body = bytes(range(256)) * 1200  # 300 KiB
            for k in range(200):
                with open(os.path.join(d, "f%03d" % k), "wb") as f:
                    f.write(body)
            out = scan_limited(d, "-n 64")
            assert "200 files passed / 199 duplicates removed [+0 failed]" in out, out[-1500:]
            expect_eq(sorted(os.listdir(d)), ["f000"], "what is left")

u.finish()
