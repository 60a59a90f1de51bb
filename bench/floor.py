"""The floor that tessel is measured against: the least Python code that makes
the host calls tessel makes for each file it creates, with nothing around
them (no brace expansion, no error handling, no clipboard or notification
step, since neither package is installed where the benchmark runs).

Run as a script it creates the files named by its arguments, which are the
already expanded paths; bench/run.py also imports it and calls create_all()
in process.  Its imports are those of tessel's import-time body.
"""

import argparse  # noqa: F401  (the same imports as tessel)
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
    create_all(sys.argv[1:])
