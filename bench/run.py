"""Benchmark of tessel against the floor of its own host calls, against plain
mkdir -p + touch, and across scale.

Run with the interpreter that tessel is installed into, from anywhere:

    .venv/bin/python -P bench/run.py            # full run, about two minutes
    .venv/bin/python -P bench/run.py --quick    # small N, for CI (seconds)

It prints one table.  Every figure in it is the median of several runs, each
in a fresh process and a fresh temporary directory, and every ratio compares
two things measured side by side in this one run: their runs alternate, in an
order that rotates from round to round, after one warm-up run of each.
Nothing is built here: the installed module and its `tessel` command are
measured, with standard output sent to a file.

Beside the timings it counts user-space instructions with valgrind's
callgrind for the per-file cost and for start-up: a count does not move with
the machine's load, so those ratios hold where timings wander (skipped, with
a note, when valgrind is not installed).  The per-file count of a kind is
the count of a worker making 2N files less that of one making N, which
leaves out the interpreter's start-up and imports.

Files are made on a tmpfs (/dev/shm) when there is one, so that the figures
show what tessel and the floor cost rather than the disk's journal; --dir
puts them elsewhere (on a disk the run takes several times longer and the
file system's own costs and noise swamp the ratios).  Needs only CPython 3.12
or later and GNU coreutils.
"""

import argparse
import collections
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

BENCH = Path(__file__).resolve().parent
FLOOR_SCRIPT = BENCH / "floor.py"
PYTHON = sys.executable
TESSEL = str(Path(PYTHON).parent / "tessel")
IMPORTS = "import sys, os, re, traceback, pathlib, typing, argparse"


# Workloads ---------------------------------------------------------------------


def spread_paths(n, dirs):
    """n new paths spread over `dirs` new directories."""
    return [f"d{i % dirs}/f{i}.txt" for i in range(n)]


def group_words(n, width=0):
    """The words a shell makes of `tessel dir/{f0, f1, ..., fN}.txt`: one brace
    group split at the blanks after its commas, which main() puts back
    together.  (As one word the group could not be passed at all past N of
    about 16,000: Linux refuses a single argument over 128 KiB.)"""
    items = [f"f{i:0{width}}" for i in range(n)]
    return [f"dir/{{{items[0]},", *(f"{x}," for x in items[1:-1]), f"{items[-1]}}}.txt"]


def group_paths(n, width=0):
    """The paths that group_words(n) stands for."""
    return [f"dir/f{i:0{width}}.txt" for i in range(n)]


# Workers: each runs in a fresh interpreter, in a fresh directory -------------------
#
# A worker writes what it measured as JSON to the file named by its last
# argument; its standard output goes to a file.


def worker_create(kind, n, dirs):
    """Item 1: create_files against the floor loop, in process."""
    paths = spread_paths(n, dirs)
    if kind == "tessel":
        from tessel.tessel import FileCreator

        start = time.perf_counter_ns()
        count = FileCreator().create_files(paths)
        sys.stdout.flush()
    else:
        sys.path.insert(0, str(BENCH))
        import floor

        start = time.perf_counter_ns()
        floor.create_all(paths)
        sys.stdout.flush()
        count = n
    elapsed = time.perf_counter_ns() - start
    made = sum(len(os.listdir(f"d{d}")) for d in range(min(dirs, n)))
    return {"ns": elapsed, "count": count, "made": made}


def worker_main(n):
    """Item 7: main() run from a plain script, with the interpreter's own
    block-buffered standard output, on the paths of group_words(n); the
    tessel command runs the same main() with its report written per line."""
    from tessel.tessel import main

    sys.argv = ["tessel", *group_words(n)]
    status = main()
    sys.stdout.flush()
    return {"status": status}


