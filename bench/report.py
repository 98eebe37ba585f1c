"""The tables of bench/run: one per corpus, the growth from the small corpora to
the large ones, and the goals met or not."""
import datetime
import os
import platform
import re
import statistics
import subprocess

from tools import MAIN_ROWS

MIB = 1024 * 1024


class Row:
    """A tool's runs on one corpus."""

    def __init__(self, tool):
        self.tool = tool
        self.samples = []
        self.warmup = None
        self.error = None
        self.stopped = False

    def ok_samples(self):
        return [s for s in self.samples if s.error is None]

    def med(self, field):
        vals = [getattr(s, field) for s in self.ok_samples() if getattr(s, field) is not None]
        return statistics.median(vals) if vals else None


def main_row(rows):
    return next((r for r in rows if r.tool.name in MAIN_ROWS), None)


def fmt_ms(v):
    if v is None:
        return "—"
    return "%.0f" % v if v >= 100 else "%.1f" % v


def fmt_ratio(a, b):
    if a is None or b is None or b <= 0:
        return "—"
    return "%.2f" % (a / b)


def corpus_title(name, manifest):
    e = manifest["corpora"][name]
    if e.get("source"):
        return "%s — a copy of %s: %s files, %.0f MiB, %s duplicates%s (the reference's)" % (
            name, e["source"], format(e["files"], ","), e["bytes"] / MIB, format(e["copies"], ","),
            (", %s empty files" % format(e["empty_files"], ",")) if e.get("empty_files") else "")
    if name in ("F1", "F2", "F3", "F6"):
        return "%s — %s files, %.0f MiB, %s exact copies%s%s" % (
            name, format(e["files"], ","), e["bytes"] / MIB, format(e["copies"], ","),
            (", %s empty files" % format(e["empty_files"], ",")) if e.get("empty_files") else "",
            (", %s near-duplicates" % format(e["near_duplicates"], ",")) if e.get("near_duplicates") else "")
    if name == "F4":
        return ("F4 — %d files of %.0f MiB with one size and first quarter, splitting at 1/4, 1/2 and "
                "3/4 of their length, %d exact copies" % (e["files"], e["bytes"] / e["files"] / MIB, e["copies"]))
    if name == "F5":
        return ("F5 — %d files of %.0f MiB with one size and first block, each different from the others "
                "only in a 4 KiB block in the middle" % (e["files"], e["bytes"] / e["files"] / MIB))
    return "%s — %s lines, %.1f MB, %s repeats" % (
        name, format(e["lines"], ","), e["bytes"] / 1e6, format(e["repeats"], ","))


def check_text(row):
    ok = row.ok_samples()
    notes = sorted({s.note for s in ok + [row.warmup] if s and s.note})
    found = sorted({s.found for s in ok if s.found is not None})
    check = "; ".join(notes) if notes else ("ok (%s)" % ",".join(map(str, found)) if found else "—")
    if row.error:
        check = "stopped: " + row.error.replace("|", "/").replace("\n", " ") + "; " + check
    return check


def per_file(value, files, unit):
    """A median spread over the corpus's files: bytes or microseconds per file."""
    if value is None or not files:
        return "—"
    v = value * unit / files
    return format(round(v), ",") if v >= 100 else "%.1f" % v


def table(name, rows, manifest):
    ours = main_row(rows)
    ours_ok = ours is not None and ours.error is None and ours.ok_samples()
    label = ours.tool.name.capitalize() if ours else "ours"
    files = manifest["corpora"][name].get("files")
    lines = ["#### " + corpus_title(name, manifest), "",
             "| Tool | Wall ms | Range ms | Own ms | Peak RSS MiB | %sCPU ms | "
             "%s/peer wall | %s/peer own | %s/peer RSS | Check |" % (
                 "RSS B/file | Wall µs/file | " if files else "", label, label, label),
             "|---|--:|--:|--:|--:|%s--:|--:|--:|--:|---|" % ("--:|--:|" if files else "")]
    o_wall = ours.med("wall_ms") if ours_ok else None
    o_own = ours.med("own_ms") if ours_ok else None
    o_rss = ours.med("rss_kib") if ours_ok else None
    for row in rows:
        shown = ("**%s**" % row.tool.name) if row.tool.ours else row.tool.name
        ok = row.ok_samples()
        if row.error and not ok:
            lines.append("| %s | failed | | | | |%s | | | | %s |" % (
            shown, " | |" if files else "", row.error.replace("|", "/").replace("\n", " ")))
            continue
        walls = [s.wall_ms for s in ok]
        wall, rss = row.med("wall_ms"), row.med("rss_kib")
        rss_text = "%.1f" % (rss / 1024.0) if rss is not None else "—"
        if files:
            rss_text += " | %s | %s" % (per_file(rss, files, 1024), per_file(wall, files, 1000))
        if row.tool.ours:
            r_wall = r_own = r_rss = ""
        else:
            r_wall, r_own, r_rss = fmt_ratio(o_wall, wall), fmt_ratio(o_own, wall), fmt_ratio(o_rss, rss)
        lines.append("| %s | %s | %s–%s | %s | %s | %s | %s | %s | %s | %s |" % (
            shown, fmt_ms(wall), fmt_ms(min(walls)), fmt_ms(max(walls)), fmt_ms(row.med("own_ms")),
            rss_text, fmt_ms(row.med("cpu_ms")), r_wall, r_own, r_rss, check_text(row)))
    return lines


