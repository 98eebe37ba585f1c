"""Quorith end to end: real files in a temporary directory, output decoded."""
import os
import re
import subprocess
import sys
import tempfile

import e2e_util as u
from e2e_util import END, HEAD, case, expect_eq, lines, read, write

u.setup(sys.argv)


def quorith(*paths, stdin=b""):
    out, code = u.run(u.QUORITH, [u.host_path(p) for p in paths], stdin)
    expect_eq(code, 0, "exit code")
    return re.sub(r"(DONE with \d+ strings, )-?\d+( ms)", r"\1N\2", out)


def file_block(i, n, read_, removed, saved_name=None):
    return ([". . . . . . .    File %d of %d" % (i, n), "%d lines passed / %d strings removed" % (read_, removed),
             "DONE with %d strings, N ms" % read_] + (["Saved as " + saved_name] if saved_name else ["Nothing removed"])
            + [""])


@case
def no_parameter():
    expect_eq(quorith(), lines(*HEAD, "Error: no files specified", *END))


@case
def bad_inputs_leave_nothing_behind():
    with tempfile.TemporaryDirectory() as d:
        os.mkdir(d + "/dir")
        out = quorith(d + "/dir", d + "/missing")
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 2", "File not found or invalid: " + u.host_path(d + "/dir"),
                             "", ". . . . . . .    File 2 of 2",
                             "File not found or invalid: " + u.host_path(d + "/missing"), "", *END))
        expect_eq(sorted(os.listdir(d)), ["dir"])
        # An output path that cannot be created: a directory stands in its way.
        write(d + "/in.txt", b"a\r\na\r\n")
        os.mkdir(d + "/in.txt_new")
        out = quorith(d + "/in.txt")
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 1",
                             "Cannot create out file: " + u.host_path(d + "/in.txt_new"), "", *END))
        expect_eq(read(d + "/in.txt"), b"a\r\na\r\n")
        assert os.path.isdir(d + "/in.txt_new")


@case
def empty_file_and_file_without_duplicates():
    with tempfile.TemporaryDirectory() as d:
        write(d + "/empty", b"")
        write(d + "/uniq", b"one\r\ntwo\r\n")
        write(d + "/uniq_new", b"stale output")
        out = quorith(d + "/empty", d + "/uniq")
        expect_eq(out, lines(*HEAD, *file_block(1, 2, 1, 0), *file_block(2, 2, 2, 0), *END))
        expect_eq(sorted(os.listdir(d)), ["empty", "uniq"])


@case
def duplicates_and_line_ends():
    with tempfile.TemporaryDirectory() as d:
        write(d + "/x", b"a\r\nb\r\na\r\n\r\nb\r\n\r\n")
        out = quorith(d + "/x")
        expect_eq(out, lines(*HEAD, *file_block(1, 1, 6, 3, "x_new"), *END))
        expect_eq(read(d + "/x_new"), b"a\r\nb\r\n\r\n")
        expect_eq(read(d + "/x"), b"a\r\nb\r\na\r\n\r\nb\r\n\r\n")
        write(d + "/y", b"A\nA \na\rA\r\nlast")
        quorith(d + "/y")
        expect_eq(read(d + "/y_new"), b"A\r\nA \r\na\r\nlast\r\n")
        write(d + "/z", b"q\nq\n")
        quorith(d + "/z")
        expect_eq(read(d + "/z_new"), b"q\r\n")


@case
def files_are_independent_and_names_chain():
    with tempfile.TemporaryDirectory() as d:
        write(d + "/p", b"same\nsame\n")
        write(d + "/q", b"same\nother\nother\n")
        out = quorith(d + "/p", d + "/q", d + "/p")
        expect_eq(out, lines(*HEAD, *file_block(1, 3, 2, 1, "p_new"), *file_block(2, 3, 3, 1, "q_new"),
                             *file_block(3, 3, 2, 1, "p_new"), *END))
        expect_eq(read(d + "/p_new"), b"same\r\n")
        expect_eq(read(d + "/q_new"), b"same\r\nother\r\n")
        quorith(d + "/p_new", d + "/p_new")  # no duplicates: p_new_new is removed again
        write(d + "/x_new", b"1\n1\n")
        quorith(d + "/x_new")
        expect_eq(read(d + "/x_new_new"), b"1\r\n")


