"""The measured commands of bench/run, per corpus, and how each result is checked."""
import os

from gen_corpora import keep_key


class Tool:
    """One measured command. `argv(target, out)` gives its command line; `kind` is
    'vexolan', 'quorith' or 'peer'; `expect` names the manifest count that its
    result should match; `deletes` marks a tool that removes duplicates from the
    copy, whose result is checked by what is left; `console` is Vexolan's
    output: 'terminal' (the pseudo-terminal a user sees) or 'pipe'."""

    def __init__(self, name, kind, argv, shown, expect=None, stdout_name=None, deletes=False,
                 console=None):
        self.name, self.kind, self.argv, self.shown = name, kind, argv, shown
        self.expect, self.stdout_name, self.deletes, self.console = expect, stdout_name, deletes, console

    @property
    def ours(self):
        return self.kind != "peer"


# The rows our programs are judged by; the others are for comparison.
# (L4 has only Quorith under a limit.)
MAIN_ROWS = ("vexolan", "quorith", "quorith-1g")


def vexolan_tools(bin_dir):
    vex = os.path.join(bin_dir, "vexolan")
    return [
        Tool("vexolan", "vexolan", lambda d, o: [vex, d],
             "vexolan DIR  (on a pseudo-terminal: keys in, output read from its other end)",
             "duplicates_with_empty", deletes=True, console="terminal"),
        Tool("vexolan-pipe", "vexolan", lambda d, o: [vex, d],
             "vexolan DIR  (keys through a pseudo-terminal, output to a pipe)",
             "duplicates_with_empty", deletes=True, console="pipe"),
    ]


def jdupes_tools():
    return [
        Tool("jdupes", "peer", lambda d, o: ["jdupes", "-r", "-q", d], "jdupes -r -q DIR",
             "duplicates_without_empty", "jdupes.out"),
        Tool("jdupes-del", "peer", lambda d, o: ["jdupes", "-r", "-q", "-dN", d], "jdupes -r -q -dN DIR",
             "duplicates_without_empty", "jdupes.out", deletes=True),
    ]


def file_tools(bin_dir):
    """Many files: every finder, listing only and deleting."""
    listing = jdupes_tools()[0]
    deleting = jdupes_tools()[1]
    return vexolan_tools(bin_dir) + [
        listing,
        Tool("fdupes", "peer", lambda d, o: ["fdupes", "-r", "-q", d], "fdupes -r -q DIR",
             "duplicates_with_empty", "fdupes.out"),
        Tool("rdfind", "peer",
             lambda d, o: ["rdfind", "-dryrun", "true", "-outputname", o + "/rdfind.txt", d],
             "rdfind -dryrun true -outputname OUT/rdfind.txt DIR  (SHA-1)",
             "duplicates_without_empty", "rdfind.log"),
        Tool("rdfind-md5", "peer",
             lambda d, o: ["rdfind", "-dryrun", "true", "-checksum", "md5",
                           "-outputname", o + "/rdfind.txt", d],
             "rdfind -dryrun true -checksum md5 -outputname OUT/rdfind.txt DIR",
             "duplicates_without_empty", "rdfind.log"),
        Tool("rmlint", "peer",
             lambda d, o: ["rmlint", "-T", "df", "-o", "fdupes:" + o + "/rmlint.txt", d],
             "rmlint -T df -o fdupes:OUT/rmlint.txt DIR  (BLAKE2b)",
             "duplicates_without_empty", "rmlint.log"),
        Tool("rmlint-md5", "peer",
             lambda d, o: ["rmlint", "-T", "df", "-a", "md5", "-o", "fdupes:" + o + "/rmlint.txt", d],
             "rmlint -T df -a md5 -o fdupes:OUT/rmlint.txt DIR",
             "duplicates_without_empty", "rmlint.log"),
        deleting,
        Tool("fdupes-del", "peer", lambda d, o: ["fdupes", "-r", "-q", "-dN", d], "fdupes -r -q -dN DIR",
             "duplicates_with_empty", "fdupes.out", deletes=True),
        Tool("rdfind-del", "peer",
             lambda d, o: ["rdfind", "-deleteduplicates", "true", "-outputname", o + "/rdfind.txt", d],
             "rdfind -deleteduplicates true -outputname OUT/rdfind.txt DIR",
             "duplicates_without_empty", "rdfind.log", deletes=True),
    ]


