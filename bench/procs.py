"""Running one measured process: timing, peak memory, and playing the user at
Vexolan's console."""
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import termios
import threading
import time

from tools import count_lines

PROMPT = "Press 'Y' to continue"
ENTER = "Press Enter to quit"
# The whole line: a file's name may start with "Haha" too.
PRANK = "Haha. Just kidding, nothing was done"
DONE_RE = re.compile(r"DONE with (\d+) (files|strings), (-?\d+) ms")
FILES_COUNT_RE = re.compile(r"(\d+) files passed / (\d+) duplicates removed \[\+(\d+) failed\]")
LINES_COUNT_RE = re.compile(r"(\d+) lines passed / (\d+) strings removed")
# What a terminal acts on rather than shows: colours, the title, cursor moves.
TERMINAL_CONTROL_RE = re.compile(r"\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b\[[0-9;?]*[ -/]*[@-~]|\r")


class Sample:
    def __init__(self):
        self.wall_ms = None      # whole process, spawn to reap
        self.own_ms = None       # from the program's "DONE with" line
        self.rss_kib = None
        self.cpu_ms = None
        self.error = None
        self.found = None        # the count the check compares
        self.written = None      # lines in Quorith's FILE_new, when it stayed
        self.note = None

    def as_dict(self):
        return dict(self.__dict__)


GNU_TIME = "/usr/bin/time"


def spawn_timed(argv, timeout, rss_path, started=None, **popen_args):
    """Runs argv in its own session under GNU time, which writes the peak RSS
    in KiB to rss_path. A child forked from this interpreter would inherit its
    resident size into ru_maxrss; one forked from GNU time starts about 1 MiB
    high, the same for every tool. Returns (Popen, wall seconds, rusage,
    timed out); the rusage includes the command's CPU time. `started(p)` runs
    right after the spawn, on this thread."""
    killed = threading.Event()
    reaped = threading.Lock()
    done = [False]

    argv = [GNU_TIME, "-q", "-f", "%M", "-o", rss_path] + list(argv)
    t0 = time.perf_counter()
    p = subprocess.Popen(argv, start_new_session=True, **popen_args)

    def kill():
        with reaped:
            if not done[0]:
                killed.set()
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    timer = threading.Timer(timeout, kill)
    timer.daemon = True
    timer.start()
    try:
        if started:
            started(p)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        with reaped:
            done[0] = True
    except BaseException:
        # Interrupted: the command runs in its own session, so take it down here.
        kill()
        os.wait4(p.pid, 0)
        raise
    finally:
        timer.cancel()
    p.returncode = os.waitstatus_to_exitcode(status)
    return p, wall, ru, killed.is_set()


def decode_output(raw):
    """The programs write UTF-16LE when redirected; accept UTF-8 too."""
    if len(raw) >= 2 and raw[1::2].count(0) * 2 >= len(raw) // 2:
        return raw.decode("utf-16-le", errors="replace")
    return raw.decode("utf-8", errors="replace")


def tail(text, n=300):
    text = text.strip()
    return ("..." + text[-n:]) if len(text) > n else text


def add_note(s, text):
    s.note = text if not s.note else s.note + "; " + text


def clear_dir(out_dir):
    """Empties the output directory; gives the path for GNU time's report."""
    for name in os.listdir(out_dir):
        os.remove(os.path.join(out_dir, name))
    return os.path.join(out_dir, "time.rss")


def fill_usage(s, wall, ru, rss_path):
    s.wall_ms = wall * 1000.0
    s.cpu_ms = (ru.ru_utime + ru.ru_stime) * 1000.0
    try:
        with open(rss_path) as fh:
            s.rss_kib = int(fh.read().split()[-1])
    except (OSError, ValueError, IndexError):
        s.rss_kib = None