@case
def names_with_wildcard_units():
    if u.WINDOWS:
        print("skip names_with_wildcard_units: a Windows name holds no * or ?")
        return
    with tempfile.TemporaryDirectory() as d:
        write(d + "/*", b"s\ns\n")
        write(d + "/?", b"q\nq\n")
        write(d + "/other", b"o\no\n")
        out, code = u.run(os.path.abspath(u.QUORITH), ["*", "?"], cwd=d)
        expect_eq(code, 0, "exit code")
        expect_eq(re.sub(r"(DONE with \d+ strings, )-?\d+( ms)", r"\1N\2", out),
                  lines(*HEAD, *file_block(1, 2, 2, 1, "*_new"), *file_block(2, 2, 2, 1, "?_new"), *END))
        expect_eq(sorted(os.listdir(d)), ["*", "*_new", "?", "?_new", "other"])
        expect_eq(read(d + "/*_new"), b"s\r\n")


@case
def encodings_and_marks():
    with tempfile.TemporaryDirectory() as d:
        write(d + "/u8", b"\xef\xbb\xbfcaf\xc3\xa9\ncaf\xc3\xa9\nend\n")
        write(d + "/u16", "\ufeffh\u00e9\r\nh\u00e9\r\n\u20ac\r\n".encode("utf-16-le"))
        write(d + "/ansi", b"\xe9t\xe9\n\xe9t\xe9\n\xff\x80\n")
        quorith(d + "/u8", d + "/u16", d + "/ansi")
        expect_eq(read(d + "/u8_new"), b"caf\xc3\xa9\r\nend\r\n")
        expect_eq(read(d + "/u16_new"), "h\u00e9\r\n\u20ac\r\n".encode("utf-16-le"))
        if not u.WINDOWS:
            expect_eq(read(d + "/ansi_new"), b"\xe9t\xe9\r\n\xff\x80\r\n")  # bytes preserved


@case
def invalid_utf8_never_merges_lines():
    with tempfile.TemporaryDirectory() as d:
        # Three distinct lines that differ only in a byte that is not UTF-8: nothing removed.
        write(d + "/price", b"\xef\xbb\xbfprice \x80\nprice \x81\nprice \xff\n")
        out = quorith(d + "/price")
        expect_eq(out, lines(*HEAD, *file_block(1, 1, 3, 0), *END))
        expect_eq(sorted(os.listdir(d)), ["price"])
        # A repeated line with bad bytes is removed and the kept lines keep their exact bytes;
        # a first byte right before a line end does not join two lines.
        write(d + "/bad", b"\xef\xbb\xbfa\xc3\r\nb\xe4\xb8\nx\xff\xfey\na\xc3\r\nb\xe4\xb8\n")
        out = quorith(d + "/bad")
        expect_eq(out, lines(*HEAD, *file_block(1, 1, 5, 2, "bad_new"), *END))
        expect_eq(read(d + "/bad_new"), b"a\xc3\r\nb\xe4\xb8\r\nx\xff\xfey\r\n")


@case
def marks_that_cannot_be_read():
    with tempfile.TemporaryDirectory() as d:
        files = {"be": b"\xfe\xff\x00a\x00\n\x00a\x00\n", "le32": b"\xff\xfe\x00\x00a\x00\x00\x00a\x00\x00\x00",
                 "be32": b"\x00\x00\xfe\xffab\nab\n"}
        for name, data in files.items():
            write(d + "/" + name, data)
        out = quorith(*(d + "/" + name for name in files))
        block = []
        for i, name in enumerate(files):
            block += [". . . . . . .    File %d of 3" % (i + 1), "Cannot read file: " + u.host_path(d + "/" + name), ""]
        expect_eq(out, lines(*HEAD, *block, *END))
        expect_eq(sorted(os.listdir(d)), sorted(files))
        for name, data in files.items():
            expect_eq(read(d + "/" + name), data)


