"""The tessel command as users run it, against the same command in pure
Python (tessel_py.py, started by the three lines of tessel-py), against
floor.py (the least Python that makes tessel's host calls per file) and
against mkdir -p + GNU touch.

    nox -s bench                        # full run, about thirteen minutes
    nox -s bench -- --quick             # small N, for CI
    nox -s bench -- --extras PYTHON     # also what the optional packages cost

It runs under the interpreter of an environment that holds tessel without
its optional packages (nox's bench session makes one) and refuses one that
can import them: every command measured is then the one a user without them
runs.  Each runs in a fresh directory on /dev/shm, with one environment: no
PYTHONUNBUFFERED, PYTHONDONTWRITEBYTECODE or PYTHONPYCACHEPREFIX from outside
and one hash seed; a run before any measured one writes the bytecode caches.

Instructions are user-space instructions counted by valgrind's callgrind,
which do not move with the machine's load but do, by up to 1.5 %, with the
layout of the process (such as the folder names that its paths carry, or
the size of its environment): a count is the median over runs in three
folders; per file, the count for 2N files less that for N, over N, in
each folder.  Times are hyperfine's, in rounds whose order of commands
rotates, median over all rounds.  With --extras, the interpreter
of an environment with the optional packages: their import costs, and the
time per file of a copy to the clipboard (on the X display of DISPLAY) and a
notification answered by a GNTP listener that the benchmark starts.
"""

import argparse
import importlib.util
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ENV = {
    **{k: v for k, v in os.environ.items() if not k.startswith("PYTHON")},
    "PYTHONHASHSEED": "0",
}


def paths(n, dirs=100):
    """n new files spread over new directories."""
    return [f"d{i % dirs}/f{i}" for i in range(n)]


def targets(python, work):
    """What is measured, by name: a function of the paths to its command."""
    pure = work / "pure"
    pure.mkdir()
    for name in ("tessel_py.py", "tessel-py"):
        shutil.copy(BENCH / name, pure)
    # Its version file is the installed tessel's, beside it as beside tessel.
    tessel = Path(importlib.util.find_spec("tessel").origin).parent
    shutil.copy(tessel / "__version__.py", pure)
    mkdir = "mkdir -p " + " ".join(f"d{i}" for i in range(100))
    return {
        "tessel": lambda p: [str(Path(python).parent / "tessel"), *p],
        "pure Python": lambda p: [python, str(pure / "tessel-py"), *p],
        "floor": lambda p: [python, str(BENCH / "floor.py"), *p],
        "mkdir -p + touch": lambda p: ["sh", "-c", f'{mkdir} && exec touch "$@"', "sh", *p],
    }


# The folders that each count is taken in: names of other lengths and
# letters, the layout of the measured process with them.
FOLDERS = ("run", "r", "a-longer-folder-name")


def fresh(work, folder="run"):
    d = work / folder
    shutil.rmtree(d, ignore_errors=True)
    d.mkdir()
    return d


def output(argv, work):
    d = fresh(work)
    return subprocess.run(argv, cwd=d, env=ENV, capture_output=True, text=True, check=True).stdout


def instructions(argv, work):
    """The user-space instructions of a run of argv in each of FOLDERS,
    after one run that writes the bytecode caches."""
    output(argv, work)
    found = []
    for folder in FOLDERS:
        err = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
            cwd=fresh(work, folder),
            env=ENV,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            check=True,
        ).stderr
        found.append(int(re.search(r"^==\d+== Collected : (\d+)$", err, re.M).group(1)))
    return found


def counted(argv, work):
    """The median over FOLDERS of the instructions of a run of argv."""
    return statistics.median(instructions(argv, work))


def per_file(command, n, work):
    """The median over FOLDERS of the instructions per file from n to 2n
    files.  A window as wide as n spreads over many files the costs that
    come once in a while (a collection of the older objects, a table that
    grows): in a window of 1,000 files from 10,000 they moved the count by
    up to 3 % from folder to folder."""
    less, more = (instructions(command(paths(k)), work) for k in (n, 2 * n))
    return statistics.median((b - a) / n for a, b in zip(less, more, strict=True))


def times(commands, work, runs, rounds):
    """Median seconds of each command (name -> argv) by hyperfine, in
    rounds whose order rotates."""
    names, found = list(commands), {name: [] for name in commands}
    for r in range(rounds):
        order = names[r % len(names) :] + names[: r % len(names)]
        result = work / "hyperfine.json"
        subprocess.run(
            ["hyperfine", "--style", "none", "--shell", "none", "--warmup", "1"]
            + ["--runs", str(runs), "--export-json", str(result)]
            + ["--prepare", "find . -mindepth 1 -delete"]
            + [" ".join(f"'{a}'" for a in commands[name]) for name in order],
            cwd=fresh(work),
            env=ENV,
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,  # hyperfine's advice on outliers
        )
        for name, run in zip(order, json.loads(result.read_text())["results"], strict=True):
            found[name] += run["times"]
    return {name: statistics.median(t) for name, t in found.items()}


