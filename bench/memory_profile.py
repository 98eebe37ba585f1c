#!/usr/bin/env python3
"""Where Vexolan's memory goes: runs it once on a copy of a corpus under
valgrind's massif, answering its prompts as bench/run does, and prints the
heap at its peak by allocation site, in bytes per file of the corpus.

  bench/memory_profile.py [--corpus F3] [--bin build/prof/bin] [--depth 30]

Build the program with debug information for readable sites, e.g.
  cmake -S . -B build/prof -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g
  cmake --build build/prof --target vexolan
massif's own figures (--heap-admin: 8 bytes of bookkeeping counted per block)
are in the output file it leaves beside the copy, for ms_print.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
sys.path.insert(0, BENCH_DIR)
import gen_corpora  # noqa: E402
import procs  # noqa: E402
from tools import Tool  # noqa: E402


def peak_snapshot(path):
    """The detailed snapshot massif marked as the peak: (heap, extra, tree lines)."""
    with open(path) as fh:
        text = fh.read()
    for block in text.split("#-----------\nsnapshot=")[1:]:
        if "heap_tree=peak" in block:
            heap = int(re.search(r"mem_heap_B=(\d+)", block).group(1))
            extra = int(re.search(r"mem_heap_extra_B=(\d+)", block).group(1))
            tree = block.split("heap_tree=peak\n", 1)[1].splitlines()
            return heap, extra, tree
    return None


# Frames of the standard library's containers, left out of a site's name.
LIBRARY_FRAME = re.compile(r"\((new_allocator|allocator|alloc_traits|stl_\w+|\w+\.tcc|hashtable\w*|"
                           r"unordered_\w+|basic_string\w*)\.h:\d+\)|\(\w+\.tcc:\d+\)|^\?\?\?")


def parse_tree(lines):
    """Massif's heap tree as nested [bytes, site, children]."""
    root, stack = None, []
    for line in lines:
        m = re.match(r"( *)n(\d+): (\d+) (.*)", line)
        if not m:
            continue
        depth = len(m.group(1))
        where = re.sub(r"^0x[0-9A-F]+: ", "", m.group(4))
        where = re.sub(r"\s*\(in /[^)]*\)", "", where)
        node = [int(m.group(3)), where, []]
        del stack[depth:]
        if stack:
            stack[-1][2].append(node)
        else:
            root = node
        stack.append(node)
    return root


def short(frame):
    """A frame as function (file:line), without its parameter list."""
    if frame.startswith("in "):
        return frame    # massif's sum of the sites below its threshold
    m = re.match(r"(.*?)\s*\(([\w.]+:\d+)\)$", frame)
    name, at = (m.group(1), m.group(2)) if m else (frame, "")
    name = re.sub(r"\(anonymous namespace\)::", "", name)
    depth, out = 0, []
    for ch in name:     # drop template arguments and parameter lists
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth -= 1
        elif depth == 0:
            out.append(ch)
    name = "".join(out).split()[-1] if "".join(out).split() else name
    return "%s %s" % (name, at) if at else name


def print_sites(node, files, total, min_share, indent=0):
    """Each allocation site at the peak with its bytes per file: a chain of
    single callers is one site, named by its first frames in our code."""
    frames = []
    while True:
        if not LIBRARY_FRAME.search(node[1]):
            frames.append(short(node[1]))
        big = [c for c in node[2] if c[0] >= total * min_share]
        if len(big) == 1 and big[0][0] == node[0]:
            node = big[0]
            continue
        break
    print("%s%8.1f B/file %7.2f MiB  %s" % ("  " * indent, node[0] / files, node[0] / 2 ** 20,
                                             " < ".join(frames[:4])))
    for c in sorted(node[2], key=lambda c: -c[0]):
        if c[0] >= total * min_share and c is not node:
            print_sites(c, files, total, min_share, indent + 1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--corpus", default="F3")
    ap.add_argument("--corpora", default=gen_corpora.default_out_dir(1))
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "prof", "bin"))
    ap.add_argument("--work", help="scratch directory (default CORPORA/work-massif)")
    ap.add_argument("--depth", type=int, default=30, help="call-stack depth massif records")
    ap.add_argument("--min-share", type=float, default=0.002,
                    help="leave out sites below this share of the peak (default 0.002)")
    ap.add_argument("--timeout", type=float, default=1800)
    ap.add_argument("--reuse", action="store_true", help="only print the last run's profile, if there is one")
    args = ap.parse_args()

    manifest = gen_corpora.load_manifest(args.corpora)
    if not manifest or args.corpus not in manifest["corpora"]:
        sys.exit("memory_profile: %s lacks %s; build it with bench/gen_corpora.py --corpus %s"
                 % (args.corpora, args.corpus, args.corpus))
    files = manifest["corpora"][args.corpus]["files"]
    work = os.path.abspath(args.work or os.path.join(args.corpora, "work-massif"))
    target = os.path.join(work, args.corpus)
    out_dir = os.path.join(work, "out")
    massif_out = os.path.join(work, "massif.out")
    s = procs.Sample()
    if not args.reuse or not os.path.exists(massif_out):
        if os.path.lexists(work):
            shutil.rmtree(work)
        os.makedirs(out_dir)
        subprocess.run(["cp", "-a", gen_corpora.corpus_path(args.corpora, args.corpus), target], check=True)
        vex = os.path.join(os.path.abspath(args.bin), "vexolan")
        argv = ["valgrind", "--tool=massif", "--depth=%d" % args.depth, "--threshold=0.1",
                "--massif-out-file=" + massif_out, vex]
        tool = Tool("vexolan-massif", "vexolan", lambda d, o: argv + [d], "", console="terminal")
        s = procs.run_vexolan(tool, target, out_dir, args.timeout)
        if s.error:
            sys.exit("memory_profile: %s" % s.error)
        shutil.rmtree(target)
    peak = peak_snapshot(massif_out)
    if peak is None:
        sys.exit("memory_profile: no peak snapshot in %s" % massif_out)
    heap, extra, tree = peak
    if s.rss_kib:
        print("%s: %d files; found %s duplicates; peak RSS under valgrind %.1f MiB" % (
            args.corpus, files, s.found, s.rss_kib / 1024))
    print("heap at its peak: %.1f MiB requested (%.1f B/file) + %.1f MiB allocator overhead "
          "(%.1f B/file, massif's estimate)" % (heap / 2 ** 20, heap / files, extra / 2 ** 20, extra / files))
    root = parse_tree(tree)
    for site in sorted(root[2], key=lambda c: -c[0]):
        if site[0] >= root[0] * args.min_share:
            print_sites(site, files, root[0], args.min_share)
    print("massif's file: %s" % massif_out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
