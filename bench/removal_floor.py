#!/usr/bin/env python3
"""How long this machine's file system takes just to remove files.

Copies a corpus to a scratch directory, then removes as many of its files
as Vexolan removes there (every file of the corpus in walk order, up to
--count), on 1 and on N threads, and prints the wall and CPU time of the
removals alone. A deleting tool can finish no sooner than this after its
first removal; a listing tool never pays it.

    bench/removal_floor.py [--corpus F1] [--count 4199] [--threads 1,16]
                           [--corpora DIR] [--work DIR] [--repeat 3]
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))


def files_of(root, count):
    found = []
    for top, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            found.append(os.path.join(top, name))
            if len(found) == count:
                return found
    return found


def remove_all(paths, threads):
    usage = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    if threads == 1:
        for p in paths:
            os.unlink(p)
    else:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(os.unlink, paths))
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = after.ru_utime - usage.ru_utime + after.ru_stime - usage.ru_stime
    return wall * 1000, cpu * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", default="F1")
    ap.add_argument("--count", type=int, default=4199)
    ap.add_argument("--threads", default="1,16")
    ap.add_argument("--corpora", default=os.path.join(BENCH_DIR, "corpora"))
    ap.add_argument("--work", default=None)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    source = os.path.join(args.corpora, args.corpus)
    if not os.path.isdir(source):
        sys.exit("removal_floor: %s not found (bench/gen_corpora.py makes it)" % source)
    work = args.work or os.path.join(args.corpora, "work")
    scratch = os.path.join(work, "removal_floor")
    print("%s: removing %d files; wall and CPU ms, median of %d" % (args.corpus, args.count, args.repeat))
    for threads in [int(t) for t in args.threads.split(",")]:
        walls, cpus = [], []
        for _ in range(args.repeat):
            shutil.rmtree(scratch, ignore_errors=True)
            os.makedirs(work, exist_ok=True)
            subprocess.run(["cp", "-a", source, scratch], check=True)
            subprocess.run(["sync"], check=True)
            time.sleep(1)
            wall, cpu = remove_all(files_of(scratch, args.count), threads)
            walls.append(wall)
            cpus.append(cpu)
        print("  %2d thread(s): wall %5.0f ms, CPU %4.0f ms" % (threads, statistics.median(walls), statistics.median(cpus)))
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