def run_peer(tool, target, out_dir, timeout):
    s = Sample()
    stdout_path = os.path.join(out_dir, tool.stdout_name)
    stderr_path = os.path.join(out_dir, tool.name + ".err")
    rss_path = clear_dir(out_dir)
    with open(stdout_path, "wb") as so, open(stderr_path, "wb") as se:
        p, wall, ru, timed_out = spawn_timed(tool.argv(target, out_dir), timeout, rss_path,
                                             stdin=subprocess.DEVNULL, stdout=so, stderr=se, cwd=out_dir)
    fill_usage(s, wall, ru, rss_path)
    if timed_out:
        s.error = "timed out after %d s" % timeout
    elif p.returncode != 0:
        with open(stderr_path, "rb") as fh:
            s.error = "exit code %d: %s" % (p.returncode, tail(fh.read().decode(errors="replace")))
    return s


def run_quorith(tool, target, out_dir, timeout):
    s = Sample()
    rss_path = clear_dir(out_dir)
    new_path = target + "_new"
    if os.path.lexists(new_path):
        os.remove(new_path)
    stdout_path = os.path.join(out_dir, "quorith.out")
    if tool.console == "terminal":
        p, wall, ru, timed_out, driver = spawn_on_console(tool.argv(target, out_dir), out_dir, timeout,
                                                          rss_path, True, "quorith.err")
        text = console_text(bytes(driver.raw), True)
    else:
        with open(stdout_path, "wb") as so, open(os.path.join(out_dir, "quorith.err"), "wb") as se:
            p, wall, ru, timed_out = spawn_timed(tool.argv(target, out_dir), timeout, rss_path,
                                                 stdin=subprocess.DEVNULL, stdout=so, stderr=se, cwd=out_dir)
        with open(stdout_path, "rb") as fh:
            text = decode_output(fh.read())
    fill_usage(s, wall, ru, rss_path)
    done = DONE_RE.findall(text)
    counts = LINES_COUNT_RE.findall(text)
    if timed_out:
        s.error = "timed out after %d s" % timeout
    elif p.returncode != 0:
        s.error = "exit code %d" % p.returncode
    elif not done:
        s.error = "no 'DONE with' line in its output: %r" % tail(text)
    if done:
        s.own_ms = float(done[-1][2])
    if counts:
        s.found = int(counts[-1][1])
    if os.path.exists(new_path):
        s.written = count_lines(new_path)
        os.remove(new_path)
    return s


class PtyDriver:
    """Plays the user at Vexolan's console: Y at the prompt, Enter at each
    "Press Enter to quit". It reads the program's output as a terminal does,
    from the pseudo-terminal's other end, or from a pipe (redirected to a file,
    the program would force every line to disk, which a user watching never
    pays for). A key that brings no new output within RESEND seconds is sent
    again, in case the program dropped pending input when it changed the
    terminal's mode; a spare key only lands in the final line, which is
    discarded."""

    POLL = 0.005
    RESEND = 0.1

    def __init__(self, master, out_fd):
        self.master = master
        self.out_fd = out_fd
        self.raw = bytearray()
        self.finished = threading.Event()
        self.sent_y = False
        self.enters = 0
        self.resent = 0
        self.counts = {"y": 0, "enter": 0}
        self.patterns = {}
        for key, text in (("y", PROMPT), ("enter", ENTER)):
            self.patterns[key] = (text.encode("utf-16-le"), text.encode("utf-8"))

    def _scan(self, old_len):
        """Counts the prompts that the bytes after old_len complete."""
        for key, pats in self.patterns.items():
            self.counts[key] += max(self.raw.count(p, max(0, old_len - len(p) + 1)) for p in pats)

    def _send(self, data):
        try:
            os.write(self.master, data)
        except OSError:
            pass  # the program is gone

    def _read_new(self, fd):
        """Takes what is waiting; True once the program's end has closed it
        (a pseudo-terminal whose other side is closed reports an error)."""
        while select.select([fd], [], [], 0)[0]:
            try:
                chunk = os.read(fd, 1 << 20)
            except OSError:
                return True
            if not chunk:
                return True
            old = len(self.raw)
            self.raw += chunk
            self._scan(old)
        return False

    def pump(self):
        fd = self.out_fd
        pending = None   # (key bytes, output length when sent, time sent)
        while True:
            select.select([fd], [], [], self.POLL)
            if self._read_new(fd) or self.finished.is_set():
                self._read_new(fd)
                break
            now = time.monotonic()
            if pending and len(self.raw) > pending[1]:
                pending = None
            if not self.sent_y and self.counts["y"]:
                self.sent_y = True
                pending = (b"y", len(self.raw), now)
                self._send(b"y")
            elif self.enters < self.counts["enter"]:
                self.enters += 1
                pending = (b"\n", len(self.raw), now)
                self._send(b"\n")
            elif pending and now - pending[2] >= self.RESEND:
                pending = (pending[0], pending[1], now)
                self.resent += 1
                self._send(pending[0])