@case
def double_byte_code_page():
    if not u.WINDOWS:
        return  # the POSIX ANSI code page is ISO-8859-1, byte for byte
    saved = {k: os.environ.get(k) for k in ("LC_ALL", "LANG")}
    os.environ["LC_ALL"] = os.environ["LANG"] = "ja_JP.UTF-8"  # wine's ANSI code page becomes 932
    try:
        with tempfile.TemporaryDirectory() as d:
            # Code page 932 maps both 87 90 and 81 E0 to U+2252: a sign that it is in use.
            write(d + "/probe", b"\x87\x90\r\n\x81\xe0\r\n")
            if "1 strings removed" not in quorith(d + "/probe"):
                print("skip double_byte_code_page: wine has no code page 932 here")
                return
            # 82 A0 across the first refill of the buffer, the same line where it is not, and
            # lead bytes without their trail bytes.
            line = b"x" * 4095 + b"\x82\xa0z"
            write(d + "/sjis", line + b"\r\n" + line + b"\r\na\x81\r\na\x82\r\na\x81\r\n")
            out = quorith(d + "/sjis")
            expect_eq(out, lines(*HEAD, *file_block(1, 1, 5, 2, "sjis_new"), *END))
            expect_eq(read(d + "/sjis_new"), line + b"\r\na\x81\r\na\x82\r\n")
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


@case
def sizes_and_progress():
    with tempfile.TemporaryDirectory() as d:
        write(d + "/n", b"".join(b"%d\n" % (k % 10000) for k in range(10240)))
        out = quorith(d + "/n")
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 1", "10240 lines passed / 240 strings removed",
                             "10240 lines passed / 240 strings removed", "DONE with 10240 strings, N ms",
                             "Saved as n_new", "", *END))
        long_line = b"x" * 10000
        write(d + "/long", long_line + b"\n" + long_line + b"\n")
        quorith(d + "/long")
        expect_eq(read(d + "/long_new"), long_line + b"\r\n")
        write(d + "/big", b"".join(b"%07d\n" % k for k in range(1000000)) + b"0000000\n")
        out = quorith(d + "/big")
        assert "1000001 lines passed / 1 strings removed" in out, out[-400:]
        expect_eq(os.path.getsize(d + "/big_new"), 9 * 1000000)


def native_run(args, preexec=None, shell_prefix=None, timeout=60):
    """Runs the native Quorith with a set-up step in the child; returns the decoded output."""
    with tempfile.TemporaryDirectory() as io_dir:
        out_path = os.path.join(io_dir, "out")
        with open(out_path, "wb") as fout:
            proc = subprocess.run((shell_prefix or []) + [u.QUORITH] + list(args), stdin=subprocess.DEVNULL,
                                  stdout=fout, stderr=subprocess.DEVNULL, timeout=timeout, preexec_fn=preexec)
        expect_eq(proc.returncode, 0, "exit code")
        return re.sub(r"(DONE with \d+ strings, )-?\d+( ms)", r"\1N\2", u.decode(read(out_path)))


def refused(path):
    return [". . . . . . .    File 1 of 1", "Cannot create out file: " + path + "_new", ""]


def asan_build():
    return b"__asan_init" in read(u.QUORITH)


@case
def output_path_never_leads_elsewhere():
    with tempfile.TemporaryDirectory() as d:
        data = b"".join(b"%d\n" % (k % 1500) for k in range(2000))
        write(d + "/victim", b"victim\n")
        # Under wine a dangling link's target is created before it can be
        # judged, and a named pipe is not a Windows file: both natively only.
        arrange = [
            ("hard link to the input", True, lambda x: os.link(x, x + "_new")),
            ("symbolic link to the input", True, lambda x: os.symlink(x, x + "_new")),
            ("symbolic link to another file", True, lambda x: os.symlink(d + "/victim", x + "_new")),
            ("dangling symbolic link", False, lambda x: os.symlink(d + "/nowhere", x + "_new")),
            ("named pipe", False, lambda x: os.mkfifo(x + "_new")),
        ]
        for k, (what, on_windows, make) in enumerate(arrange):
            if u.WINDOWS and not on_windows:
                print("skip %s under wine" % what)
                continue
            x = "%s/in%d" % (d, k)
            write(x, data)
            make(x)
            before = os.lstat(x + "_new")
            expect_eq(quorith(x), lines(*HEAD, *refused(u.host_path(x)), *END), what)
            expect_eq(read(x), data, what)
            after = os.lstat(x + "_new")
            expect_eq((after.st_mode, after.st_ino), (before.st_mode, before.st_ino), what + ": left as it was")
        expect_eq(read(d + "/victim"), b"victim\n")
        assert not os.path.exists(d + "/nowhere")