GROWTH = (("F1", "F3"), ("F3", "F6"), ("L1", "L3"))
TIMES = {2: "twice", 5: "five times", 10: "ten times"}


def growth_section(results, manifest):
    """How each tool's time and memory grow from a corpus to a larger one of its
    shape; for files also the wall time per file, which should not grow."""
    out = []
    for small, large in GROWTH:
        if small not in results or large not in results:
            continue
        unit = "files" if small[0] == "F" else "lines"
        n1, n2 = manifest["corpora"][small][unit], manifest["corpora"][large][unit]
        factor = round(n2 / n1)
        per_file = unit == "files"
        big = {r.tool.name: r for r in results[large]}
        out += ["#### Growth %s → %s (%s the %s)" % (small, large, TIMES.get(factor, "%d times" % factor), unit), "",
                "| Tool | %s wall ms | %s wall ms | × wall | %s%s RSS MiB | %s RSS MiB | × RSS |" % (
                    small, large, "× wall per file | " if per_file else "", small, large),
                "|---|--:|--:|--:|%s--:|--:|--:|" % ("--:|" if per_file else "")]
        for row in results[small]:
            other = big.get(row.tool.name)
            if other is None:
                continue
            w1, w2 = row.med("wall_ms"), other.med("wall_ms")
            m1, m2 = row.med("rss_kib"), other.med("rss_kib")
            mib = lambda v: "%.1f" % (v / 1024.0) if v is not None else "—"  # noqa: E731
            each = ""
            if per_file:
                each = "%s | " % (fmt_ratio(w2 / n2, w1 / n1) if w1 is not None and w2 is not None else "—")
            out.append("| %s | %s | %s | %s | %s%s | %s | %s |" % (
                ("**%s**" % row.tool.name) if row.tool.ours else row.tool.name,
                fmt_ms(w1), fmt_ms(w2), fmt_ratio(w2, w1), each, mib(m1), mib(m2), fmt_ratio(m2, m1)))
        out.append("")
    return out


# Goals: (corpus, peer row, measure, limit, strict). Ours is the corpus's main
# row (Vexolan on a terminal, Quorith); measure is "wall" or "rss" (medians);
# a strict goal must stay below its limit, the others may reach it.
TARGETS = [
    ("L1", "perl", "wall", 1.0, False),
    ("L1", "gawk", "wall", 1.0, False),
    ("L1", "mawk", "wall", 0.8, False),
    ("L1", "mawk", "rss", 1.15, False),
    ("L2", "perl", "wall", 0.7, False),
    ("L2", "gawk", "wall", 0.7, False),
    ("L2", "mawk", "wall", 0.7, False),
    ("L2", "mawk", "rss", 1.0, False),
    ("L3", "perl", "wall", 0.5, False),
    ("L3", "mawk", "rss", 0.6, False),
    ("R1", "perl", "wall", 0.5, False),
    ("R2", "perl", "wall", 0.5, False),
    ("F1", "jdupes-del", "wall", 0.5, False),
    ("F1", "fdupes-del", "wall", 0.5, False),
    ("F1", "rdfind-del", "wall", 0.5, False),
    ("F1", "jdupes", "wall", 1.0, False),
    ("F1", "fdupes", "wall", 1.0, True),
    ("F1", "rdfind", "wall", 1.0, True),
    ("F1", "rmlint", "wall", 1.0, True),
    ("F2", "jdupes-del", "wall", 0.7, False),
    ("F2", "fdupes", "wall", 1.0, True),
    ("F2", "rdfind-md5", "wall", 1.0, True),
    ("F2", "rmlint-md5", "wall", 1.0, True),
    ("F4", "openssl-md5", "wall", 0.5, False),
    ("F5", "openssl-md5", "wall", 0.5, False),
    ("F6", "jdupes-del", "wall", 0.7, False),
]

