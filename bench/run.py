"""Benchmark of tessel against the floor of its own host calls.

Run with the interpreter that tessel is installed into:

    .venv/bin/python -P bench/run.py           # full run, a few minutes
    .venv/bin/python -P bench/run.py --quick   # small N, to keep it working

Every figure is the median of several runs, each on a fresh temporary
directory, and every ratio compares two things measured side by side in this
one run (their runs alternate).  Nothing is built here: the installed module
and its `tessel` command are measured.
"""
import argparse
import contextlib
import io
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BIN = Path(sys.executable).parent
TESSEL = str(BIN / "tessel")
IMPORTS = "import sys, os, re, traceback, pathlib, typing, argparse"

# The least Python that makes the host calls tessel makes for each file.
FLOOR_LOOP = '''
def floor(paths):
    for p in paths:
        file_path = Path(p)
        file_path.parent.mkdir(parents=True, exist_ok=True)
        file_path.touch(exist_ok=True)
        str(file_path)
        print(f'\\u2713 File created: "{file_path.absolute()}"')
'''
FLOOR_SCRIPT = IMPORTS + "\nfrom pathlib import Path\n" + FLOOR_LOOP + "\nfloor(sys.argv[1:])\n"
exec("from pathlib import Path\n" + FLOOR_LOOP)


def paths_for(n, dirs=100):
    return [f"d{i % dirs}/f{i}.txt" for i in range(n)]


@contextlib.contextmanager
def fresh_dir():
    old = os.getcwd()
    path = tempfile.mkdtemp(prefix="tessel-bench-")
    os.chdir(path)
    try:
        yield Path(path)
    finally:
        os.chdir(old)
        shutil.rmtree(path)


def median_pair(runs, first, second):
    """Medians of two measurements taken in alternation, runs times each."""
    a, b = [], []
    for _ in range(runs):
        a.append(first())
        b.append(second())
    return statistics.median(a), statistics.median(b)


def timed_in_process(work):
    with fresh_dir() as d, open(d / "out.txt", "w") as out:
        with contextlib.redirect_stdout(out):
            start = time.perf_counter()
            work()
            return time.perf_counter() - start


def timed_command(argv, stdin_text=None):
    """(seconds, peak RSS in KiB) of one run of argv in a fresh directory."""
    with fresh_dir() as d, open(d / "out.txt", "w") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode not in (0, 1):
            raise RuntimeError(f"{argv[0]} exited with {proc.returncode}")
        return seconds, usage.ru_maxrss


def shell_words(n):
    """The words a shell makes of `tessel dir/{f0, f1, ...}.txt`: one group
    split at the blanks after its commas (a single word of that size would
    exceed the kernel's limit for one argument)."""
    items = [f"f{i}" for i in range(n)]
    return [f"dir/{{{items[0]},"] + [f"{x}," for x in items[1:-1]] + [f"{items[-1]}}}.txt"]


class Table:
    def __init__(self):
        self.rows = []

    def add(self, what, measured, target, met):
        self.rows.append((what, measured, target, "yes" if met else "NO"))

    def show(self):
        widths = [max(len(r[i]) for r in self.rows + [self.header]) for i in range(4)]
        for row in [self.header] + self.rows:
            print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)))

    header = ("measure", "measured", "target", "met")


def per_file_cost(table, n, runs):
    import tessel.tessel as tt
    paths = paths_for(n)
    creator = tt.FileCreator()
    t_tessel, t_floor = median_pair(
        runs,
        lambda: timed_in_process(lambda: creator.create_files(list(paths))),
        lambda: timed_in_process(lambda: floor(paths)))
    table.add(f"create_files / floor loop, N={n:,} in 100 dirs",
              f"{t_tessel / t_floor:.3f}x ({t_tessel / n * 1e6:.1f} vs {t_floor / n * 1e6:.1f} us/file)",
              "<= 1.00x", t_tessel <= t_floor)


def end_to_end(table, sizes, runs):
    per_file = {}
    rss = {}
    for n in sizes:
        words = shell_words(n)
        expanded = [f"dir/f{i}.txt" for i in range(n)]
        python = sys.executable
        results = {"tessel": [], "floor": [], "touch": []}
        for _ in range(runs):
            results["tessel"].append(timed_command([TESSEL, *words]))
            results["floor"].append(timed_command([python, "-c", FLOOR_SCRIPT, *expanded]))
            results["touch"].append(timed_command(
                ["sh", "-c", 'mkdir -p dir && exec touch "$@"', "sh", *expanded]))
        t = {k: statistics.median(s for s, _ in v) for k, v in results.items()}
        rss[n] = {k: statistics.median(r for _, r in v) for k, v in results.items()}
        per_file[n] = t["tessel"] / n
        table.add(f"tessel command / floor script, N={n:,}",
                  f"{t['tessel'] / t['floor']:.3f}x ({t['tessel']:.3f} s vs {t['floor']:.3f} s)",
                  "<= 1.05x", t["tessel"] <= 1.05 * t["floor"])
        table.add(f"tessel command / mkdir -p + touch, N={n:,}",
                  f"{t['tessel'] / t['touch']:.1f}x (touch {t['touch']:.3f} s)", "(shown)", True)
    return per_file, rss