def console_text(raw, terminal):
    """The program's output as text: UTF-8 with the terminal's controls taken
    out, or what it writes to a pipe (UTF-16LE)."""
    if terminal:
        return TERMINAL_CONTROL_RE.sub("", raw.decode("utf-8", errors="replace"))
    return decode_output(raw)


def spawn_on_console(argv, out_dir, timeout, rss_path, terminal, err_name):
    """Runs a program with its keys from a pseudo-terminal (its controlling
    terminal) and its output on that terminal too, or on a pipe, answering
    as a user does; gives (process, wall, rusage, timed out, driver)."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    out_read, out_write = (master, slave) if terminal else os.pipe()
    driver = PtyDriver(master, out_read)
    watcher = threading.Thread(target=driver.pump, daemon=True)
    err = None

    def take_terminal():
        # The new session's controlling terminal is the pty, as in a console.
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    def started(p):
        os.close(slave)
        if not terminal:
            os.close(out_write)
        watcher.start()

    try:
        err = slave if terminal else open(os.path.join(out_dir, err_name), "wb")
        p, wall, ru, timed_out = spawn_timed(
            argv, timeout, rss_path, started,
            stdin=slave, stdout=out_write, stderr=err, cwd=out_dir, preexec_fn=take_terminal)
    finally:
        driver.finished.set()
        if watcher.is_alive():
            watcher.join(10)
        if not terminal:
            if err is not None:
                err.close()
            os.close(out_read)
        os.close(master)
    return p, wall, ru, timed_out, driver


def run_vexolan(tool, target, out_dir, timeout):
    """Vexolan with its keys from a pseudo-terminal (its controlling terminal)
    and its output on that terminal too, or on a pipe."""
    s = Sample()
    rss_path = clear_dir(out_dir)
    terminal = tool.console == "terminal"
    p, wall, ru, timed_out, driver = spawn_on_console(tool.argv(target, out_dir), out_dir, timeout, rss_path,
                                                      terminal, "vexolan.err")
    fill_usage(s, wall, ru, rss_path)
    text = console_text(bytes(driver.raw), terminal)
    with open(os.path.join(out_dir, "vexolan.out"), "w") as fh:
        fh.write(text)
    done = DONE_RE.findall(text)
    counts = FILES_COUNT_RE.findall(text)
    if timed_out:
        s.error = "timed out after %d s (prompt %s): %r" % (
            timeout, "answered" if driver.sent_y else "never seen", tail(text))
    elif PRANK in text:
        s.error = "the Y key was not taken (prank path)"
    elif "Error: invalid path" in text:
        s.error = "path rejected: " + target
    elif not done:
        s.error = "no 'DONE with' line in its output (exit code %d): %r" % (p.returncode, tail(text))
    if done:
        s.own_ms = float(done[-1][2])
    if counts:
        s.found = int(counts[-1][1])
        if int(counts[-1][2]):
            add_note(s, "%s deletions failed" % counts[-1][2])
    if driver.resent:
        add_note(s, "a key was sent %d more times (its wall time includes the wait)" % driver.resent)
    return s
