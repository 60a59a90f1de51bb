"""Helpers of the tessel test suite, imported as a module by the tests and
by conftest (which puts this folder on sys.path): the texts that tessel
writes, the forms of what the stand-ins record, the host's own exception
texts, and the one builder of a child process's environment with the
command runner on top of it.  Nothing here imports tessel."""

import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
REPO = TESTS.parent
STANDINS = TESTS / "standins"
ABSENT = TESTS / "absent"
PYTHON = sys.executable
TESSEL = str(Path(PYTHON).parent / "tessel")  # the installed console script


# What only POSIX has, for the tests that need it ----------------------------

WINDOWS = os.name == "nt"


def posix_only(what):
    """Marks a test of what Windows does not have: file names of undecodable
    bytes (its names are UTF-16 text), signals that end a process by their
    default action, preexec_fn, a POSIX shell and its tools, /dev/full,
    mount namespaces, ELF tools, man."""
    return pytest.mark.skipif(WINDOWS, reason=f"POSIX only: {what}")


NAMES_OF_BYTES = posix_only("file names of undecodable bytes")
# The status of a run that Ctrl-C ended: death by SIGINT, or on Windows
# STATUS_CONTROL_C_EXIT, as the host's subprocess gives them.
INTERRUPTED = 0xC000013A if WINDOWS else -signal.SIGINT


# Lines that tessel prints --------------------------------------------------


def ok(path):
    return f'✓ File created: "{path}"'


def err(arg, text):
    return f'✗ Error creating file "{arg}": {text}'


def summary(created, expected):
    return ["", f"{created}/{expected} file(s) created successfully"]


def copy_warning(text):
    return f"Warning: Could not copy to clipboard: {text}"


def growl_warning(text):
    return f"Warning: Could not initialize Growl: {text}"


def version_error(text):
    return f"ERROR: {text}"


CLIPBOARD_MISSING = "Warning: clipboard module not available. Install with: pip install clipboard"
GNTP_MISSING = "Warning: gntp module not available. Install with: pip install gntp"


# What the stand-in of gntp.notifier records -----------------------------------


def registration(icon):
    """The calls of one registration, with the icon URI given."""
    return [
        {
            "call": "GrowlNotifier",
            "args": [],
            "kwargs": [
                ["applicationName", "tessel"],
                ["notifications", ["create"]],
                ["defaultNotifications", ["create"]],
                ["applicationIcon", icon],
            ],
        },
        {"call": "register", "args": [], "kwargs": []},
    ]


def notification(name, icon):
    """The call of one notification for the file name."""
    return {
        "call": "notify",
        "args": [],
        "kwargs": [
            ["noteType", "create"],
            ["title", "tessel"],
            ["description", f'File created: "{name}"'],
            ["icon", icon],
            ["sticky", False],
            ["priority", 1],
        ],
    }


def as_json(calls):
    """Recorded calls in the form of the two above (pairs as lists)."""
    return [
        {"call": c["call"], "args": c["args"], "kwargs": [list(p) for p in c["kwargs"]]}
        for c in calls
    ]


# Texts of the host's exceptions, which differ between CPython versions -----


def host_exception(call, *args, **kwargs):
    """The exception that the host raises for call(*args, **kwargs), a call
    that must fail."""
    try:
        call(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - whatever the host raises
        return e
    raise AssertionError(f"{call!r}{args} did not fail")


def host_error(call, *args, **kwargs):
    """The text of the exception that the host raises for call(*args, **kwargs)."""
    return str(host_exception(call, *args, **kwargs))


def _utime_names_the_file():
    with tempfile.TemporaryDirectory() as d:
        missing = os.path.join(d, "missing")
        return missing in host_error(os.utime, missing)


UTIME_NAMES_THE_FILE = _utime_names_the_file()


def creation_error(arg, files=("f.txt",)):
    """The exception that making arg a blank file raises on this host, in a
    folder that holds the (empty) files named: its parent directories, then
    the file, or for a directory name its new times.  What tessel reports is
    the host's own text, which Windows words otherwise than POSIX."""

    def make():
        if arg.endswith(("/", os.sep)):
            os.utime(arg)
        else:
            Path(arg).parent.mkdir(parents=True, exist_ok=True)
            Path(arg).touch(exist_ok=True)

    here = os.getcwd()
    with tempfile.TemporaryDirectory() as d:
        os.chdir(d)
        try:
            for name in files:
                Path(name).write_text("")
            return host_exception(make)
        finally:
            os.chdir(here)


def oserror(code, filename=None):
    """The text of an OSError with errno code, naming filename if given."""
    text = f"[Errno {code}] {os.strerror(code)}"
    return f"{text}: '{filename}'" if filename else text


def utime_error(code, path):
    """The text of the OSError that os.utime(path) raises with errno code on
    this host (3.13 names the path, 3.12 does not)."""
    return oserror(code, path if UTIME_NAMES_THE_FILE else None)


def failing_path(*args):
    """A stand-in for the module global Path whose every call fails."""
    raise ZeroDivisionError("from Path")


# Subclasses of the built-in types that tessel refuses.
class StrSub(str):
    pass


class ListSub(list):
    pass


# Environment variables that the module or the stand-ins read.
ENV_KNOBS = (
    "TRACEBACK",
    "TESSEL_RECORD",
    "TESSEL_FAIL_COPY",
    "TESSEL_FAIL_GROWLNOTIFIER",
    "TESSEL_FAIL_REGISTER",
    "TESSEL_FAIL_NOTIFY",
    "TESSEL_COPY_INTO_CLOSED_PIPE",
    "TESSEL_COPY_LEAVES_HELPER",
)


def child_env(standins=True, path=(), absent=True, **extra):
    """The environment of every child process the tests start, by one rule:
    this one's without the knobs above and without the PYTHON* settings,
    but for PYTHONMALLOC (a check that swaps the allocator out, for a
    sanitizer or memcheck, wants it in the children too); on PYTHONPATH the
    directories in path, then the stand-ins unless standins is false, then
    ABSENT, which hides the real optional packages, unless absent is false;
    UTF-8 output; then extra (a value of None removes a variable)."""
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ENV_KNOBS and (not k.startswith("PYTHON") or k == "PYTHONMALLOC")
    }
    path = [*path, *([STANDINS] if standins else []), *([ABSENT] if absent else [])]
    env.update(PYTHONPATH=os.pathsep.join(map(str, path)), PYTHONIOENCODING="utf-8")
    for k, v in extra.items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


def files_in(root):
    """Every path below root, relative to it with "/" between its parts, sorted."""
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*"))


def run_tessel(cwd, *args, command=(TESSEL,), env=None, **kwargs):
    """Runs the tessel command (or another command line) with args in cwd and
    the environment env (default: child_env()); the output is captured as
    text unless kwargs say otherwise.  Returns the CompletedProcess."""
    kwargs.setdefault("timeout", 120)
    if "stdout" not in kwargs and "stderr" not in kwargs:
        kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    if kwargs["text"]:
        kwargs.setdefault("encoding", "utf-8")  # as child_env asks of Python
    return subprocess.run(
        [*command, *args], cwd=cwd, env=child_env() if env is None else env, **kwargs
    )
