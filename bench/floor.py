"""The floor that tessel is measured against: the least Python code that makes
the host calls tessel makes for each file it creates, with nothing around
them (no regrouping or brace expansion, no error handling, no clipboard or
notification step, since neither package is installed where the benchmark
runs).  Its imports are those of tessel's import-time body.

Run as a script it creates the files named by its arguments, which are the
already expanded paths, after argparse has read them with tessel's
arguments, and writes each line as it is printed, as tessel does: both are
host calls per file too.
"""

import argparse
import os  # noqa: F401  (as tessel)
import re  # noqa: F401  (as tessel)
import sys
import traceback  # noqa: F401  (as tessel)
from pathlib import Path
from typing import List, Optional, Tuple  # noqa: F401  (as tessel)


def create_all(paths):
    for p in paths:
        file_path = Path(p)
        file_path.parent.mkdir(parents=True, exist_ok=True)
        file_path.touch(exist_ok=True)
        str(file_path)
        print(f'\u2713 File created: "{file_path.absolute()}"')


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("files", nargs="*")
    parser.add_argument("--version", action="version", version="")
    parser.add_argument("--debug", action="store_true")
    files = parser.parse_args().files
    sys.stdout.reconfigure(line_buffering=True)
    create_all(files)
