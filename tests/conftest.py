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

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# The suite's helpers (support.py) and the stand-ins, importable in any of
# pytest's import modes.
_here = Path(__file__).resolve().parent
sys.path[:0] = [str(_here), str(_here / "standins")]

from support import ENV_KNOBS, PYTHON, REPO, STANDINS, child_env  # noqa: E402  (on the path now)

pytest_plugins = ["leakcheck"]  # --leak-check

import record  # noqa: E402  (stand-in recorder, from STANDINS)

import tessel.tessel as _tt  # noqa: E402  (after the stand-ins, as it must be)

if Path(_tt.__file__).resolve().is_relative_to(REPO / "tessel"):
    raise RuntimeError(f"tests must run against the installed package, not {_tt.__file__}")


@pytest.fixture(autouse=True)
def _clean_process(monkeypatch):
    """Every test starts with sys.argv == ["tessel"], none of the knobs above
    set in the environment, and an empty record of stand-in calls."""
    monkeypatch.setattr(sys, "argv", ["tessel"])
    for name in ENV_KNOBS:
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
    ``path=()`` for none), ``env`` adds or overrides environment variables
    of ``child_env`` (a value of None removes one), ``cwd`` defaults to an
    empty directory.  Returns the CompletedProcess with text stdout/stderr."""

    def _run(code, path=(STANDINS,), env=None, cwd=None, stdin=None, args=()):
        e = child_env(False, path=path, **(env or {}))
        if cwd is None:
            cwd = tmp_path / "cwd"
            cwd.mkdir(exist_ok=True)
        return subprocess.run(
            [PYTHON, "-P", "-c", code, *args],
            cwd=cwd,
            env=e,
            input=stdin,
            capture_output=True,
            text=True,
            encoding="utf-8",
            timeout=120,
        )

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
