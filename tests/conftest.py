"""Shared fixtures for the tessel test suite.

The suite runs against the *installed* package (``python -P -m pytest tests``),
never against the source tree.  The stand-in packages in ``tests/standins``
(``quorlin``, ``clipboard``, ``gntp.notifier`` and their recorder ``record``)
are put first on ``sys.path`` before ``tessel.tessel`` is imported, so that in
this process ``HAS_CLIPBOARD`` and ``HAS_GROWL`` are true and every call made
to those packages lands in ``record.CALLS``.  The real ``clipboard`` and
``gntp`` are installed too (the extras); a child process sees them only
where a test asks for them: otherwise ``tests/absent`` hides them, last on
its path, so that without the stand-ins the packages are missing.

Import-time behaviour must be checked in a fresh interpreter: use ``run_py``.
"""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

pytest_plugins = ["leakcheck"]  # --leak-check

TESTS = Path(__file__).resolve().parent
REPO = TESTS.parent
STANDINS = TESTS / "standins"
ABSENT = TESTS / "absent"
PYTHON = sys.executable
TESSEL = str(Path(PYTHON).parent / "tessel")  # the installed console script

sys.path.insert(0, str(STANDINS))

import record  # noqa: E402  (stand-in recorder, from STANDINS)
import tessel.tessel as _tt  # noqa: E402

if Path(_tt.__file__).resolve().is_relative_to(REPO / "tessel"):
    raise RuntimeError(f"tests must run against the installed package, not {_tt.__file__}")

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
    return [{"call": "GrowlNotifier", "args": [],
             "kwargs": [["applicationName", "tessel"], ["notifications", ["create"]],
                        ["defaultNotifications", ["create"]], ["applicationIcon", icon]]},
            {"call": "register", "args": [], "kwargs": []}]


def notification(name, icon):
    """The call of one notification for the file name."""
    return {"call": "notify", "args": [],
            "kwargs": [["noteType", "create"], ["title", "tessel"],
                       ["description", f'File created: "{name}"'], ["icon", icon],
                       ["sticky", False], ["priority", 1]]}


def as_json(calls):
    """Recorded calls in the form of the two above (pairs as lists)."""
    return [{"call": c["call"], "args": c["args"], "kwargs": [list(p) for p in c["kwargs"]]}
            for c in calls]


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
_ENV_KNOBS = ("TRACEBACK", "TESSEL_RECORD", "TESSEL_FAIL_COPY", "TESSEL_FAIL_GROWLNOTIFIER",
              "TESSEL_FAIL_REGISTER", "TESSEL_FAIL_NOTIFY", "TESSEL_COPY_INTO_CLOSED_PIPE")


def child_env(standins=True, **extra):
    """The environment of a child process: this one's without the knobs above
    and the PYTHON* settings, the stand-ins on the path unless standins is
    false, the real optional packages hidden, UTF-8 output, then extra (a
    value of None removes a variable)."""
    env = {k: v for k, v in os.environ.items()
           if k not in _ENV_KNOBS and not k.startswith("PYTHON")}
    path = [STANDINS, ABSENT] if standins else [ABSENT]
    env.update(PYTHONPATH=os.pathsep.join(map(str, path)), PYTHONIOENCODING="utf-8")
    for k, v in extra.items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    return env


def files_in(root):
    """Every path below root, relative to it, sorted."""
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


def run_tessel(cwd, *args, command=(TESSEL,), env=None, **kwargs):
    """Runs the tessel command (or another command line) with args in cwd and
    the environment env (default: child_env()); the output is captured as
    text unless kwargs say otherwise.  Returns the CompletedProcess."""
    kwargs.setdefault("timeout", 120)
    if "stdout" not in kwargs and "stderr" not in kwargs:
        kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run([*command, *args], cwd=cwd, env=child_env() if env is None else env,
                          **kwargs)


@pytest.fixture(autouse=True)
def _clean_process(monkeypatch):
    """Every test starts with sys.argv == ["tessel"], none of the knobs above
    set in the environment, and an empty record of stand-in calls."""
    monkeypatch.setattr(sys, "argv", ["tessel"])
    for name in _ENV_KNOBS:
        monkeypatch.delenv(name, raising=False)
    record.CALLS.clear()
    yield
    record.CALLS.clear()