def scaled_file_tools(bin_dir):
    """F3: rmlint left out, which takes minutes per run on so many small files."""
    return [t for t in file_tools(bin_dir) if not t.name.startswith("rmlint")]


def sorted_files(root):
    found = []
    for d, subdirs, names in os.walk(root):
        subdirs.sort()
        found += [os.path.join(d, n) for n in sorted(names)]
    return found


def big_file_tools(bin_dir):
    """A few large files: Vexolan against hashing them once, and jdupes."""
    return vexolan_tools(bin_dir) + [
        Tool("openssl-md5", "peer", lambda d, o: ["openssl", "md5"] + sorted_files(d),
             "openssl md5 DIR/...  (every file of the copy, one command)", "files", "md5.out"),
    ] + jdupes_tools()


def tree_tools(bin_dir):
    """F6 and the real trees: Vexolan against jdupes, listing and deleting."""
    return vexolan_tools(bin_dir) + jdupes_tools()


def limited_quorith(bin_dir, name, limit_of=None, limit_bytes=None):
    """Quorith under an address-space limit (prlimit --as): a fixed one, or
    1/limit_of[1] of the peak RSS of row limit_of[0] in the same run's warm-up
    (set by bench/run once that row ran)."""
    quo = os.path.join(bin_dir, "quorith")
    what = ("1/%d of %s's peak, at least 48 MiB" % (limit_of[1], limit_of[0])) if limit_of \
        else "%d MiB" % (limit_bytes >> 20)
    t = Tool(name, "quorith", None, "prlimit --as=LIMIT quorith FILE  (LIMIT: %s; on a pseudo-terminal)" % what,
             "repeats", console="terminal")
    t.limit_of, t.limit_bytes = limit_of, limit_bytes

    def argv(f, o):
        if not t.limit_bytes:
            return ["false"]  # the row it is limited from did not run
        return ["prlimit", "--as=%d" % t.limit_bytes, "--", quo, f]
    t.argv = argv
    return t


def line_tools(bin_dir):
    quo = os.path.join(bin_dir, "quorith")
    return [
        Tool("quorith", "quorith", lambda f, o: [quo, f],
             "quorith FILE  (writes FILE_new; on a pseudo-terminal, Enter at its end, as a user runs it)",
             "repeats", console="terminal"),
        Tool("quorith-file", "quorith", lambda f, o: [quo, f],
             "quorith FILE > OUT/quorith.out  (its console lines into a file, each forced to disk)", "repeats"),
        Tool("mawk", "peer", lambda f, o: ["mawk", "!seen[$0]++", f], "mawk '!seen[$0]++' FILE",
             "distinct", "lines.out"),
        Tool("gawk", "peer", lambda f, o: ["gawk", "!seen[$0]++", f], "gawk '!seen[$0]++' FILE",
             "distinct", "lines.out"),
        Tool("perl", "peer", lambda f, o: ["perl", "-ne", "print unless $s{$_}++", f],
             "perl -ne 'print unless $s{$_}++' FILE", "distinct", "lines.out"),
    ]


def l3_tools(bin_dir):
    """L3 also under a quarter of Quorith's own peak, where it works on disk."""
    tools = line_tools(bin_dir)
    return tools[:2] + [limited_quorith(bin_dir, "quorith-quarter", limit_of=("quorith", 4))] + tools[2:]


def l4_tools(bin_dir):
    """L4, larger than the memory most users have: Quorith under 1 GiB of
    address space against sort -u (which loses the order) and perl. perl is
    capped at 16 GiB so that a hash it cannot hold fails the row rather than
    the machine."""
    return [
        limited_quorith(bin_dir, "quorith-1g", limit_bytes=1 << 30),
        Tool("sort-u", "peer", lambda f, o: ["env", "LC_ALL=C", "sort", "-u", "-T", o, f],
             "LC_ALL=C sort -u -T OUT FILE  (not in input order)", "distinct", "lines.out"),
        Tool("perl", "peer", lambda f, o: ["prlimit", "--as=%d" % (16 << 30), "--", "perl", "-ne",
                                           "print unless $s{$_}++", f],
             "perl -ne 'print unless $s{$_}++' FILE  (under 16 GiB)", "distinct", "lines.out"),
    ]


