"""Shared recorder for the stand-in packages.

Every call is kept in ``CALLS`` (for tests in the same process) and, when the
environment variable TESSEL_RECORD names a file, appended to it as one JSON
line (for tests that run tessel in a child process).  Keyword arguments are
recorded as a list of pairs so that their order can be checked.
"""

import json
import os

CALLS = []


def record(name, args=(), kwargs=None):
    entry = {"call": name, "args": list(args), "kwargs": list((kwargs or {}).items())}
    CALLS.append(entry)
    path = os.environ.get("TESSEL_RECORD")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")


def fail(what):
    """Raise the exception named by TESSEL_FAIL_<WHAT> ("Class" or "Class:text")."""
    spec = os.environ.get("TESSEL_FAIL_" + what.upper())
    if not spec:
        return
    cls_name, _, text = spec.partition(":")
    import builtins

    raise getattr(builtins, cls_name)(text)