def gntp_listener():
    """Answers every GNTP request on the default port with OK; False if
    the port is taken (by a daemon, which then answers)."""
    try:
        server = socket.create_server(("127.0.0.1", 23053))
    except OSError:
        return False

    def serve():
        while True:
            conn, _ = server.accept()
            with conn:
                data = b""
                while not data.endswith(b"\r\n\r\n") and (chunk := conn.recv(65536)):
                    data += chunk
                conn.sendall(b"GNTP/1.0 -OK NONE\r\nResponse-Action: REGISTER\r\n\r\n")

    threading.Thread(target=serve, daemon=True).start()
    return True


def row(measure, tessel, against, name, target=None):
    ratio = tessel / against
    met = "–" if target is None else ("yes" if ratio <= target else "no")
    goal = "(shown)" if target is None else f"≤ {target:.2f}×"
    print(f"| {measure} | {tessel:,.0f} | {name} {against:,.0f} | {ratio:.3f}× | {goal} | {met} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small N and few runs (CI)")
    parser.add_argument("--extras", metavar="PYTHON", help="an interpreter with the extras")
    options = parser.parse_args()
    for name in ("clipboard", "gntp"):
        if importlib.util.find_spec(name):
            sys.exit(f"{name} can be imported here: run in an environment without it")
    sizes = (100,) if options.quick else (1_000, 10_000)
    runs, rounds = (3, 1) if options.quick else (10, 3)
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(prefix="tessel-bench-", dir=base) as tmp:
        work = Path(tmp)
        commands = targets(sys.executable, work)
        for argv in (["d/{a, b}", "c"], ["--version"]):
            if output(commands["tessel"](argv), work) != output(
                commands["pure Python"](argv), work
            ):
                sys.exit(f"the pure-Python command differs from tessel on {argv}")
        tessel, pure = commands["tessel"], commands["pure Python"]

        print("| measure | tessel | against | ratio | target | met |\n|---|---|---|---|---|---|")
        for argv in (["d/a"], ["--version"]):
            row(
                f"instructions, `tessel {argv[0]}`",
                counted(tessel(argv), work),
                counted(pure(argv), work),
                "pure Python",
                0.95,
            )
        for n in sizes:
            each = {k: per_file(commands[k], n, work) for k in ("tessel", "floor", "pure Python")}
            for name, target in (("floor", 1.00), ("pure Python", None)):
                row(
                    f"instructions per file, N={n:,}",
                    each["tessel"],
                    each[name],
                    name,
                    target,
                )

        for n in (1, *sizes):
            t = times({name: make(paths(n)) for name, make in commands.items()}, work, runs, rounds)
            for name in ("pure Python", "floor", "mkdir -p + touch"):
                row(f"µs, N={n:,}", t["tessel"] * 1e6, t[name] * 1e6, name)

        if options.extras:
            extras(options.extras, work, runs, rounds)


def extras(python, work, runs, rounds):
    """What the optional packages add to a run, with python, the interpreter
    of an environment that holds them and tessel."""
    print("\n| with the optional packages | cost |\n|---|---|")
    imports = "import sys, os, re, traceback, pathlib, typing, argparse"  # tessel's own
    base = counted([python, "-c", imports], work)
    for module in ("clipboard", "gntp.notifier"):
        cost = counted([python, "-c", f"{imports}; import {module}"], work) - base
        print(f"| instructions to import {module}, after tessel's own imports | {cost:,} |")
    listener = "a GNTP round trip" if gntp_listener() else "a notification to port 23053"
    # Per file: the run of 2n files less the run of n, which leaves out the
    # start-up and the imports.
    n = 20
    with_extras, without = Path(python).parent / "tessel", Path(sys.executable).parent / "tessel"
    t = times(
        {
            **{f"with {k}": [str(with_extras), *paths(k)] for k in (n, 2 * n)},
            **{f"without {k}": [str(without), *paths(k)] for k in (n, 2 * n)},
            "xclip": ["xclip", "-selection", "clipboard", "-i", "/dev/null"],
        },
        work,
        runs,
        rounds,
    )
    added = (t[f"with {2 * n}"] - t[f"with {n}"] - t[f"without {2 * n}"] + t[f"without {n}"]) / n
    print(f"| ms per file for a copy to the clipboard and {listener} | {added * 1e3:.1f} |")
    print(f"| ms for one xclip process (each copy starts one) | {t['xclip'] * 1e3:.1f} |")


if __name__ == "__main__":
    main()