@case
def output_path_that_is_another_input():
    with tempfile.TemporaryDirectory() as d:
        write(d + "/a", b"one\ntwo\n")
        write(d + "/a_new", b"mine\nmine\n")
        out = quorith(d + "/a", d + "/a_new")
        a = u.host_path(d + "/a")
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 2", "Cannot create out file: " + a + "_new", "",
                             *file_block(2, 2, 2, 1, "a_new_new"), *END))
        expect_eq(read(d + "/a_new"), b"mine\nmine\n")
        expect_eq(read(d + "/a_new_new"), b"mine\r\n")


@case
def output_is_deletable_whatever_the_umask():
    if u.WINDOWS:
        print("skip output_is_deletable_whatever_the_umask: POSIX only")
        return
    with tempfile.TemporaryDirectory() as d:
        write(d + "/uniq", b"one\ntwo\n")
        write(d + "/dup", b"one\none\n")
        out = native_run([d + "/uniq", d + "/dup"], preexec=lambda: os.umask(0o277))
        expect_eq(out, lines(*HEAD, *file_block(1, 2, 2, 0), *file_block(2, 2, 2, 1, "dup_new"), *END))
        expect_eq(sorted(os.listdir(d)), ["dup", "dup_new", "uniq"])
        expect_eq(read(d + "/dup_new"), b"one\r\n")


@case
def a_new_output_keeps_who_may_read_the_one_it_replaces():
    if u.WINDOWS:
        print("skip a_new_output_keeps_who_may_read_the_one_it_replaces: POSIX permissions")
        return
    with tempfile.TemporaryDirectory() as d:
        write(d + "/dup", b"one\none\n")
        write(d + "/dup_new", b"earlier\r\n")
        os.chmod(d + "/dup_new", 0o600)
        expect_eq(quorith(d + "/dup"), lines(*HEAD, *file_block(1, 1, 2, 1, "dup_new"), *END))
        expect_eq(read(d + "/dup_new"), b"one\r\n")
        expect_eq(os.stat(d + "/dup_new").st_mode & 0o7777, 0o600)
        expect_eq(sorted(os.listdir(d)), ["dup", "dup_new"])


@case
def closed_standard_descriptors_never_reach_the_output():
    if u.WINDOWS:
        print("skip closed_standard_descriptors_never_reach_the_output: POSIX only")
        return
    with tempfile.TemporaryDirectory() as d:
        write(d + "/x", b"a\na\nb\n")
        proc = subprocess.run(["sh", "-c", 'exec "$0" "$@" <&- >&- 2>&-', u.QUORITH, d + "/x"], timeout=60)
        expect_eq(proc.returncode, 0)
        expect_eq(read(d + "/x_new"), b"a\r\nb\r\n")