def start_up(table, runs):
    python = sys.executable
    t_tessel, t_bare = median_pair(
        runs,
        lambda: timed_command([TESSEL, "--version"])[0],
        lambda: timed_command([python, "-c", IMPORTS])[0])
    extra = (t_tessel - t_bare) * 1000
    table.add("tessel --version - bare imports",
              f"{extra:+.1f} ms ({t_tessel * 1000:.1f} vs {t_bare * 1000:.1f} ms)",
              "<= +3 ms", extra <= 3)


def regrouping_and_expansion(table, n, runs):
    """main()'s regrouping alone, and parse_brace_expansion alone, in process.

    The regrouping runs inside main() between parse_args() returning and the
    construction of the FileCreator; the module looks both up as globals at
    each call, so rebinding them to thin wrappers that take the time marks
    that interval without changing what main() does in between.
    """
    import tessel.tessel as tt
    marks = {}

    class Parser(tt.argparse.ArgumentParser):
        def parse_args(self, *a, **k):
            result = super().parse_args(*a, **k)
            marks["parsed"] = time.perf_counter()
            return result

    class ArgparseShim:
        ArgumentParser = Parser
        RawTextHelpFormatter = tt.argparse.RawTextHelpFormatter

    class Creator:
        def __init__(self):
            marks["regrouped"] = time.perf_counter()

        def create_files(self, files):
            marks["entries"] = len(files)
            return len(files)

        def parse_brace_expansion(self, text):
            return []

    words = [f"dir/{{w{i:05}," if i % 2 == 0 else f"w{i:05}}}.txt" for i in range(n)]
    saved = tt.argparse, tt.FileCreator, sys.argv
    times = []
    try:
        tt.argparse, tt.FileCreator = ArgparseShim, Creator
        sys.argv = ["tessel", *words]
        for _ in range(runs):
            with contextlib.redirect_stdout(io.StringIO()):
                tt.main()
            times.append(marks["regrouped"] - marks["parsed"])
    finally:
        tt.argparse, tt.FileCreator, sys.argv = saved
    assert marks["entries"] == n // 2
    size = len(" ".join(words))
    regroup = statistics.median(times) * 1000
    table.add(f"regrouping, {n:,} args ({size / 1e6:.2f} MB)", f"{regroup:.2f} ms", "<= 10 ms",
              regroup <= 10)

    creator = tt.FileCreator()
    group = "d/{" + ",".join(f"f{i}" for i in range(n)) + "}.txt"
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = creator.parse_brace_expansion(group)
        times.append(time.perf_counter() - start)
    assert len(result) == n
    expand = statistics.median(times) * 1000
    table.add(f"parse_brace_expansion, {n:,} items", f"{expand:.2f} ms", "<= 50 ms", expand <= 50)


def machine():
    cpu = platform.processor() or "unknown CPU"
    with contextlib.suppress(OSError):
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small N, for CI")
    parser.add_argument("--runs", type=int, default=5, help="runs per median (at least 5)")
    options = parser.parse_args()
    runs = max(5, options.runs)
    if options.quick:
        item1, sizes, group = 1_000, (100, 1_000), 10_000
    else:
        item1, sizes, group = 10_000, (1_000, 10_000, 100_000), 100_000

    with contextlib.redirect_stdout(io.StringIO()):
        import tessel.tessel  # noqa: F401  (its import-time warnings are not the benchmark's)
    print(f"tessel benchmark on {machine()}; medians of {runs} runs")
    table = Table()
    per_file_cost(table, item1, runs)
    per_file, rss = end_to_end(table, sizes, runs)
    start_up(table, max(runs, 20))
    regrouping_and_expansion(table, group, runs)
    small, large = sizes[0], sizes[-1]
    growth = per_file[large] / per_file[small]
    table.add(f"per-file time N={large:,} / N={small:,}", f"{growth:.2f}", "<= 1.2", growth <= 1.2)
    ratio = rss[large]["tessel"] / rss[large]["floor"]
    table.add(f"peak RSS tessel / floor, N={large:,}",
              f"{ratio:.2f}x ({rss[large]['tessel'] / 1024:.1f} vs {rss[large]['floor'] / 1024:.1f} MiB)",
              "<= 1.2x", ratio <= 1.2)
    table.show()


if __name__ == "__main__":
    main()