# Corpus name: (kind, tools for it)
CORPORA = {
    "F1": ("files", file_tools), "F2": ("files", file_tools), "F3": ("files", scaled_file_tools),
    "F4": ("files", big_file_tools), "F5": ("files", big_file_tools),
    "F6": ("files", tree_tools), "T1": ("files", tree_tools), "T2": ("files", tree_tools),
    "L1": ("lines", line_tools), "L2": ("lines", line_tools), "L3": ("lines", l3_tools),
    "L4": ("lines", l4_tools),
    "R1": ("lines", line_tools), "R2": ("lines", line_tools),
}


# ---------------------------------------------------------------- reading results

def count_duplicate_listing(path):
    """Duplicates in an fdupes-style listing: blocks of paths split by blank lines,
    every path but one per block is a duplicate."""
    paths = blocks = 0
    in_block = False
    with open(path, "rb") as fh:
        for line in fh:
            if line.strip():
                paths += 1
                if not in_block:
                    blocks += 1
                in_block = True
            else:
                in_block = False
    return paths - blocks


def count_rdfind(path):
    n = 0
    with open(path, "rb") as fh:
        for line in fh:
            if line.startswith(b"DUPTYPE_WITHIN_SAME_TREE"):
                n += 1
    return n


def count_lines(path):
    n = 0
    with open(path, "rb") as fh:
        while True:
            block = fh.read(1 << 20)
            if not block:
                return n
            n += block.count(b"\n")


def peer_found(tool, out_dir):
    """The count a listing peer reports (deleting peers are judged by what is left)."""
    try:
        if tool.name.startswith("rdfind"):
            return count_rdfind(os.path.join(out_dir, "rdfind.txt"))
        if tool.name.startswith("rmlint"):
            return count_duplicate_listing(os.path.join(out_dir, "rmlint.txt"))
        if tool.name in ("jdupes", "fdupes"):
            return count_duplicate_listing(os.path.join(out_dir, tool.stdout_name))
        return count_lines(os.path.join(out_dir, tool.stdout_name))
    except OSError:
        return None


def contents_by_path(files):
    """Relative path -> what its bytes are, from a corpus plan."""
    return {path.replace(os.sep, "/"): (number, flip) for path, number, _, flip in files}


def left_over(root, contents):
    """What a deleting run left: (files left, distinct contents lost, files not in
    the corpus, corpus files gone)."""
    left = 0
    kept = set()
    present = set()
    unknown = 0
    for d, _, names in os.walk(root):
        rel_dir = os.path.relpath(d, root)
        for n in names:
            left += 1
            rel = n if rel_dir == "." else (rel_dir.replace(os.sep, "/") + "/" + n)
            key = contents.get(rel)
            if key is None:
                unknown += 1
            else:
                kept.add(key)
                present.add(rel)
    lost = len(set(contents.values()) - kept)
    return left, lost, unknown, [p for p in contents if p not in present]


def real_tree_contents(root, groups):
    """Relative path -> what its bytes are, for a real tree: the reference's group
    for the files in one, the path itself (a content of its own) for the others."""
    contents = {}
    for d, _, names in os.walk(root):
        rel_dir = os.path.relpath(d, root)
        for n in names:
            rel = n if rel_dir == "." else (rel_dir.replace(os.sep, "/") + "/" + n)
            contents[rel] = ("path", rel)
    for i, paths in enumerate(groups):
        for rel in paths:
            contents[rel] = ("group", i)
    return contents


def first_kept(contents):
    """Per content held by several files, the sort key of the file that Vexolan
    keeps: the first path in its order."""
    first = {}
    for rel, key in contents.items():
        k = keep_key(rel)
        if key in first:
            first[key] = min(first[key], k)
        else:
            first[key] = k
    counts = {}
    for key in contents.values():
        counts[key] = counts.get(key, 0) + 1
    return {key: k for key, k in first.items() if counts[key] > 1}


def wrong_keepers(contents, first, gone):
    """Groups of identical files where what stayed is not the first path of the
    group in Vexolan's order (one file, the first)."""
    gone = set(gone)
    stayed = {}
    for rel, key in contents.items():
        if key in first and rel not in gone:
            stayed.setdefault(key, []).append(keep_key(rel))
    return sum(1 for key, k in first.items() if stayed.get(key, []) != [k])