def namespace_prefix():
    """A command prefix under which tmpfs can be mounted, or None."""
    for prefix in (["unshare", "--mount"], ["unshare", "--user", "--map-root-user", "--mount"]):
        try:
            ok = subprocess.run(prefix + ["sh", "-c", "d=$(mktemp -d) && mount -t tmpfs -o size=64k tmpfs $d"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30).returncode == 0
        except (OSError, subprocess.SubprocessError):
            ok = False
        if ok:
            return prefix
    return None


@case
def full_file_system_is_reported_and_leaves_nothing():
    if u.WINDOWS:
        print("skip full_file_system_is_reported_and_leaves_nothing: tmpfs is mounted natively only")
        return
    prefix = namespace_prefix()
    if prefix is None:
        print("skip full_file_system_is_reported_and_leaves_nothing: no mount namespace for a small tmpfs here")
        return
    with tempfile.TemporaryDirectory() as d:
        big = b"".join(b"%06d\n" % k for k in range(20000)) + b"000000\n"  # 140 KB, all but one line kept
        write(d + "/big", big)
        write(d + "/small", b"x\nx\n")
        os.mkdir(d + "/fs")
        script = ('mount -t tmpfs -o size=256k tmpfs "$1/fs" && cp "$1/big" "$1/small" "$1/fs/" && '
                  '"$0" "$1/fs/big" "$1/fs/small" > "$1/out" < /dev/null; '
                  'ls "$1/fs" > "$1/listing"; cmp -s "$1/big" "$1/fs/big" && echo same > "$1/kept"; '
                  'cat "$1/fs/small_new" > "$1/small_new"')
        subprocess.run(prefix + ["sh", "-c", script, u.QUORITH, d], timeout=60)
        out = re.sub(r"(DONE with \d+ strings, )-?\d+( ms)", r"\1N\2", u.decode(read(d + "/out")))
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 2", "10240 lines passed / 0 strings removed",
                             "Cannot write out file: " + d + "/fs/big_new", "",
                             *file_block(2, 2, 2, 1, "small_new"), *END))
        expect_eq(read(d + "/listing").split(), [b"big", b"small", b"small_new"])
        expect_eq(read(d + "/kept"), b"same\n")
        expect_eq(read(d + "/small_new"), b"x\r\n")


def ended_runs(sig, runs):
    """Ends RUNS runs of the native Quorith by SIG at random moments, each
    over an earlier output; returns, per run, whether the output path held
    the earlier output or the new one whole, and the names left beside it."""
    import random
    import signal
    import time
    rng = random.Random(23 + sig)
    with tempfile.TemporaryDirectory() as d:
        x = d + "/x"
        write(x, b"".join(b"%d some text on the line\n" % rng.randrange(300000) for _ in range(500000)))
        start = time.time()
        native_run([x])
        whole = time.time() - start
        new = read(x + "_new")
        previous = b"an earlier run's output\r\n"
        results = []
        for _ in range(runs):
            write(x + "_new", previous)
            with open(os.devnull, "wb") as null:
                proc = subprocess.Popen([u.QUORITH, x], stdin=subprocess.DEVNULL, stdout=null, stderr=null)
                time.sleep(rng.uniform(0, whole * 1.05))
                proc.send_signal(sig)
                proc.wait(timeout=60)
            now = read(x + "_new")
            left = sorted(n for n in os.listdir(d) if n not in ("x", "x_new"))
            results.append(("earlier" if now == previous else "new" if now == new else "torn: %d bytes" % len(now),
                            left))
            for name in left:
                if re.fullmatch(r"x_new\.~[0-9a-f]{8}\.tmp", name):
                    os.remove(d + "/" + name)
        return results


@case
def a_killed_run_never_leaves_a_torn_output():
    if u.WINDOWS:
        print("skip a_killed_run_never_leaves_a_torn_output: signals are sent natively")
        return
    import signal
    results = ended_runs(signal.SIGKILL, 50)
    for state, left in results:
        assert state in ("earlier", "new"), results
        assert all(re.fullmatch(r"x_new\.~[0-9a-f]{8}\.tmp", n) for n in left), results  # at most its temporary
    assert any(state == "earlier" for state, _ in results), results


@case
def an_interrupted_run_leaves_the_earlier_output_and_no_temporary():
    if u.WINDOWS:
        print("skip an_interrupted_run_leaves_the_earlier_output_and_no_temporary: signals are sent natively")
        return
    import signal
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        results = ended_runs(sig, 8)
        for state, left in results:
            expect_eq((state in ("earlier", "new"), left), (True, []), "%s: %r" % (sig.name, results))