# Goals per file of a corpus, for the main row: (corpus, measure, limit, reference).
# "rss_per_file": peak RSS over the files, at most limit bytes (GNU time's
# launcher included); "wall_per_file": wall time per file at most limit times
# that on the reference corpus.
# Goals of a row other than the main one: (corpus, row, other row, measure, limit).
ROW_TARGETS = [
    ("L3", "quorith-quarter", "perl", "wall", 1.0),
    ("L3", "quorith-quarter", "quorith", "wall", 1.5),
]

PER_FILE_TARGETS = [
    ("L3", "rss_per_distinct", 60, None),
    ("F3", "rss_per_file", 200, None),
    ("F6", "rss_per_file", 200, None),
    ("F6", "wall_per_file", 1.0, "F3"),
]


def median_ratio(ours, other, measure):
    """Our row's median wall time ("wall") or peak RSS over the other's; None
    when either row failed."""
    field = "wall_ms" if measure == "wall" else "rss_kib"
    a = ours.med(field) if ours.error is None else None
    b = other.med(field) if other.error is None else None
    return a / b if a is not None and b else None


def evaluate_targets(results, manifest=None):
    """The goals whose rows were measured: dicts with corpus, ours, peer, measure,
    limit, strict, ratio (None when a row failed; bytes per file for
    "rss_per_file") and met."""
    out = []
    for corpus, peer, measure, limit, strict in TARGETS:
        rows = results.get(corpus)
        if not rows:
            continue
        ours = main_row(rows)
        other = next((r for r in rows if r.tool.name == peer), None)
        if ours is None or other is None:
            continue
        ratio = median_ratio(ours, other, measure)
        met = None if ratio is None else (ratio < limit if strict else ratio <= limit)
        out.append({"corpus": corpus, "ours": ours.tool.name, "peer": peer, "measure": measure,
                    "limit": limit, "strict": strict, "ratio": ratio, "met": met})
    for corpus, name, other_name, measure, limit in ROW_TARGETS:
        rows = results.get(corpus) or []
        ours = next((r for r in rows if r.tool.name == name), None)
        other = next((r for r in rows if r.tool.name == other_name), None)
        if ours is None or other is None:
            continue
        ratio = median_ratio(ours, other, measure)
        out.append({"corpus": corpus, "ours": name, "peer": other_name, "measure": measure,
                    "limit": limit, "strict": False, "ratio": ratio,
                    "met": None if ratio is None else ratio <= limit})
    for corpus, measure, limit, reference in PER_FILE_TARGETS if manifest else ():
        ours = main_row(results.get(corpus) or [])
        if ours is None or (reference and main_row(results.get(reference) or []) is None):
            continue
        files = manifest["corpora"][corpus].get("distinct" if measure == "rss_per_distinct" else "files")
        ratio = None
        if measure in ("rss_per_file", "rss_per_distinct"):
            rss = ours.med("rss_kib") if ours.error is None else None
            ratio = rss * 1024 / files if rss is not None else None
        else:
            other = main_row(results[reference])
            w, w_ref = (r.med("wall_ms") if r.error is None else None for r in (ours, other))
            if w is not None and w_ref:
                ratio = (w / files) / (w_ref / manifest["corpora"][reference]["files"])
        out.append({"corpus": corpus, "ours": ours.tool.name, "peer": reference, "measure": measure,
                    "limit": limit, "strict": False, "ratio": ratio,
                    "met": None if ratio is None else ratio <= limit})
    return out