def worker_regroup(n):
    """Item 4: main()'s regrouping of a command line of n words.

    main() runs for real, with the real argparse, parser and sys.argv; two
    module globals that it looks up at each call are rebound to thin
    stand-ins that only take the time: `argparse` to a namespace whose
    ArgumentParser is the real class with a parse_args that notes when the
    real parse returns, and `FileCreator` to a class that notes when main()
    constructs it and then does no file work (create_files returns the
    length of the list, parse_brace_expansion returns []).  Between those
    two marks main() does exactly what it always does there: it reads
    args.files, joins the arguments and regroups them.
    """
    import tessel.tessel as tt

    marks = {}

    class TimedParser(tt.argparse.ArgumentParser):
        def parse_args(self, *args, **kwargs):
            result = super().parse_args(*args, **kwargs)
            marks["parsed"] = time.perf_counter_ns()
            return result

    class Creator:
        def __init__(self):
            marks["regrouped"] = time.perf_counter_ns()

        def create_files(self, files):
            marks["entries"] = len(files)
            return len(files)

        def parse_brace_expansion(self, text):
            return []

    words = group_words(n, width=7)
    tt.argparse = types.SimpleNamespace(ArgumentParser=TimedParser)
    tt.FileCreator = Creator
    sys.argv = ["tessel", *words]
    start = time.perf_counter_ns()
    tt.main()
    return {
        "ns": marks["regrouped"] - marks["parsed"],
        "parse_ns": marks["parsed"] - start,
        "entries": marks["entries"],
        "bytes": len(" ".join(words)),
    }


def worker_expand(n):
    """Item 4: parse_brace_expansion on the group that the regrouping above
    gives: one group of n items, a blank after each comma."""
    from tessel.tessel import FileCreator

    text = " ".join(group_words(n, width=7))
    creator = FileCreator()
    start = time.perf_counter_ns()
    result = creator.parse_brace_expansion(text)
    elapsed = time.perf_counter_ns() - start
    return {"ns": elapsed, "ok": result == group_paths(n, width=7)}


def worker_import():
    """Item 6: the import of tessel.tessel alone, after the host modules that
    its body imports are loaded (the optional packages are probed as usual)."""
    exec(IMPORTS)
    start = time.perf_counter_ns()
    import tessel.tessel  # noqa: F401  (the import is what is timed)

    elapsed = time.perf_counter_ns() - start
    sys.stdout.flush()
    return {"ns": elapsed}


WORKERS = {
    "create": worker_create,
    "main": worker_main,
    "regroup": worker_regroup,
    "expand": worker_expand,
    "import": worker_import,
}


def run_worker(argv):
    kind, *args, result_file = argv
    result = WORKERS[kind](*(int(a) if a.isdigit() else a for a in args))
    Path(result_file).write_text(json.dumps(result))


# Running things -----------------------------------------------------------------