@case
def memory_limit_is_reported_and_leaves_nothing():
    if u.WINDOWS or asan_build():
        print("skip memory_limit_is_reported_and_leaves_nothing: an address-space limit is set natively, "
              "and not under AddressSanitizer, which reserves far more")
        return
    import resource
    with tempfile.TemporaryDirectory() as d:
        line = b"y" * (40 << 20)
        write(d + "/long", b"a\n" + line + b"\n" + line + b"\na\n")
        write(d + "/next", b"x\nx\n")
        limit = 200 << 20
        out = native_run([d + "/long", d + "/next"],
                         preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 2", "Not enough memory: " + d + "/long", "",
                             *file_block(2, 2, 2, 1, "next_new"), *END))
        expect_eq(sorted(os.listdir(d)), ["long", "next", "next_new"])
        # An output of an earlier run stays as it was.
        write(d + "/long_new", b"a\r\nearlier\r\n")
        native_run([d + "/long"], preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        expect_eq(read(d + "/long_new"), b"a\r\nearlier\r\n")
        expect_eq(sorted(os.listdir(d)), ["long", "long_new", "next", "next_new"])


@case
def distinct_lines_beyond_the_memory_limit_come_out_exact():
    if u.WINDOWS or asan_build():
        print("skip distinct_lines_beyond_the_memory_limit_come_out_exact: an address-space limit is set natively, "
              "and not under AddressSanitizer, which reserves far more")
        return
    import resource
    with tempfile.TemporaryDirectory() as d:
        # 3 million distinct lines of 32 bytes (some 140 MB in memory, four
        # times the limit), each met again now and then, under an
        # address-space limit of 32 MB.
        keys = [b"%08x" % ((k * 2654435761) & 0xFFFFFFFF) * 4 for k in range(3000000)]
        body = [keys[k // 5 * 4 + k % 5 - 1] if k % 5 == 4 else keys[k // 5 * 4 + k % 5] for k in range(3750000)]
        write(d + "/big", b"\n".join(body) + b"\n")
        seen = set()
        expected = []
        for line in body:
            if line not in seen:
                seen.add(line)
                expected.append(line + b"\r\n")
        free = native_run([d + "/big"])
        expect_eq(read(d + "/big_new"), b"".join(expected))
        os.remove(d + "/big_new")
        write(d + "/big_new", b"an earlier output\r\n")
        limit = 32 << 20
        bounded = native_run([d + "/big"], preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        expect_eq(bounded, free)
        expect_eq(read(d + "/big_new"), b"".join(expected))
        expect_eq(sorted(os.listdir(d)), ["big", "big_new"])


@case
def forty_million_distinct_lines_in_a_32_bit_process():
    if not u.WINDOWS:
        print("skip forty_million_distinct_lines_in_a_32_bit_process: the 32-bit address space is the Windows build's")
        return
    import hashlib
    # 40 million distinct lines, then every 40000th of them again: near the
    # 32-bit address space (about 1 GB as held now), where the budget, taken
    # from the address space left, decides between memory and disk.
    n, step, every = 40000000, 1000000, 40000
    key = lambda k: b"%08x" % ((k * 2654435761) & 0xFFFFFFFF)
    with tempfile.TemporaryDirectory() as d:
        expected = hashlib.md5()
        with open(d + "/huge", "wb") as f:
            for start in range(0, n, step):
                block = [key(k) for k in range(start, start + step)]
                f.write(b"\n".join(block) + b"\n")
                expected.update(b"\r\n".join(block) + b"\r\n")
            f.write(b"".join(key(k) + b"\n" for k in range(0, n, every)))
        total = n + n // every
        out, code = u.run(u.QUORITH, [u.host_path(d + "/huge")], timeout=450)
        expect_eq(code, 0, "exit code")
        out = re.sub(r"(DONE with \d+ strings, )-?\d+( ms)", r"\1N\2", out)
        progress = ["%d lines passed / %d strings removed" % (k, max(0, k - n))
                    for k in range(10240, total + 1, 10240)]
        expect_eq(out, lines(*HEAD, ". . . . . . .    File 1 of 1", *progress,
                             "%d lines passed / %d strings removed" % (total, n // every),
                             "DONE with %d strings, N ms" % total, "Saved as huge_new", "", *END))
        with open(d + "/huge_new", "rb") as f:
            got = hashlib.md5()
            for piece in iter(lambda: f.read(1 << 22), b""):
                got.update(piece)
        expect_eq(got.hexdigest(), expected.hexdigest(), "output digest")
        expect_eq(sorted(os.listdir(d)), ["huge", "huge_new"])


u.finish()