def targets_section(targets):
    lines = ["#### Targets (ratios of medians, this run)", "",
             "| Corpus | Target | Ratio | Met |", "|---|---|--:|---|"]
    for t in targets:
        value = "%.2f" % t["ratio"] if t["ratio"] is not None else "—"
        if t["measure"] in ("rss_per_file", "rss_per_distinct"):
            text = "%s peak RSS ≤ %g B per %s" % (t["ours"].capitalize(), t["limit"],
                                                  "file" if t["measure"] == "rss_per_file" else "distinct line")
            value = "%.0f B" % t["ratio"] if t["ratio"] is not None else value
        elif t["measure"] == "wall_per_file":
            text = "%s time per file ≤ %g × on %s" % (t["ours"].capitalize(), t["limit"], t["peer"])
        else:
            what = "time" if t["measure"] == "wall" else "peak RSS"
            word = ("below %g ×" if t["strict"] else "≤ %g ×") % t["limit"]
            text = "%s %s %s %s" % (t["ours"].capitalize(), what, word, t["peer"])
        if t["ratio"] is None:
            lines.append("| %s | %s | — | not measured |" % (t["corpus"], text))
        else:
            lines.append("| %s | %s | %s | %s |" % (t["corpus"], text, value, "yes" if t["met"] else "**no**"))
    return lines


def summary(results):
    """Medians per corpus and tool, for the chart and the JSON file."""
    out = {}
    for name, rows in results.items():
        out[name] = {}
        for r in rows:
            out[name][r.tool.name] = {
                "ours": r.tool.ours, "main": r is main_row(rows), "error": r.error,
                "wall_ms": r.med("wall_ms"), "own_ms": r.med("own_ms"),
                "rss_kib": r.med("rss_kib"), "cpu_ms": r.med("cpu_ms"), "check": check_text(r)}
    return out


def first_line(argv):
    try:
        r = subprocess.run(argv, capture_output=True, timeout=10)
        text = (r.stdout or r.stderr).decode(errors="replace")
        text = re.sub(r"\x1b\[[0-9;]*m", "", text)
        return text.strip().splitlines()[0].strip() if text.strip() else "?"
    except (OSError, subprocess.SubprocessError):
        return "not found"


def environment(manifest, repeat, commit, used):
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1024 ** 3)
    probes = {
        "jdupes": ["jdupes", "-v"], "fdupes": ["fdupes", "-v"], "rdfind": ["rdfind", "-v"],
        "rmlint": ["rmlint", "--version"], "openssl": ["openssl", "version"],
        "mawk": ["mawk", "-W", "version"], "gawk": ["gawk", "--version"],
        "perl": ["perl", "-e", "print qq(perl $^V)"],
    }
    programs = {t.argv("x", "x")[0] for t in used if not t.ours}
    versions = {}
    for name, argv in probes.items():
        if name not in programs:
            continue
        text = first_line(argv)
        m = re.search(r"\d+(\.\d+)+", text)
        versions[name] = "%s %s" % (name, m.group(0)) if m else "%s (%s)" % (name, text)
    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "machine": "%s, %d cores, %.0f GiB RAM, Linux %s" % (cpu, os.cpu_count() or 0, mem, platform.release()),
        "commit": commit, "repeat": repeat, "seed": manifest["seed"], "scale": manifest["scale"],
        "versions": versions,
    }


def git_commit(root):
    try:
        head = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return head + ("+changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "?"


def report(results, targets, used, env, manifest, elapsed, chart_name=None):
    out = ["### Benchmark: %s" % env["date"], "",
           "- Machine: %s" % env["machine"],
           "- Build: %s; corpora seed %d, scale %g; median of %d run%s after one warm-up run per tool, "
           "tools alternating; run took %.0f s" % (env["commit"], env["seed"], env["scale"], env["repeat"],
                                                   "s" if env["repeat"] != 1 else "", elapsed),
           "- Wall = whole process, spawn to exit (Vexolan's includes its start-up, the prompt and its "
           "key polling); Own = the program's \"DONE with\" time; RSS = peak resident set "
           "(GNU time %M, about 1 MiB of which is the launcher's); CPU = user + system. "
           "Ratios are against the bold main row: `vexolan` (on a terminal) or `quorith`.",
           "- Peers: " + "; ".join(env["versions"].values()), ""]
    if chart_name:
        out += ["![Ratios of our programs' times to each peer's, with the goals](%s)" % chart_name, ""]
    for name, rows in results.items():
        out += table(name, rows, manifest) + [""]
    out += growth_section(results, manifest)
    if targets:
        out += targets_section(targets) + [""]
    out += ["Commands (DIR and FILE are fresh copies in the scratch directory; OUT is its output directory):", ""]
    for tool in used:
        out.append("- `%s`: `%s`" % (tool.name, tool.shown))
    return "\n".join(out) + "\n"
