"""How often an early Ctrl-C still prints a traceback, and from where.

    python -P bench/interrupts.py [--tries 300] [--tessel PATH]

with the interpreter of an environment that holds tessel without its
optional packages (as nox's bench session makes one: .nox/bench/bin/python).

Starts `tessel x/1 x/2 x/3` in a fresh directory again and again, sends it
SIGINT after a random delay drawn from the whole start-up (from 0 to a
little past the time a run takes), and sorts what it printed on standard
error: nothing, or a traceback whose innermost frame is in tessel's own code
(the package's files), in the entry-point script, or in the interpreter's
start-up before either (site, encodings, the standard library's imports).
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path


def where(stderr, tessel):
    """Where the traceback in stderr, if any, was raised."""
    if "Traceback" not in stderr and "KeyboardInterrupt" not in stderr:
        return "no traceback"
    files = re.findall(r'File "([^"]+)"', stderr)
    package = str(Path(tessel).resolve().parent.parent / "lib")
    if any("/tessel/" in f and f.startswith(package) for f in files):
        return "traceback through tessel's code"
    if files and files[0] == tessel:
        return "traceback in the entry-point script or its own imports"
    return "traceback in the interpreter's start-up"


def default_sigint():
    # As in a terminal: run in the background, this script has SIGINT
    # ignored, and a child would inherit that.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tries", type=int, default=300)
    parser.add_argument("--tessel", default=str(Path(sys.executable).parent / "tessel"))
    options = parser.parse_args()
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}

    def run(delay):
        d = tempfile.mkdtemp(prefix="tessel-interrupt-")
        try:
            proc = subprocess.Popen(
                [options.tessel, "x/1", "x/2", "x/3"],
                cwd=d,
                env=env,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                text=True,
                preexec_fn=default_sigint,
            )
            if delay is not None:
                time.sleep(delay)
                proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=60)
            return proc.returncode, err
        finally:
            shutil.rmtree(d)

    start = time.perf_counter()
    for _ in range(5):
        run(None)
    whole = (time.perf_counter() - start) / 5
    results = Counter()
    statuses = Counter()
    for _ in range(options.tries):
        status, err = run(random.uniform(0, 1.2 * whole))
        statuses[status] += 1
        results[where(err, options.tessel)] += 1
    print(
        f"{options.tries} tries, SIGINT after 0 to {1.2 * whole * 1000:.0f} ms "
        f"(a whole run takes {whole * 1000:.0f} ms): {options.tessel}"
    )
    for kind, n in results.most_common():
        print(f"  {n:4d}  {100 * n / options.tries:5.1f} %  {kind}")
    print("  exit statuses:", dict(sorted(statuses.items(), key=lambda kv: str(kv[0]))))


if __name__ == "__main__":
    main()
