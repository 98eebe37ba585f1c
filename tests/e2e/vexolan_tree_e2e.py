"""Vexolan on a generated tree of a few thousand files, as a user runs it: it
finishes, writes nothing to standard error (where a sanitizer reports), and
leaves exactly one copy of each distinct content."""
import hashlib
import os
import random
import sys
import tempfile

import e2e_util as u
from e2e_util import case, expect_eq

u.setup(sys.argv)
MIB = 1 << 20


def contents(rng):
    """The files' contents, each distinct one with its number of copies."""
    groups = [(b"", 150)]  # empty files: all copies of one another
    for n in range(900):  # small files, several of each size
        groups.append((rng.randbytes(rng.choice((1, 7, 100, 4096, 5000))) + b"%d" % n, rng.choice((1, 1, 2, 3, 6))))
    # Large files of one size sharing their first megabyte: a few contents
    # told apart byte for byte, and more than a handful told apart by hash.
    head = rng.randbytes(MIB)
    for size, distinct, copies in ((3 * MIB, 3, 3), (MIB + 4096, 10, 2)):
        groups += [(head + rng.randbytes(size - MIB), copies) for _ in range(distinct)]
    return groups


def generate(root, rng):
    dirs = [root]
    for n in range(120):  # nested directories, up to five deep
        parent = rng.choice([d for d in dirs if d.count(os.sep) - root.count(os.sep) < 5])
        dirs.append(os.path.join(parent, "d%d" % n))
        os.mkdir(dirs[-1])
    groups = contents(rng)
    n = 0
    for data, copies in groups:
        for _ in range(copies):
            with open(os.path.join(rng.choice(dirs), "f%d.bin" % n), "wb") as f:
                f.write(data)
            n += 1
    return n, len(groups)


def surviving(root):
    digests = []
    for top, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(top, name), "rb") as f:
                digests.append(hashlib.md5(f.read()).hexdigest())
    return digests


if not u.WINDOWS:  # thousands of files under an emulated wine would take too long
    @case
    def one_copy_of_each_content_remains():
        with tempfile.TemporaryDirectory() as d:
            files, distinct = generate(d, random.Random(7))
            run = u.PtyRun(u.VEXOLAN, [d])
            run.wait_for("any other key to quit...", timeout=120)
            run.type(b"y")
            run.wait_for("Press Enter to quit", timeout=500)
            run.type(b"\n")
            out, code = run.finish(timeout=120)
            if run.errors:  # a sanitizer's report, shown as it was written
                raise AssertionError("standard error:\n" + run.errors)
            expect_eq(code, 0, "exit code")
            summary = "%d files passed / %d duplicates removed [+0 failed]" % (files, files - distinct)
            assert summary in out, out[-2000:]
            left = surviving(d)
            expect_eq(len(left), distinct, "files left")
            expect_eq(len(set(left)), distinct, "distinct contents left")

u.finish()
