"""Vexolan on a terminal end to end: what the user's terminal is sent, and the
terminal's mode after each way out. The program's standard input and output
are a pseudo-terminal; the test reads its master as a terminal window would."""
import os
import pty
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time

import e2e_util as u
from e2e_util import case, expect_eq

u.setup(sys.argv)

# A name that would retitle the window and clear the screen if sent as it is.
NAME = "dup\x1b]0;x\x07\x1b[2J.txt"
SHOWN = NAME.replace("\x1b", "\ufffd").replace("\x07", "\ufffd")
# The program's own sequences: its colours and its window title.
OWN_SEQUENCES = re.compile(rb"\x1b\[[0-9;]*m|\x1b\]0;Vexolan by Orlethe\x07")


class Terminal:
    def __init__(self, root, env=None):
        self.master, self.slave = pty.openpty()
        self.own_mode = termios.tcgetattr(self.slave)
        self.sent = b""
        self.proc = subprocess.Popen([u.VEXOLAN, root], stdin=self.slave, stdout=self.slave,
                                     stderr=subprocess.DEVNULL, start_new_session=True, env=env,
                                     preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))

    def wait(self, done, what, timeout=30):
        """Takes what the terminal is sent until done() holds."""
        end = time.time() + timeout
        while True:
            while select.select([self.master], [], [], 0)[0]:
                self.sent += os.read(self.master, 4096)
            if done():
                return
            if time.time() > end:
                if self.proc.poll() is None:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                    self.proc.wait()
                raise AssertionError("timed out waiting for %s; the terminal was sent:\n%r" % (what, self.sent))
            select.select([self.master], [], [], 0.02)

    def wait_text(self, text):
        self.wait(lambda: text.encode() in self.sent, repr(text))

    def finish(self):
        self.wait(lambda: self.proc.poll() is not None, "the end")
        expect_eq(termios.tcgetattr(self.slave), self.own_mode, "the terminal's mode after the end")
        # With no slave left open, the master reads what is still on its way, then fails (EIO).
        os.close(self.slave)
        try:
            while chunk := os.read(self.master, 4096):
                self.sent += chunk
        except OSError:
            pass
        os.close(self.master)
        return self.proc.returncode


def at_the_prompt(d, env=None):
    """Vexolan on a copy named NAME, polling for the Y key."""
    for name in ("a/x.txt", "b/" + NAME):
        os.makedirs(os.path.dirname(os.path.join(d, name)), exist_ok=True)
        with open(os.path.join(d, name), "wb") as f:
            f.write(b"same")
    run = Terminal(d, env)
    run.wait_text("any other key to quit...")
    lflag = 3  # in tcgetattr's list
    run.wait(lambda: not termios.tcgetattr(run.slave)[lflag] & termios.ECHO, "keys to be read without echo")
    return run


if u.WINDOWS:
    # The Windows build drives a console through its own calls; under wine the
    # terminal behind that console is wine's, not the program's.
    print("skipped: terminal modes and escape sequences belong to the POSIX build")
else:
    @case
    def y_is_not_echoed_and_names_are_shown_not_obeyed():
        with tempfile.TemporaryDirectory() as d:
            run = at_the_prompt(d)
            os.write(run.master, b"Y")
            run.wait_text("Press Enter to quit")
            os.write(run.master, b"\n")
            expect_eq(run.finish(), 0)
            shown = OWN_SEQUENCES.sub(b"", run.sent)
            assert re.search(rb"any other key to quit\.\.\.[\r\n]+Zzzz\.\.\.\.[\r\n]", shown), run.sent
            assert (" del '%s' ..  Ok" % SHOWN).encode() in shown, run.sent
            assert b"\x1b" not in shown and b"\x07" not in shown, run.sent
            assert run.sent.endswith(b"\x1b[0m"), run.sent[-40:]
            assert not os.path.exists(os.path.join(d, "b", NAME))

    @case
    def sigterm_at_the_prompt_puts_the_terminal_back():
        with tempfile.TemporaryDirectory() as d:
            run = at_the_prompt(d)
            run.proc.send_signal(signal.SIGTERM)
            expect_eq(run.finish(), -signal.SIGTERM)
            assert run.sent.endswith(b"\x1b[0m"), run.sent[-40:]
            assert os.path.exists(os.path.join(d, "b", NAME))

    @case
    def a_crash_at_the_prompt_puts_the_terminal_back():
        # A sanitizer's own handlers of these signals are set aside, as they are not in a user's program.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + \
            ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0"
        for sig in (signal.SIGSEGV, signal.SIGBUS, signal.SIGABRT, signal.SIGFPE, signal.SIGILL):
            with tempfile.TemporaryDirectory() as d:
                run = at_the_prompt(d, env)
                run.proc.send_signal(sig)
                expect_eq(run.finish(), -sig, "how the program ended")
                assert run.sent.endswith(b"\x1b[0m"), (sig, run.sent[-40:])
                assert os.path.exists(os.path.join(d, "b", NAME))

u.finish()
