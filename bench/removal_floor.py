#!/usr/bin/env python3
"""How long this machine's file system takes just to remove files.

Copies a corpus to a scratch directory, then removes as many of its files
as Vexolan removes there (--count files spread evenly over the corpus in
walk order, as its copies are), on 1 and on N threads, and prints the wall
and CPU time of the removals alone. The removals are made by the driver
bench/remove_files, as Vexolan's deletion threads make them (the file held,
its name checked, then removed), without comparing any bytes; it is built in
--build (default build/bench) when missing. A deleting tool can finish no
sooner than this after its first removal; a listing tool never pays it.

    bench/removal_floor.py [--corpus F1] [--count 4199] [--threads 1,16]
                           [--corpora DIR] [--work DIR] [--repeat 3] [--build DIR]
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)


def build_driver(build_dir):
    if not os.path.exists(os.path.join(build_dir, "build.ninja")):
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DORLETHE_BENCH=ON", "-DORLETHE_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["nice", "cmake", "--build", build_dir, "--target", "remove_files"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bin", "remove_files")


def files_of(root, count):
    """`count` files spread evenly over the walk (directories and names in order)."""
    every = []
    for top, dirs, names in os.walk(root):
        dirs.sort()
        every.extend(os.path.join(top, name) for name in sorted(names))
    if count >= len(every):
        return every
    step = len(every) / count
    return [every[int(k * step)] for k in range(count)]


def remove_all(driver, root, paths, threads):
    """Wall and CPU ms of the driver's removals (the list is piped in, not read)."""
    data = "".join(p + "\n" for p in paths).encode()
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run([driver, root, str(threads)], input=data, stdout=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit("removal_floor: %s" % done.stdout.decode().strip())
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
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    args = ap.parse_args()
    driver = build_driver(os.path.abspath(args.build))
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
            wall, cpu = remove_all(driver, scratch, files_of(scratch, args.count), threads)
            walls.append(wall)
            cpus.append(cpu)
        print("  %2d thread(s): wall %5.0f ms, CPU %4.0f ms" % (threads, statistics.median(walls), statistics.median(cpus)))
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
