"""Helpers for the end-to-end tests: run the real programs as a user does.

Standard output goes to a file and is decoded from UTF-16LE; standard input
is a file, /dev/null, or a pseudo-terminal when a key press is needed. The
Windows programs run under wine.
"""
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

WINDOWS = False
VEXOLAN = ""
QUORITH = ""
FAILURES = []
PASSED = []


# The lines every run begins and ends with.
HEAD = ["@ https://orlethe.example", ""]
END = ["Press Enter to quit"]


def write(path, data):
    """Writes bytes to a file, making its directory where missing."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def setup(argv):
    global WINDOWS, VEXOLAN, QUORITH
    if len(argv) != 4 or argv[1] not in ("--native", "--windows"):
        sys.exit("usage: SCRIPT --native|--windows VEXOLAN QUORITH")
    WINDOWS = argv[1] == "--windows"
    VEXOLAN, QUORITH = argv[2], argv[3]
    os.environ["WINEDEBUG"] = "-all"


def command(program, args):
    return (["wine", program] if WINDOWS else [program]) + list(args)


def host_path(path):
    """The path as the program sees it (wine maps / to drive Z:)."""
    if not WINDOWS:
        return path
    return "Z:" + path.replace("/", "\\")


def decode(raw):
    if len(raw) % 2:
        raise AssertionError("odd number of output bytes: %d" % len(raw))
    return raw.decode("utf-16-le")


def run(program, args, stdin_bytes=b"", timeout=60, cwd=None):
    """Runs a program with stdin from bytes; returns (decoded stdout, exit code)."""
    with tempfile.TemporaryDirectory() as io_dir:
        out_path = os.path.join(io_dir, "out")
        in_path = os.path.join(io_dir, "in")
        with open(in_path, "wb") as f:
            f.write(stdin_bytes)
        with open(in_path, "rb") as fin, open(out_path, "wb") as fout:
            proc = subprocess.run(command(program, args), stdin=fin, stdout=fout, stderr=subprocess.DEVNULL,
                                  timeout=timeout, cwd=cwd)
        with open(out_path, "rb") as f:
            return decode(f.read()), proc.returncode


def run_polling(program, args, ready, seconds, stdin=subprocess.DEVNULL, timeout=60):
    """Starts a program that is expected to keep polling once its output ends
    with READY; watches it that long and then for SECONDS more, stops it, and
    returns (decoded stdout, still_running_at_the_end). Waiting for READY
    first keeps a slow start (wine under emulation) from cutting the watch."""
    with tempfile.TemporaryDirectory() as io_dir:
        out_path = os.path.join(io_dir, "out")
        with open(out_path, "wb") as fout:
            proc = subprocess.Popen(command(program, args), stdin=stdin, stdout=fout, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            end = time.time() + timeout
            while proc.poll() is None and time.time() < end:
                with open(out_path, "rb") as f:
                    raw = f.read()
                if raw[: len(raw) // 2 * 2].decode("utf-16-le", "replace").endswith(ready):
                    break
                time.sleep(0.05)
            time.sleep(seconds)
            running = proc.poll() is None
            if running:
                os.killpg(proc.pid, 9)
            proc.wait()
        with open(out_path, "rb") as f:
            return decode(f.read()), running


class PtyRun:
    """A program whose standard input is a pseudo-terminal (for key presses)
    and whose standard output is a file; what it wrote to standard error is
    in .errors once it has finished."""

    def __init__(self, program, args):
        self.io_dir = tempfile.mkdtemp()
        self.out_path = os.path.join(self.io_dir, "out")
        self.master, slave = pty.openpty()
        self.fout = open(self.out_path, "wb")
        self.ferr = open(os.path.join(self.io_dir, "err"), "w+b")
        self.errors = ""
        self.proc = subprocess.Popen(command(program, args), stdin=slave, stdout=self.fout,
                                     stderr=self.ferr, start_new_session=True)
        os.close(slave)

    def output(self):
        with open(self.out_path, "rb") as f:
            raw = f.read()
        return raw[: len(raw) // 2 * 2].decode("utf-16-le")

    def wait_for(self, text, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            self._drain()
            if text in self.output():
                return True
            if self.proc.poll() is not None:
                return text in self.output()
            time.sleep(0.02)
        raise AssertionError("timed out waiting for %r; output so far:\n%s" % (text, self.output()))

    def type(self, data):
        os.write(self.master, data)

    def _drain(self):
        # Whatever the program echoes to the terminal is read and dropped.
        while select.select([self.master], [], [], 0)[0]:
            try:
                if not os.read(self.master, 4096):
                    break
            except OSError:
                break

    def finish(self, timeout=30):
        end = time.time() + timeout
        while self.proc.poll() is None and time.time() < end:
            self._drain()
            time.sleep(0.02)
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 9)
            raise AssertionError("program did not end; output:\n" + self.output())
        self.fout.close()
        self.ferr.seek(0)
        self.errors = self.ferr.read().decode("utf-8", "replace")
        self.ferr.close()
        os.close(self.master)
        text = self.output()
        shutil.rmtree(self.io_dir, ignore_errors=True)
        return text, self.proc.returncode


def case(fn):
    """Runs one test case, recording its result."""
    name = fn.__name__
    try:
        fn()
        PASSED.append(name)
        print("ok   %s" % name)
    except Exception:  # a failed case is reported, the others still run
        FAILURES.append(name)
        print("FAIL %s" % name)
        traceback.print_exc(file=sys.stdout)
    return fn


def expect_eq(actual, expected, what=""):
    if actual != expected:
        raise AssertionError("%s\n--- expected ---\n%r\n--- actual ---\n%r" % (what, expected, actual))


def finish():
    print("%d passed, %d failed" % (len(PASSED), len(FAILURES)))
    sys.exit(1 if FAILURES else 0)


def lines(*items):
    return "".join(s + "\r\n" for s in items)
