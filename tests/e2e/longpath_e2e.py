"""Both programs on trees nested past 260 and past 1,000 characters: Quorith
saves there and leaves nothing behind when it refuses, Vexolan deletes a
duplicate there; what the user sees keeps the paths as given. The Windows
programs also declare themselves long-path aware."""
import os
import re
import struct
import subprocess
import sys
import tempfile

import e2e_util as u
from e2e_util import END, HEAD, case, expect_eq, lines, read, write

u.setup(sys.argv)
WARNING = ["", "WARNING. You are going to scan every file of path specified and all subfolders",
           "Found files will be compared by hash and duplicates DELETED immediatly",
           "I hope you know what you're doing, close this window if not", "",
           ". . . . . . . . . . . . . . . . . . . . . . . . . . . . . .", "",
           "Press 'Y' to continue or any other key to quit..."]
DEPTHS = (300, 1100)  # units of the directory path as the program sees it


def deep_dir(base, units):
    """Makes and returns a directory below base whose path, as the program
    sees it, is at least `units` long (components of at most 100 characters)."""
    path = base
    while len(u.host_path(path)) < units:
        path += "/" + "d" * min(100, max(1, units - len(u.host_path(path)) - 1))
    os.makedirs(path)
    return path


def quorith(args, cwd=None):
    out, code = u.run(u.QUORITH, args, cwd=cwd)
    expect_eq(code, 0, "exit code")
    return re.sub(r"(DONE with \d+ strings, )-?\d+( ms)", r"\1N\2", out)


def saved(read_, removed, name):
    return lines(*HEAD, ". . . . . . .    File 1 of 1", "%d lines passed / %d strings removed" % (read_, removed),
                 "DONE with %d strings, N ms" % read_, "Saved as " + name if name else "Nothing removed", "", *END)


@case
def quorith_saves_in_deep_directories():
    for units in DEPTHS:
        with tempfile.TemporaryDirectory() as base:
            d = deep_dir(base, units)
            write(d + "/in.txt", b"a\nb\na\n")
            expect_eq(quorith([u.host_path(d + "/in.txt")]), saved(3, 1, "in.txt_new"), "depth %d" % units)
            expect_eq(read(d + "/in.txt_new"), b"a\r\nb\r\n")
            # Relative to the current directory, with "/" and "..". (The
            # current directory stays short: wine keeps it in a buffer of MAX_PATH.)
            os.mkdir(d + "/sub")
            write(d + "/sub/rel.txt", b"x\nx\n")
            rel = os.path.relpath(d, base) + "/sub/../sub/rel.txt"
            expect_eq(quorith([rel], cwd=base), saved(2, 1, "rel.txt_new"), "depth %d" % units)
            expect_eq(read(d + "/sub/rel.txt_new"), b"x\r\n")
            # Nothing removed: the new file is deleted again.
            write(d + "/uniq.txt", b"1\n2\n")
            expect_eq(quorith([u.host_path(d + "/uniq.txt")]), saved(2, 0, None), "depth %d" % units)
            expect_eq(sorted(os.listdir(d)), ["in.txt", "in.txt_new", "sub", "uniq.txt"])


@case
def quorith_refuses_in_deep_directories_and_leaves_nothing():
    for units in DEPTHS:
        with tempfile.TemporaryDirectory() as base:
            d = deep_dir(base, units)
            data = b"a\na\n"
            write(d + "/victim", b"victim\n")
            arrange = [
                ("a directory in the way", lambda x: os.mkdir(x + "_new")),
                ("a read-only file", lambda x: (write(x + "_new", b"old\n"), os.chmod(x + "_new", 0o444))),
                ("a symbolic link to another file", lambda x: os.symlink(d + "/victim", x + "_new")),
                ("a dangling symbolic link", lambda x: os.symlink(d + "/nowhere", x + "_new")),
            ]
            for k, (what, make) in enumerate(arrange):
                x = "%s/in%d" % (d, k)
                write(x, data)
                make(x)
                before = sorted(os.listdir(d))
                path = u.host_path(x)
                expect_eq(quorith([path]), lines(*HEAD, ". . . . . . .    File 1 of 1",
                                                 "Cannot create out file: " + path + "_new", "", *END),
                          "%s, depth %d" % (what, units))
                expect_eq(sorted(os.listdir(d)), before, what + ": nothing left behind")
                expect_eq(read(x), data, what)
            expect_eq(read(d + "/victim"), b"victim\n")
            expect_eq(read(d + "/in1_new"), b"old\n")