@pytest.fixture(scope="session")
def tt():
    """The installed module ``tessel.tessel`` (imported once, stand-ins present).
    Rebind its globals with ``monkeypatch.setattr(tt, NAME, value)``."""
    return _tt


@pytest.fixture
def calls():
    """The live list of stand-in calls made in this process: dicts with keys
    "call" (copy / GrowlNotifier / register / notify), "args" (list) and
    "kwargs" (list of [name, value] pairs in the order they were passed)."""
    return record.CALLS


@pytest.fixture
def fail(monkeypatch):
    """``fail("notify", "OSError:gone")`` makes the stand-in call named raise
    that built-in exception (what: copy, growlnotifier, register, notify)."""
    def _fail(what, failure):
        monkeypatch.setenv("TESSEL_FAIL_" + what.upper(), failure)
    return _fail


@pytest.fixture
def moddir(tt, tmp_path, monkeypatch):
    """Make the module believe its file lives in an empty directory, which
    is returned: the version file and the icon are looked for there."""
    d = tmp_path / "pkg"
    d.mkdir()
    monkeypatch.setattr(tt, "__file__", str(d / Path(tt.__file__).name))
    return d


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A fresh empty directory made the current directory; returns its Path."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def argv(monkeypatch):
    """``argv("a.txt", "--debug")`` sets sys.argv to ["tessel", *args]."""
    def _argv(*args):
        monkeypatch.setattr(sys, "argv", ["tessel", *args])
    return _argv


@pytest.fixture
def fc(tt, calls):
    """A FileCreator built with the stand-ins present (registered with the
    stand-in notifier); the record of calls is emptied after construction."""
    creator = tt.FileCreator()
    calls.clear()
    return creator


@pytest.fixture
def run_py(tmp_path):
    """Run Python code in a fresh interpreter (``python -P -c code``).

    ``run_py(code, path=(STANDINS,), env=None, cwd=None, stdin=None)``:
    ``path`` lists the directories put on PYTHONPATH (default: the stand-ins;
    ``path=()`` for none), before ``ABSENT``; ``env`` adds or overrides environment variables (a
    value of None removes one), ``cwd`` defaults to an empty directory.
    Returns the CompletedProcess with text stdout/stderr."""
    def _run(code, path=(STANDINS,), env=None, cwd=None, stdin=None, args=()):
        e = {k: v for k, v in os.environ.items() if k not in _ENV_KNOBS and k != "PYTHONPATH"}
        e["PYTHONIOENCODING"] = "utf-8"
        e["PYTHONPATH"] = os.pathsep.join(str(p) for p in (*path, ABSENT))
        for k, v in (env or {}).items():
            if v is None:
                e.pop(k, None)
            else:
                e[k] = v
        if cwd is None:
            cwd = tmp_path / "cwd"
            cwd.mkdir(exist_ok=True)
        return subprocess.run([PYTHON, "-P", "-c", code, *args], cwd=cwd, env=e, input=stdin,
                              capture_output=True, text=True, encoding="utf-8", timeout=120)
    return _run


@pytest.fixture
def make_standins(tmp_path):
    """``make_standins({"quorlin/__init__.py": "raise ValueError"})`` writes a
    directory of extra stand-in modules (relative path -> source) under
    tmp_path and returns it, for use in ``run_py(path=(dir, STANDINS))``."""
    counter = [0]

    def _make(files):
        counter[0] += 1
        root = tmp_path / f"standins_{counter[0]}"
        for rel, text in files.items():
            p = root / rel
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_text(text)
        return root
    return _make


@pytest.fixture
def pkg_copy(tmp_path):
    """``pkg_copy(version=None)`` copies the installed ``tessel`` package
    (module file included) to ``<tmp>/site/tessel`` and returns that package
    directory; put its parent on ``run_py(path=...)`` to import the copy.
    ``version`` (text) replaces the ``__version__.py`` beside the module;
    ``version=False`` removes it."""
    src = Path(_tt.__file__).parent

    def _copy(version=None):
        site = tmp_path / "site"
        dest = site / "tessel"
        if dest.exists():
            shutil.rmtree(dest)
        shutil.copytree(src, dest, ignore=shutil.ignore_patterns("__pycache__"))
        if version is False:
            (dest / "__version__.py").unlink(missing_ok=True)
        elif version is not None:
            (dest / "__version__.py").write_text(version)
        return dest
    return _copy