class Bench:
    def __init__(self, base, runs):
        self.base = base
        self.runs = runs
        # Runs that take well under a second are repeated more, which
        # steadies their medians at little cost.
        self.cheap_runs = 3 * runs
        self.startup_runs = 4 * runs

    def fresh_dir(self):
        return tempfile.mkdtemp(prefix="tessel-bench-", dir=self.base)

    def command(self, argv, check=None):
        """One run of argv in a fresh directory, standard output to a file:
        (seconds, peak RSS in KiB).  check(directory) runs afterwards."""
        d = self.fresh_dir()
        try:
            with (
                open(os.path.join(d, "out.txt"), "wb") as out,
                open(os.path.join(d, "err.txt"), "wb+") as err,
            ):
                start = time.perf_counter_ns()
                proc = subprocess.Popen(
                    argv, cwd=d, stdin=subprocess.DEVNULL, stdout=out, stderr=err
                )
                _, status, usage = os.wait4(proc.pid, 0)
                elapsed = time.perf_counter_ns() - start
                proc.returncode = os.waitstatus_to_exitcode(status)
                if proc.returncode != 0:
                    err.seek(0)
                    raise RuntimeError(
                        f"{' '.join(argv[:3])} ... exited with {proc.returncode}: "
                        f"{err.read().decode(errors='replace')[-2000:]}"
                    )
            if check:
                check(d)
            return elapsed / 1e9, usage.ru_maxrss
        finally:
            shutil.rmtree(d)

    def worker(self, *args, check=None):
        """One worker run in a fresh interpreter and directory: its result,
        and with check=True also its time."""
        fd, result_file = tempfile.mkstemp(prefix="tessel-bench-", suffix=".json")
        os.close(fd)
        try:
            seconds, _ = self.command(worker_argv(*args, result_file), check)
            result = json.loads(Path(result_file).read_text())
            return (result, seconds) if check else result
        finally:
            os.unlink(result_file)

    def instructions(self, argv):
        """The user-space instructions that argv executes, counted by
        callgrind, in a fresh directory (with the fixed hash seed that
        main() sets, so that the same run counts the same), after one run
        uncounted in another, which leaves the bytecode caches written."""
        warm = self.fresh_dir()
        try:
            subprocess.run(
                argv,
                cwd=warm,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
        finally:
            shutil.rmtree(warm)
        d = self.fresh_dir()
        try:
            proc = subprocess.run(
                ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                cwd=d,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                text=True,
            )
            found = re.search(r"^==\d+== Collected : (\d+)$", proc.stderr, re.M)
            if proc.returncode != 0 or not found:
                raise RuntimeError(f"callgrind of {' '.join(argv[:3])} ...: {proc.stderr[-2000:]}")
            return int(found.group(1))
        finally:
            shutil.rmtree(d)

    def alternate(self, runners, runs=None):
        """Each runner (name -> function returning a measurement) once as a
        warm-up, then `runs` rounds in a rotating order: name -> list."""
        names = list(runners)
        for name in names:
            runners[name]()
        results = {name: [] for name in names}
        for r in range(runs or self.runs):
            for name in names[r % len(names) :] + names[: r % len(names)]:
                results[name].append(runners[name]())
        return results


def worker_argv(*args):
    return [PYTHON, "-P", str(Path(__file__).resolve()), "--worker", *map(str, args)]


def count_files(expected):
    def check(d):
        made = len(os.listdir(os.path.join(d, "dir")))
        if made != expected:
            raise RuntimeError(f"{made} files made instead of {expected}")

    return check


# The items ------------------------------------------------------------------------


def per_file_cost(bench, n, dirs=100):
    def run(kind):
        result = bench.worker("create", kind, n, dirs)
        if result["count"] != n or result["made"] != n:
            raise RuntimeError(f"{kind}: {result}")
        return result["ns"] / 1e9

    times = bench.alternate(
        {"tessel": lambda: run("tessel"), "floor": lambda: run("floor")}, runs=bench.cheap_runs
    )
    return {k: statistics.median(v) for k, v in times.items()}


def end_to_end(bench, n):
    words, paths = group_words(n), group_paths(n)
    check = count_files(n)
    runs = bench.alternate(
        {
            "tessel": lambda: bench.command([TESSEL, *words], check),
            "floor": lambda: bench.command([PYTHON, str(FLOOR_SCRIPT), *paths], check),
            # mkdir -p makes the one directory, then GNU touch gets the same paths.
            "touch": lambda: bench.command(
                ["sh", "-c", 'mkdir -p dir && exec touch "$@"', "sh", *paths], check
            ),
        },
        runs=bench.cheap_runs if n <= 10_000 else bench.runs,
    )
    return {
        k: {"s": statistics.median(s for s, _ in v), "rss": statistics.median(r for _, r in v)}
        for k, v in runs.items()
    }


def fixed_cost(bench):
    """The end-to-end runs less their files: tessel on a group that stands
    for no file (it prints 0/0 and exits with 0), the floor script with no
    path.  Item 5 takes a run's per-file time as (run - this) / N."""
    runs = bench.alternate(
        {
            "tessel": lambda: bench.command([TESSEL, "dir/{,}.txt"])[0],
            "floor": lambda: bench.command([PYTHON, str(FLOOR_SCRIPT)])[0],
        },
        runs=bench.startup_runs,
    )
    return {k: statistics.median(v) for k, v in runs.items()}


def start_up(bench):
    runs = bench.alternate(
        {
            "tessel": lambda: bench.command([TESSEL, "--version"])[0],
            "bare": lambda: bench.command([PYTHON, "-c", IMPORTS])[0],
        },
        runs=bench.startup_runs,
    )
    return {k: statistics.median(v) for k, v in runs.items()}


def line_output_cost(bench, n):
    """The tessel command, which writes its report line by line, against
    the same main() writing through the interpreter's block buffer."""
    words, check = group_words(n), count_files(n)
    runs = bench.alternate(
        {
            "tessel": lambda: bench.command([TESSEL, *words], check)[0],
            "block": lambda: bench.worker("main", n, check=check)[1],
        },
        runs=bench.cheap_runs,
    )
    return {k: statistics.median(v) for k, v in runs.items()}


def instruction_counts(bench, n):
    """Per file: create_files against the floor loop, from workers making n
    and 2n files; start-up: tessel --version against the bare imports."""

    def per_file(kind):
        counts = [
            bench.instructions(worker_argv("create", kind, m, 100, "/dev/null")) for m in (n, 2 * n)
        ]
        return (counts[1] - counts[0]) / n

    return {
        "tessel": per_file("tessel"),
        "floor": per_file("floor"),
        "start": bench.instructions([TESSEL, "--version"]),
        "bare": bench.instructions([PYTHON, "-c", IMPORTS]),
    }


def import_cost(bench):
    return statistics.median(bench.worker("import")["ns"] for _ in range(bench.startup_runs)) / 1e9


def in_process(bench, n):
    regroup = [bench.worker("regroup", n) for _ in range(bench.runs)]
    expand = [bench.worker("expand", n) for _ in range(bench.runs)]
    if any(r["entries"] != 1 for r in regroup) or not all(e["ok"] for e in expand):
        raise RuntimeError("in-process results are not the expected ones")
    return {
        "regroup": statistics.median(r["ns"] for r in regroup) / 1e9,
        "parse": statistics.median(r["parse_ns"] for r in regroup) / 1e9,
        "bytes": regroup[0]["bytes"],
        "expand": statistics.median(e["ns"] for e in expand) / 1e9,
    }


# Report ------------------------------------------------------------------------------


def machine(base):
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    fs = "?"
    try:
        best = ""
        with open("/proc/mounts") as f:
            for line in f:
                _, point, kind, *_ = line.split()
                if (base == point or base.startswith(point.rstrip("/") + "/")) and len(point) > len(
                    best
                ):
                    best, fs = point, kind
    except OSError:
        pass
    return (
        f"{cpu}, {os.cpu_count()} cores; Linux {platform.release()}; "
        f"Python {platform.python_version()} ({platform.python_implementation()}); "
        f"files on {base} ({fs})"
    )


def ms(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds >= 0.1e-3 else f"{seconds * 1e6:.0f} us"


def us_per_file(seconds, n):
    return f"{seconds / n * 1e6:.2f} us/file"


class Target:
    """A figure's target, at most limit: its text is made from the number,
    so that the two cannot disagree."""

    def __init__(self, limit, form, scale=1):
        self.limit = limit
        self.text = "<= " + form.format(limit * scale)


# Each target once.
CREATE_FILES = Target(1.00, "{:.2f}x")
COMMAND = Target(1.05, "{:.2f}x")
START_UP = Target(3e-3, "+{:.0f} ms", 1e3)
REGROUP = Target(10e-3, "{:.0f} ms", 1e3)
EXPAND = Target(50e-3, "{:.0f} ms", 1e3)
GROWTH = Target(1.2, "{:.1f}")
PEAK_RSS = Target(1.2, "{:.1f}x")
IMPORT = Target(1.5e-3, "{:.1f} ms", 1e3)
INSTRUCTIONS = Target(1.00, "{:.2f}x")


class Table:
    header = ("#", "measure", "tessel", "against", "measured", "target", "met")

    def __init__(self):
        self.rows = []

    def add(self, item, what, tessel, against, measured, target=None, value=None):
        """A row; without a target the figure is only shown."""
        if target is None:
            goal, met = "(shown)", "-"
        else:
            goal, met = target.text, "yes" if value <= target.limit else "NO"
        self.rows.append((str(item), what, tessel, against, measured, goal, met))

    def show(self):
        rows = [self.header] + self.rows
        widths = [max(len(r[i]) for r in rows) for i in range(len(self.header))]
        for k, row in enumerate(rows):
            print("  ".join(c.ljust(w) for c, w in zip(row, widths, strict=True)).rstrip())
            if k == 0:
                print("  ".join("-" * w for w in widths))


def progress(text):
    print(f"[bench] {text}", file=sys.stderr, flush=True)


# Put on PYTHONPATH, the test suite's packages that fail to import as
# missing ones do: every process measured sees the optional packages missing,
# also where they are installed, as the floor copies nothing and notifies
# nobody.
ABSENT = str(BENCH.parent / "tests" / "absent")


# The sizes of one run: item 1's N, the end-to-end Ns, the in-process items,
# the lines of item 7, item 8's N.
Sizes = collections.namedtuple("Sizes", "item1 sizes group line_n count_n")


def measure(bench, size):
    """Every figure, measured side by side: a namespace of them by name."""
    item1, sizes, group, line_n, count_n = size
    progress(f"1. create_files against the floor loop, N={item1:,}")
    item1_t = per_file_cost(bench, item1)
    e2e = {}
    for n in sizes:
        progress(f"2. end to end, N={n:,}")
        e2e[n] = end_to_end(bench, n)
    progress("3. start-up")
    boot = start_up(bench)
    progress("5. the end-to-end runs without files")
    fixed = fixed_cost(bench)
    progress(f"4. regrouping and expansion in process, {group:,} items")
    inproc = in_process(bench, group)
    progress("6. the module's own import")
    own_import = import_cost(bench)
    progress(f"7. the report written per line, N={line_n:,}")
    lines = line_output_cost(bench, line_n)
    counts = None
    if shutil.which("valgrind"):
        progress(f"8. instruction counts (callgrind), N={count_n:,} and {2 * count_n:,}")
        counts = instruction_counts(bench, count_n)

    return types.SimpleNamespace(
        item1_t=item1_t,
        e2e=e2e,
        boot=boot,
        fixed=fixed,
        inproc=inproc,
        own_import=own_import,
        lines=lines,
        counts=counts,
    )


def results_table(size, m):
    """The table of the figures against their targets."""
    item1, sizes, group, line_n, _ = size
    item1_t, e2e, boot, fixed, inproc = m.item1_t, m.e2e, m.boot, m.fixed, m.inproc
    own_import, lines, counts = m.own_import, m.lines, m.counts
    table = Table()
    ratio = item1_t["tessel"] / item1_t["floor"]
    table.add(
        1,
        f"create_files, N={item1:,} in 100 dirs",
        us_per_file(item1_t["tessel"], item1),
        f"floor loop {us_per_file(item1_t['floor'], item1)}",
        f"{ratio:.3f}x",
        CREATE_FILES,
        ratio,
    )
    for n in sizes:
        t = e2e[n]
        ratio = t["tessel"]["s"] / t["floor"]["s"]
        table.add(
            2,
            f"tessel command, N={n:,}",
            ms(t["tessel"]["s"]),
            f"floor script {ms(t['floor']['s'])}",
            f"{ratio:.3f}x",
            COMMAND,
            ratio,
        )
    for n in sizes:
        t = e2e[n]
        table.add(
            2,
            f"  ... against mkdir -p + touch, N={n:,}",
            ms(t["tessel"]["s"]),
            f"mkdir+touch {ms(t['touch']['s'])}",
            f"{t['tessel']['s'] / t['touch']['s']:.1f}x (floor "
            f"{t['floor']['s'] / t['touch']['s']:.1f}x)",
        )
    extra = boot["tessel"] - boot["bare"]
    table.add(
        3,
        "start-up: tessel --version",
        ms(boot["tessel"]),
        f"bare imports {ms(boot['bare'])}",
        f"{extra * 1e3:+.1f} ms",
        START_UP,
        extra,
    )
    table.add(
        4,
        f"regrouping in main(), {group:,} args ({inproc['bytes'] / 1e6:.2f} MB)",
        ms(inproc["regroup"]),
        "-",
        ms(inproc["regroup"]),
        REGROUP,
        inproc["regroup"],
    )
    table.add(
        4,
        f"parse_brace_expansion, {group:,} items",
        ms(inproc["expand"]),
        "-",
        ms(inproc["expand"]),
        EXPAND,
        inproc["expand"],
    )
    small, large = sizes[0], sizes[-1]

    def growth(kind):
        per = {n: (e2e[n][kind]["s"] - fixed[kind]) / n for n in (small, large)}
        return per[large] / per[small], per

    g_tessel, per_tessel = growth("tessel")
    g_floor, _ = growth("floor")
    table.add(
        5,
        f"per-file time N={large:,} / N={small:,}",
        f"{per_tessel[large] * 1e6:.2f} / {per_tessel[small] * 1e6:.2f} us",
        f"floor {g_floor:.2f}",
        f"{g_tessel:.2f}",
        GROWTH,
        g_tessel,
    )
    rss_t, rss_f = e2e[large]["tessel"]["rss"], e2e[large]["floor"]["rss"]
    table.add(
        5,
        f"peak RSS, N={large:,}",
        f"{rss_t / 1024:.1f} MiB",
        f"floor script {rss_f / 1024:.1f} MiB",
        f"{rss_t / rss_f:.2f}x",
        PEAK_RSS,
        rss_t / rss_f,
    )

    table.add(
        6,
        "import tessel.tessel, host modules loaded",
        ms(own_import),
        "-",
        ms(own_import),
        IMPORT,
        own_import,
    )
    ratio = lines["tessel"] / lines["block"]
    table.add(
        7,
        f"report per line (tessel command), N={line_n:,}",
        ms(lines["tessel"]),
        f"block-buffered main() {ms(lines['block'])}",
        f"{ratio:.3f}x",
    )
    if counts:
        ratio = counts["tessel"] / counts["floor"]
        table.add(
            8,
            "instructions per file, create_files",
            f"{counts['tessel']:,.0f}",
            f"floor loop {counts['floor']:,.0f}",
            f"{ratio:.3f}x",
            INSTRUCTIONS,
            ratio,
        )
        table.add(
            8,
            "instructions, tessel --version",
            f"{counts['start'] / 1e6:.1f} M",
            f"bare imports {counts['bare'] / 1e6:.1f} M",
            f"{counts['start'] / counts['bare']:.3f}x",
        )

    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="small N (1,000 / 100 to 10,000 / 10,000), for CI"
    )
    parser.add_argument("--runs", type=int, help="runs per median (at least 5; default 9, quick 5)")
    parser.add_argument(
        "--dir",
        help="where the temporary directories go (default: /dev/shm "
        "when it is a tmpfs, else the system's temporary directory)",
    )
    parser.add_argument("--worker", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        return run_worker(options.worker)

    runs = max(5, options.runs or (5 if options.quick else 9))
    base = options.dir or ("/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir())
    base = os.path.realpath(base)
    os.environ["PYTHONPATH"] = ABSENT
    # Every measured process runs as an installed user's does: its output
    # buffered as Python buffers it and its bytecode caches written and used
    # (the first, warm-up, run of each command writes them), whatever the
    # environment that started the benchmark says; one hash seed for all.
    for name in ("PYTHONUNBUFFERED", "PYTHONDONTWRITEBYTECODE", "PYTHONPYCACHEPREFIX"):
        os.environ.pop(name, None)
    os.environ["PYTHONHASHSEED"] = "0"
    if options.quick:
        size = Sizes(1_000, (100, 1_000, 10_000), 10_000, 10_000, 200)
    else:
        size = Sizes(10_000, (1_000, 10_000, 100_000), 100_000, 10_000, 1_000)

    # Linux gives a new program a quarter of the stack limit for its
    # arguments; 100,000 expanded paths and their pointers need more than
    # the 2 MiB that the usual 8 MiB limit allows.  Every child, tessel
    # included, runs with the same raised limit.
    soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    want = 64 << 20
    if soft != resource.RLIM_INFINITY and soft < want:
        resource.setrlimit(
            resource.RLIMIT_STACK,
            (want if hard == resource.RLIM_INFINITY else min(want, hard), hard),
        )

    bench = Bench(base, runs)
    version = subprocess.run(
        [TESSEL, "--version"], capture_output=True, text=True, check=True
    ).stdout.splitlines()[-1]
    started = time.monotonic()

    m = measure(bench, size)
    table = results_table(size, m)
    print(f"tessel benchmark: {' '.join(['python -P bench/run.py', *sys.argv[1:]])}")
    print(f"machine: {machine(base)}")
    print(f"tessel: {version}, {TESSEL}")
    print(
        f"medians of {runs} runs ({bench.cheap_runs} for item 1 and N <= 10,000, "
        f"{bench.startup_runs} for start-up); {time.monotonic() - started:.0f} s in all"
    )
    print()
    table.show()
    print()
    print(
        f"5: per-file time = (run - the same command making no file) / N; no file: tessel "
        f"{ms(m.fixed['tessel'])}, floor script {ms(m.fixed['floor'])}"
    )
    if not m.counts:
        print("8: no valgrind here, so no instruction counts")
    print(
        f"4: for comparison, main() took {ms(m.inproc['parse'])} before the regrouping to build "
        f"its parser and have argparse parse the same {size.group:,} words"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