def vexolan_with_y(root):
    """Runs Vexolan on root, presses Y at the prompt and Enter at the end;
    returns its output. The Windows program runs in a console of its own,
    with the keys typed into that console before it starts."""
    if not u.WINDOWS:
        run = u.PtyRun(u.VEXOLAN, [root])
        run.wait_for("any other key to quit...")
        run.type(b"y")
        run.wait_for("Press Enter to quit")
        run.type(b"\n")
        return run.finish()[0]
    inject = os.path.join(os.path.dirname(u.VEXOLAN), "inject_keys.exe")
    with tempfile.TemporaryDirectory() as io_dir:
        out = os.path.join(io_dir, "out.txt")
        line = "%s y\\n & %s %s > %s" % (u.host_path(inject), u.host_path(u.VEXOLAN), u.host_path(root),
                                         u.host_path(out))
        runner = "import os, pty, sys; sys.exit(os.waitstatus_to_exitcode(pty.spawn(sys.argv[1:])))"
        subprocess.run([sys.executable, "-c", runner, "wine", "cmd", "/c", line], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        return u.decode(read(out))


@case
def vexolan_deletes_a_deep_duplicate():
    for units in DEPTHS:
        with tempfile.TemporaryDirectory() as base:
            # The scanned directory itself is deep, the copy deeper still.
            root = deep_dir(base, units)
            write(root + "/a.bin", b"same contents")
            copy_dir = deep_dir(root + "/b", units + 150)
            write(copy_dir + "/x.bin", b"same contents")
            write(copy_dir + "/other.bin", b"other contents")
            out = re.sub(r"(DONE with \d+ files, )-?\d+( ms)", r"\1N\2", vexolan_with_y(root))
            expect_eq(out, lines(*HEAD, "- PATH = " + u.host_path(root), *WARNING, "Zzzz....", " del 'x.bin' ..  Ok",
                                 "3 files passed / 1 duplicates removed [+0 failed]", "",
                                 "DONE with 3 files, N ms", *END), "depth %d" % units)
            assert not os.path.exists(copy_dir + "/x.bin"), units
            expect_eq(read(root + "/a.bin"), b"same contents")
            expect_eq(read(copy_dir + "/other.bin"), b"other contents")


def manifest(exe):
    """The application manifest of a Windows program: resource type 24
    (RT_MANIFEST), id 1, as the system looks it up when it starts the program."""
    data = read(exe)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    table = pe + 24 + optional_size
    rsrc = next((struct.unpack_from("<8s4xIII", data, table + 40 * i) for i in range(sections)
                 if data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0") == b".rsrc"), None)
    assert rsrc, "no resources"
    _, rva, size, offset = rsrc

    def entry(directory, wanted):
        named, ids = struct.unpack_from("<12xHH", data, offset + directory)
        for i in range(named + ids):
            key, target = struct.unpack_from("<II", data, offset + directory + 16 + 8 * i)
            if wanted is None or key == wanted:
                return target & 0x7FFFFFFF
        raise AssertionError("no resource %r" % wanted)

    leaf = entry(entry(entry(0, 24), 1), None)
    data_rva, data_size = struct.unpack_from("<II", data, offset + leaf)
    start = offset + data_rva - rva
    return data[start:start + data_size].decode("utf-8")


if u.WINDOWS:
    @case
    def windows_programs_are_long_path_aware():
        for exe, name in ((u.VEXOLAN, "Orlethe.Vexolan"), (u.QUORITH, "Orlethe.Quorith")):
            text = manifest(exe)
            assert re.search(r"<ws2:longPathAware>\s*true\s*</ws2:longPathAware>", text), text
            assert 'xmlns:ws2="http://schemas.microsoft.com/SMI/2016/WindowsSettings"' in text, text
            assert 'name="%s"' % name in text, text

u.finish()
