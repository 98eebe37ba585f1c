#!/usr/bin/env python3
"""Builds the benchmark corpora, the same bytes on any machine.

  F1  about 20,000 files (about 1 GiB) in a tree up to 5 levels deep: many small
      files, some up to 1 MiB, a few of 1-8 MiB; about 20% exact copies in groups
      of 1-12 spread over the tree; some empty files; same-size near-duplicates
      that differ in one byte in their second half.
  F2  200 files of 8 MiB, 50 of them exact copies.
  F3  F1's shape at ten times the count: 200,000 small files (64 B - 8 KiB) in
      20,000 directories, 20% exact copies, 2% near-duplicates.
  F4  eight files of 64 MiB with one size and one first quarter, splitting in two
      at 1/4, 1/2 and 3/4 of their length, plus exact copies of two of them.
  F5  six files of 48 MiB with one size and one first block, each differing from
      the others only in a 4 KiB block in the middle.
  F6  F3's shape at five times the count: 1,000,000 small files in 100,000
      directories, 20% exact copies.
  T1  a copy of this machine's /usr/include, taken once (regular files only).
  T2  a copy of this machine's /usr/share, taken once (regular files only).
  L1  2,000,000 LF-terminated lines of random words, 30% of them repeats, shuffled.
  L2  1,000,000 distinct zero-padded numbers in ascending order.
  L3  L1's shape at ten times the count: 20,000,000 lines (about 600 MB).
  L4  200,000,000 lines (about 6 GB), 90% of them distinct: built only when named.
  R1  real text of this machine: every copyright file under /usr/share/doc and
      every header under /usr/include, concatenated in path order.
  R2  real code of this machine: every Python source under /usr/lib/python3*,
      concatenated in path order.

R1 and R2 come from the machine's own files, so they are built once and kept:
a corpus found complete is never rebuilt, and runs compare the same bytes.
Carriage returns and zero bytes are left out of them (and a byte-order mark at
their start), so that every tool splits them into the same lines.

Every decision comes from random.Random(seed).random(), whose sequence Python
keeps stable across versions, turned into integers with plain arithmetic (no
library shuffle, no transcendental functions, no hash-ordered iteration). File
bytes come from SHAKE-128 keyed by the seed and a content number or a segment
name. T1 and T2 are real trees instead: copied once, then kept, so that every
run compares the same bytes; their expected duplicates come from a reference
that groups the copy's files by size, then by their bytes. --scale shrinks every count (and F4/F5's file size) for quick runs;
--corpus builds only the named corpora (F3 and L3 take a few minutes). A
manifest beside the corpora records what was built and the results to expect;
a corpus found complete is not rebuilt.
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import sys
import time

FORMAT_VERSION = 1
DEFAULT_SEED = 8
BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
KIB = 1024
MIB = 1024 * KIB

EXTENSIONS = (".txt", ".jpg", ".png", ".pdf", ".doc", ".mp3", ".dat", ".bin",
              ".log", ".xml", ".html", ".c", ".h", ".zip", ".csv", ".json", "")
CONSONANTS = "bcdfghjklmnprstvwxz"
VOWELS = "aeiouy"


def default_out_dir(scale):
    """bench/corpora for the full corpora, bench/corpora/scale-S for others."""
    base = os.path.join(BENCH_DIR, "corpora")
    return base if scale == 1 else os.path.join(base, "scale-%g" % scale)


class Rng:
    """Seeded integers built only on random(), so the stream never changes."""

    def __init__(self, seed):
        self._random = random.Random(seed).random

    def below(self, n):
        return int(self._random() * n)

    def between(self, lo, hi):
        return lo + self.below(hi - lo + 1)

    def chance(self, p):
        return self._random() < p

    def octave_size(self, lo, hi):
        """A size spread evenly over the octaves from lo to hi (powers of two)."""
        octaves = (hi // lo).bit_length() - 1
        base = lo << self.below(octaves)
        return base + self.below(base)

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            j = self.below(i + 1)
            items[i], items[j] = items[j], items[i]

    def word(self, syllables_lo=1, syllables_hi=3):
        parts = []
        for _ in range(self.between(syllables_lo, syllables_hi)):
            parts.append(CONSONANTS[self.below(len(CONSONANTS))])
            parts.append(VOWELS[self.below(len(VOWELS))])
            if self.chance(0.3):
                parts.append(CONSONANTS[self.below(len(CONSONANTS))])
        return "".join(parts)


def content(seed, corpus, number, size):
    """The bytes of content number `number` of a corpus."""
    if size == 0:
        return b""
    key = b"orlethe-bench/%d/%s/%d" % (seed, corpus.encode(), number)
    return hashlib.shake_128(key).digest(size)


class Namer:
    """Unique file and directory names per directory, some capitalised or with blanks."""

    def __init__(self, rng):
        self.rng = rng
        self.taken = {}

    def _styled(self, text):
        r = self.rng.below(10)
        if r < 3:
            return text.capitalize()
        if r == 3:
            return text.upper()
        return text

    def _fresh(self, directory, make):
        used = self.taken.setdefault(directory, set())
        while True:
            name = make()
            if name.lower() not in used:  # also unique on case-insensitive file systems
                used.add(name.lower())
                return name

    def dir_name(self, directory):
        return self._fresh(directory, lambda: self._styled(self.rng.word(1, 3)))

    def file_name(self, directory, wanted=None):
        if wanted is not None and wanted.lower() not in self.taken.setdefault(directory, set()):
            self.taken[directory].add(wanted.lower())
            return wanted

        def make():
            stem = self._styled(self.rng.word(1, 3))
            if self.rng.chance(0.15):
                stem += " " + self.rng.word(1, 2)
            if self.rng.chance(0.25):
                stem += "_%d" % self.rng.below(1000)
            return stem + EXTENSIONS[self.rng.below(len(EXTENSIONS))]

        return self._fresh(directory, make)


def make_tree(rng, namer, dir_count, max_depth):
    """Relative directory paths ('' is the root), each below a random shallower one."""
    dirs = [("", 0)]
    while len(dirs) < dir_count:
        parent, depth = dirs[rng.below(len(dirs))]
        if depth >= max_depth:
            continue
        name = namer.dir_name(parent)
        dirs.append((os.path.join(parent, name) if parent else name, depth + 1))
    return [d for d, _ in dirs]


def copies_in_group(rng):
    """1 to 12 copies, small groups far more common than big ones."""
    weights = [60, 30, 20, 12, 8, 6, 5, 4, 3, 3, 2, 2]
    pick = rng.below(sum(weights))
    for k, w in enumerate(weights, 1):
        if pick < w:
            return k
        pick -= w
    return 1


class TreeShape:
    """Counts and sizes of a tree of many files (F1, F3)."""

    def __init__(self, files, dirs, max_depth, size_bands, empty_share, min_empty):
        self.files, self.dirs, self.max_depth = files, dirs, max_depth
        self.size_bands = size_bands    # (per mille up to, low size, high size), last reaches 1000
        self.empty_share, self.min_empty = empty_share, min_empty


F1_SHAPE = TreeShape(20000, 1000, 5, ((837, 64, 16 * KIB), (997, 16 * KIB, 1 * MIB), (1000, 1 * MIB, 8 * MIB)),
                     0.01, 2)
F3_SHAPE = TreeShape(200000, 20000, 5, ((1000, 64, 8 * KIB),), 0.0, 0)
F6_SHAPE = TreeShape(1000000, 100000, 5, ((1000, 64, 8 * KIB),), 0.0, 0)


def plan_tree(seed, scale, stream, shape):
    """The files of a tree corpus as (relative path, content number, size, flipped byte or None)."""
    rng = Rng(seed * 1000 + stream)
    namer = Namer(rng)
    total = max(40, round(shape.files * scale))
    dirs = make_tree(rng, namer, max(4, round(shape.dirs * scale)), shape.max_depth)
    n_copies = round(total * 0.20)
    n_empty = max(shape.min_empty, round(total * shape.empty_share))
    n_near = max(2, round(total * 0.02))
    n_primary = total - n_copies - n_empty - n_near

    def random_dir():
        return dirs[rng.below(len(dirs))]

    def place(directory, wanted=None):
        return os.path.join(directory, namer.file_name(directory, wanted))

    files = []   # (relative path, content number, size, flip) with flip = (offset, xor) or None
    primaries = []
    for number in range(1, n_primary + 1):
        r = rng.below(1000) if len(shape.size_bands) > 1 else 0
        lo, hi = next((lo, hi) for upto, lo, hi in shape.size_bands if r < upto)
        size = rng.octave_size(lo, hi)
        path = place(random_dir())
        primaries.append((path, number, size))
        files.append((path, number, size, None))
    for _ in range(n_empty):
        files.append((place(random_dir()), 0, 0, None))
    # Exact copies: groups of 1-12 copies of distinct primaries; big files get few.
    pool = list(range(len(primaries)))
    rng.shuffle(pool)
    made = 0
    groups = 0
    while made < n_copies and pool:
        path, number, size = primaries[pool.pop()]
        k = min(copies_in_group(rng), n_copies - made)
        if size > MIB:
            k = min(k, 2)
        name = os.path.basename(path)
        for _ in range(k):
            files.append((place(random_dir(), name if rng.chance(0.5) else None), number, size, None))
        made += k
        groups += 1
    # Near-duplicates: same size as a primary, one byte changed in its second half,
    # so that a first-block comparison cannot tell them apart.
    near_sources = [i for i in pool if primaries[i][2] >= 2][:n_near]
    for i in near_sources:
        path, number, size = primaries[i]
        offset = size // 2 + rng.below(size - size // 2)
        files.append((place(random_dir()), number, size, (offset, 1 + rng.below(255))))
    expect = {
        "files": len(files),
        "dirs": len(dirs),
        "bytes": sum(f[2] for f in files),
        "copies": made,
        "copy_groups": groups,
        "empty_files": n_empty,
        "near_duplicates": len(near_sources),
        # What a tool that counts empty files as duplicates finds, and one that skips them.
        "duplicates_with_empty": made + max(0, n_empty - 1),
        "duplicates_without_empty": made,
    }
    return dirs, files, expect


def plan_f1(seed, scale):
    return plan_tree(seed, scale, 1, F1_SHAPE)


def plan_f3(seed, scale):
    return plan_tree(seed, scale, 5, F3_SHAPE)


def plan_f6(seed, scale):
    return plan_tree(seed, scale, 16, F6_SHAPE)


def big_file_size(full, scale):
    """`full` bytes scaled, a whole number of 64 KiB blocks and at least 1 MiB."""
    return max(16, round(full * scale / (64 * KIB))) * 64 * KIB


def plan_f4(seed, scale):
    """Eight files that split in two at each quarter mark: the quarter after
    mark k (k = 1, 2, 3) is chosen by the top k bits of the file's number, so
    two files differ from the first mark where their numbers part. Files 0 and
    5 get an exact copy each. A content here is a tuple of named segments."""
    size = big_file_size(64 * MIB, scale)
    q = size // 4
    dirs = ["a", "b"]
    files = []
    for n in range(8):
        segments = (("head", q),) + tuple(("q%d-%s" % (k, format(n >> (3 - k), "b")), q) for k in (1, 2, 3))
        files.append((os.path.join(dirs[n % 2], "image%d.bin" % n), segments, size, None))
    for n in (0, 5):
        files.append((os.path.join(dirs[(n + 1) % 2], "copy of image%d.bin" % n), files[n][1], size, None))
    expect = {"files": len(files), "dirs": len(dirs) + 1, "bytes": sum(f[2] for f in files),
              "copies": 2, "empty_files": 0, "duplicates_with_empty": 2, "duplicates_without_empty": 2}
    return dirs, files, expect


def plan_f5(seed, scale):
    """Six files that are one file with a different 4 KiB block in the middle."""
    size = big_file_size(48 * MIB, scale)
    mid = size // 2
    block = 4 * KIB
    files = []
    for n in range(6):
        segments = (("head", mid), ("middle-%d" % n, block), ("tail", size - mid - block))
        files.append(("snapshot%d.db" % n, segments, size, None))
    expect = {"files": len(files), "dirs": 1, "bytes": sum(f[2] for f in files),
              "copies": 0, "empty_files": 0, "duplicates_with_empty": 0, "duplicates_without_empty": 0}
    return [""], files, expect


def plan_f2(seed, scale):
    rng = Rng(seed * 1000 + 2)
    namer = Namer(rng)
    total = max(4, round(200 * scale))
    n_copies = total // 4
    dirs = ["d%02d" % i for i in range(max(1, min(10, total // 20)))]
    files = []
    for number in range(1, total - n_copies + 1):
        d = dirs[rng.below(len(dirs))]
        files.append((os.path.join(d, namer.file_name(d)), number, 8 * MIB, None))
    originals = list(files)
    for _ in range(n_copies):
        _, number, size, _ = originals[rng.below(len(originals))]
        d = dirs[rng.below(len(dirs))]
        files.append((os.path.join(d, namer.file_name(d)), number, size, None))
    expect = {
        "files": len(files), "dirs": len(dirs) + 1, "bytes": sum(f[2] for f in files),
        "copies": n_copies, "empty_files": 0,
        "duplicates_with_empty": n_copies, "duplicates_without_empty": n_copies,
    }
    return dirs, files, expect


def write_files(root, seed, corpus, dirs, files):
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    # Build each content once and write all of its files.
    by_content = {}
    order = []
    for f in files:
        if f[1] not in by_content:
            by_content[f[1]] = []
            order.append(f[1])
        by_content[f[1]].append(f)
    segments = {}
    for number in order:
        group = by_content[number]
        if isinstance(number, tuple):
            for name, length in number:
                if name not in segments:
                    key = b"orlethe-bench/%d/%s/%s" % (seed, corpus.encode(), name.encode())
                    segments[name] = hashlib.shake_128(key).digest(length)
            data = b"".join(segments[name] for name, _ in number)
        else:
            data = content(seed, corpus, number, group[0][2])
        for path, _, _, flip in group:
            out = data
            if flip is not None:
                offset, xor = flip
                changed = bytearray(data)
                changed[offset] ^= xor
                out = changed
            with open(os.path.join(root, path), "wb", buffering=0) as fh:
                fh.write(out)


def write_lines(path, lines):
    with open(path, "wb") as fh:
        chunk = []
        for i, line in enumerate(lines, 1):
            chunk.append(line)
            if i % 65536 == 0:
                fh.write(("\n".join(chunk) + "\n").encode("ascii"))
                chunk = []
        if chunk:
            fh.write(("\n".join(chunk) + "\n").encode("ascii"))


def distinct_words(rng, count):
    """`count` distinct random words of 2-8 letters, in the order drawn."""
    vocabulary = []
    seen_words = set()
    while len(vocabulary) < count:
        w = rng.word(1, 3)
        if 2 <= len(w) <= 8 and w not in seen_words:
            seen_words.add(w)
            vocabulary.append(w)
    return vocabulary


def build_words(path, seed, scale, stream, full_count):
    """Lines of 3-6 random words, 30% of them repeats, shuffled."""
    rng = Rng(seed * 1000 + stream)
    total = max(100, round(full_count * scale))
    repeats = round(total * 0.30)
    distinct = total - repeats
    vocabulary = distinct_words(rng, 30000)
    lines = []
    seen = set()
    while len(lines) < distinct:
        line = " ".join(vocabulary[rng.below(len(vocabulary))] for _ in range(rng.between(3, 6)))
        if line not in seen:
            seen.add(line)
            lines.append(line)
    for _ in range(repeats):
        lines.append(lines[rng.below(distinct)])
    rng.shuffle(lines)
    write_lines(path, lines)
    return {"lines": total, "distinct": distinct, "repeats": repeats, "bytes": os.path.getsize(path)}


def build_l1(path, seed, scale):
    return build_words(path, seed, scale, 3, 2000000)


def build_l3(path, seed, scale):
    return build_words(path, seed, scale, 6, 20000000)


def build_l4(path, seed, scale):
    """200,000,000 lines, 10% of them repeats of an earlier line: two words and
    a number that a bijection of the line's rank gives, so that the lines are
    distinct by construction and nothing of them is held to write them."""
    rng = Rng(seed * 1000 + 7)
    total = max(100, round(200000000 * scale))
    words = [w.encode("ascii") + b" " for w in distinct_words(rng, 4096)]

    def line(k):
        p = (k * 2654435761 + seed) & 0xFFFFFFFF  # odd multiplier: one p per k below 2**32
        return b"%s%s%08x" % (words[p & 4095], words[(p >> 12) & 4095], p)

    random_ = rng._random
    distinct = 0
    size = 0
    with open(path, "wb") as fh:
        done = 0
        while done < total:
            n = min(65536, total - done)
            chunk = []
            append = chunk.append
            for _ in range(n):
                if distinct and random_() < 0.10:
                    append(line(int(random_() * distinct)))
                else:
                    append(line(distinct))
                    distinct += 1
            data = b"\n".join(chunk) + b"\n"
            fh.write(data)
            size += len(data)
            done += n
    return {"lines": total, "distinct": distinct, "repeats": total - distinct, "bytes": size}


def build_l2(path, seed, scale):
    rng = Rng(seed * 1000 + 4)
    total = max(100, round(1000000 * scale))
    value = 1000000
    lines = []
    for _ in range(total):
        value += 1 + rng.below(999)
        lines.append("%012d" % value)
    write_lines(path, lines)
    return {"lines": total, "distinct": total, "repeats": 0, "bytes": os.path.getsize(path)}


def plan_digest(files):
    h = hashlib.sha256()
    for path, number, size, flip in files:
        h.update(("%s\0%s\0%d\0%r\n" % (path.replace(os.sep, "/"), number, size, flip)).encode())
    return h.hexdigest()


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        while True:
            block = fh.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


def tree_stats(root):
    count = size = 0
    for d, _, names in os.walk(root):
        for n in names:
            count += 1
            size += os.lstat(os.path.join(d, n)).st_size
    return count, size


def machine_sources(roots, wanted):
    """The regular files below `roots` whose names `wanted` accepts, in path order."""
    found = []
    for root in roots:
        for d, dirs, names in os.walk(root):
            dirs.sort()
            for n in names:
                p = os.path.join(d, n)
                if wanted(n) and os.path.isfile(p) and not os.path.islink(p):
                    found.append(p)
    return sorted(found)


def build_machine(path, scale, sources):
    """Concatenates the machine's files (each ending in LF), without CR and zero
    bytes; with a scale below 1 only that share of the bytes, cut at a line end."""
    data = bytearray()
    for p in sources:
        try:
            with open(p, "rb") as fh:
                b = fh.read()
        except OSError:
            continue
        b = b.replace(b"\r", b"").replace(b"\0", b"")
        if b and not b.endswith(b"\n"):
            b += b"\n"
        data += b
    for mark in (b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"):
        if data.startswith(mark):
            del data[:len(mark)]
    if scale < 1:
        cut = data.rfind(b"\n", 0, max(1, int(len(data) * scale))) + 1
        del data[cut:]
    with open(path, "wb") as fh:
        fh.write(data)
    lines = bytes(data).split(b"\n")[:-1]
    distinct = len(set(lines))
    return {"lines": len(lines), "distinct": distinct, "repeats": len(lines) - distinct, "bytes": len(data),
            "sources": len(sources)}


def build_r1(path, seed, scale):
    return build_machine(path, scale, machine_sources(["/usr/share/doc"], lambda n: n == "copyright") +
                         machine_sources(["/usr/include"], lambda n: n.endswith(".h")))


def build_r2(path, seed, scale):
    roots = sorted(os.path.join("/usr/lib", d) for d in os.listdir("/usr/lib") if d.startswith("python3"))
    return build_machine(path, scale, machine_sources(roots, lambda n: n.endswith(".py")))


def load_manifest(out):
    try:
        with open(os.path.join(out, "manifest.json")) as fh:
            return json.load(fh)
    except (OSError, ValueError):
        return None


# ---------------------------------------------------------------- real trees (T1, T2)

# Real trees of this machine, copied once into the corpus folder: every later run
# compares the same bytes, whatever the system's packages do to the originals.
REAL_TREES = {"T1": "/usr/include", "T2": "/usr/share"}
ASCII_FOLD = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


ASCII_FOLD[ord("/")] = ord("\\")   # the separator ranks as Windows' backslash


def keep_key(rel):
    """Vexolan's order of paths below one directory: A to Z folded to a to z and
    the separator ranked as a backslash, then UTF-16 code unit by code unit
    (big-endian bytes compare as units)."""
    return rel.translate(ASCII_FOLD).encode("utf-16-be", "surrogatepass")


def real_tree_disk_bytes(name):
    """Roughly what a copy of the tree takes: a block per directory, whole blocks per file."""
    total = 0
    for d, _, names in os.walk(REAL_TREES[name]):
        total += 4 * KIB
        for n in names:
            try:
                st = os.lstat(os.path.join(d, n))
            except OSError:
                continue
            total += -(-st.st_size // (4 * KIB)) * 4 * KIB
    return total + 64 * MIB


def copy_real_tree(src, dst):
    """Copies the regular files and directories of src (links, devices and
    unreadable files left out, hard links broken) with plain modes; returns what
    was left out."""
    skipped = {"links": 0, "other": 0, "unreadable": 0}
    os.makedirs(dst)
    todo = [""]
    while todo:
        rel = todo.pop()
        try:
            entries = sorted(os.scandir(os.path.join(src, rel)), key=lambda e: e.name)
        except OSError:
            skipped["unreadable"] += 1
            continue
        for e in entries:
            child = os.path.join(rel, e.name) if rel else e.name
            if e.is_symlink():
                skipped["links"] += 1
            elif e.is_dir(follow_symlinks=False):
                os.mkdir(os.path.join(dst, child), 0o755)
                todo.append(child)
            elif e.is_file(follow_symlinks=False):
                try:
                    with open(e.path, "rb") as fh:
                        data = fh.read()
                except OSError:
                    skipped["unreadable"] += 1
                    continue
                with open(os.path.join(dst, child), "wb", buffering=0) as out:
                    out.write(data)
                os.chmod(os.path.join(dst, child), 0o644)
            else:
                skipped["other"] += 1
    return skipped


def reference_groups(root):
    """The copy's groups of identical files, found independently of the tools:
    by size, then by the SHA-256 of the bytes of each same-size file. Each group
    is sorted in Vexolan's order, so its first path is the one that stays.
    Returns (groups, file count, directory count, bytes)."""
    by_size = {}
    files = dirs = size_sum = 0
    for d, _, names in os.walk(root):
        dirs += 1
        for n in names:
            p = os.path.join(d, n)
            size = os.lstat(p).st_size
            files += 1
            size_sum += size
            by_size.setdefault(size, []).append(os.path.relpath(p, root).replace(os.sep, "/"))
    groups = []
    for size in sorted(by_size):
        paths = by_size[size]
        if len(paths) < 2:
            continue
        by_digest = {}
        for rel in paths:
            by_digest.setdefault(file_digest(os.path.join(root, rel)), []).append(rel)
        for digest in sorted(by_digest):
            same = by_digest[digest]
            if len(same) > 1:
                groups.append({"size": size, "paths": sorted(same, key=keep_key)})
    return groups, files, dirs, size_sum


def reference_path(out, name):
    return os.path.join(out, name + ".groups.json")


def load_reference(out, name):
    """The recorded groups of identical files of a real tree (lists of relative paths)."""
    with open(reference_path(out, name)) as fh:
        return [g["paths"] for g in json.load(fh)["groups"]]


def real_tree_complete(out, name, entry):
    try:
        digest = file_digest(reference_path(out, name))
    except OSError:
        return False
    return digest == entry.get("groups_sha256") and \
        tree_stats(corpus_path(out, name)) == (entry["files"], entry["bytes"])


def remove_paths(*paths):
    """Removes what stands at each path: a tree, a file or a link."""
    for p in paths:
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.remove(p)


def build_real_tree(out, name, log):
    """Copies the tree, finds its duplicates and records both; the manifest entry."""
    t = time.monotonic()
    final = corpus_path(out, name)
    partial = final + ".partial"
    remove_paths(final, partial)
    skipped = copy_real_tree(REAL_TREES[name], partial)
    os.rename(partial, final)
    groups, files, dirs, size_sum = reference_groups(final)
    with open(reference_path(out, name), "w") as fh:
        json.dump({"reference": "size, then SHA-256 of the bytes", "groups": groups}, fh, indent=0)
        fh.write("\n")
    empty = [g for g in groups if g["size"] == 0]
    dup_empty = sum(len(g["paths"]) - 1 for g in empty)
    dups = sum(len(g["paths"]) - 1 for g in groups)
    # Paths that differ only in case sort as equals: which of them stays is not
    # fixed by the order, so the check accepts either.
    ties = sum(1 for g in groups if len(g["paths"]) > 1 and keep_key(g["paths"][0]) == keep_key(g["paths"][1]))
    info = {
        "source": REAL_TREES[name], "files": files, "dirs": dirs, "bytes": size_sum,
        "skipped": skipped, "copies": dups - dup_empty, "copy_groups": len(groups) - len(empty),
        "empty_files": sum(len(g["paths"]) for g in empty), "tied_groups": ties,
        "duplicates_with_empty": dups, "duplicates_without_empty": dups - dup_empty,
        "reference": "size, then SHA-256 of the bytes",
        "groups_sha256": file_digest(reference_path(out, name)),
    }
    log("%s: copy of %s, %d files, %.1f MiB, %d duplicates (%d of them empty) in %.1f s"
        % (name, REAL_TREES[name], files, size_sum / MIB, dups, dup_empty, time.monotonic() - t))
    return info


FILE_CORPORA = {"F1": plan_f1, "F2": plan_f2, "F3": plan_f3, "F4": plan_f4, "F5": plan_f5, "F6": plan_f6}
LINE_CORPORA = {"L1": build_l1, "L2": build_l2, "L3": build_l3, "L4": build_l4, "R1": build_r1, "R2": build_r2}
# Built from the machine's own files: kept once built, whatever the seed.
MACHINE_CORPORA = ("R1", "R2", "T1", "T2")
ALL_CORPORA = ("F1", "F2", "F3", "F4", "F5", "F6", "T1", "T2", "L1", "L2", "L3", "R1", "R2")
# Built and run only when named: L4 takes 6 GB and most of an hour.
NAMED_ONLY = ("L4",)
# Rough bytes on disk at scale 1 (small files take a block each).
DISK_BYTES = {"F1": 20000 * 56 * KIB, "F2": 200 * 8 * MIB, "F3": 200000 * 6 * KIB, "F4": 640 * MIB,
              "F5": 288 * MIB, "F6": 1000000 * 5 * KIB, "L1": 60e6, "L2": 13e6, "L3": 600e6,
              "R1": 150e6, "R2": 50e6, "L4": 6.2e9}


def corpus_path(out, name):
    return os.path.join(out, name if name in FILE_CORPORA or name in REAL_TREES else name + ".txt")


def plan(name, seed, scale):
    """The planned files of a file corpus: (dirs, files, expected counts)."""
    return FILE_CORPORA[name](seed, scale)


def is_complete(out, manifest, name):
    """True when the manifest records `name` and it is on disk as recorded."""
    e = manifest["corpora"].get(name) if manifest else None
    if not e:
        return False
    path = corpus_path(out, name)
    if name in REAL_TREES:
        return real_tree_complete(out, name, e)
    if name in FILE_CORPORA:
        return tree_stats(path) == (e["files"], e["bytes"])
    return os.path.isfile(path) and os.path.getsize(path) == e["bytes"]


def write_manifest(out, manifest):
    path = os.path.join(out, "manifest.json")
    with open(path + ".partial", "w") as fh:
        json.dump(manifest, fh, indent=2, sort_keys=True)
        fh.write("\n")
    os.replace(path + ".partial", path)


def generate(out, seed=DEFAULT_SEED, scale=1.0, force=False, log=print, names=ALL_CORPORA):
    """Builds (or finds complete) the named corpora in `out`; returns the manifest,
    which also keeps the corpora built before with the same seed and scale."""
    out = os.path.abspath(out)
    manifest = load_manifest(out)
    if not manifest or manifest.get("format") != FORMAT_VERSION or \
            manifest.get("seed") != seed or manifest.get("scale") != scale:
        kept = {}
        if manifest and manifest.get("format") == FORMAT_VERSION and manifest.get("scale") == scale:
            kept = {n: e for n, e in manifest["corpora"].items() if n in MACHINE_CORPORA}
        manifest = {"format": FORMAT_VERSION, "seed": seed, "scale": scale, "corpora": kept}
    # The machine's corpora are kept even with --force: a rebuild would not give the same bytes.
    todo = [n for n in names if not is_complete(out, manifest, n) or (force and n not in MACHINE_CORPORA)]
    if not todo:
        log("corpora %s in %s are complete (seed %d, scale %g)" % (",".join(names), out, seed, scale))
        return manifest
    os.makedirs(out, exist_ok=True)
    need = int(sum(DISK_BYTES[n] for n in todo if n not in REAL_TREES) * scale) + 64 * MIB
    need += sum(real_tree_disk_bytes(n) for n in todo if n in REAL_TREES)
    free = shutil.disk_usage(out).free
    if free < need:
        sys.exit("gen_corpora: %s has %.1f GiB free, %s need about %.1f GiB"
                 % (out, free / 1024 ** 3, ",".join(todo), need / 1024 ** 3))
    for name in todo:
        t = time.monotonic()
        manifest["corpora"].pop(name, None)
        write_manifest(out, manifest)
        if name in REAL_TREES:
            manifest["corpora"][name] = build_real_tree(out, name, log)
            write_manifest(out, manifest)
            continue
        final = corpus_path(out, name)
        partial = final + ".partial"
        remove_paths(final, partial)
        if name in FILE_CORPORA:
            dirs, files, info = plan(name, seed, scale)
            write_files(partial, seed, name, dirs, files)
            os.rename(partial, final)
            info["plan_sha256"] = plan_digest(files)
            log("%s: %d files, %.1f MiB in %.1f s" % (name, info["files"], info["bytes"] / MIB,
                                                       time.monotonic() - t))
        else:
            info = LINE_CORPORA[name](partial, seed, scale)
            os.rename(partial, final)
            info["sha256"] = file_digest(final)
            log("%s: %d lines, %.1f MB in %.1f s" % (name, info["lines"], info["bytes"] / 1e6,
                                                     time.monotonic() - t))
        manifest["corpora"][name] = info
        write_manifest(out, manifest)
    return manifest


def parse_corpora(text):
    """'F1,l2' or 'all' as corpus names in their usual order; ValueError for unknown ones."""
    if text.strip().lower() == "all":
        return ALL_CORPORA
    wanted = {c.strip().upper() for c in text.split(",") if c.strip()}
    known = ALL_CORPORA + NAMED_ONLY
    bad = sorted(wanted - set(known))
    if bad:
        raise ValueError("unknown corpus %s (known: %s)" % (",".join(bad), ",".join(known)))
    return tuple(n for n in known if n in wanted)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiply every count by this (e.g. 0.01 for a quick test)")
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED)
    ap.add_argument("--out", help="directory for the corpora (default bench/corpora, "
                                  "or bench/corpora/scale-S when --scale is not 1)")
    ap.add_argument("--corpus", default="F1,F2,F4,F5,L1,L2",
                    help="comma-separated corpora to build, or 'all' (default F1,F2,F4,F5,L1,L2; "
                         "known: %s)" % ",".join(ALL_CORPORA))
    ap.add_argument("--force", action="store_true", help="rebuild even when complete")
    args = ap.parse_args()
    if args.scale <= 0:
        ap.error("--scale must be positive")
    try:
        names = parse_corpora(args.corpus)
    except ValueError as e:
        ap.error(str(e))
    out = args.out or default_out_dir(args.scale)
    generate(out, args.seed, args.scale, args.force, names=names)
    return 0


if __name__ == "__main__":
    sys.exit(main())
