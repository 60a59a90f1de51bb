"""The module's life in a process: interpreters that are finalised and
started again (as applications that embed Python do), imports that fail
half-way and are tried again, and functions that outlive their module."""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from support import STANDINS, child_env, ok

# Every test here runs tessel or Python in another process.
pytestmark = pytest.mark.starts_processes

DRIVER = Path(__file__).resolve().parent / "embed" / "rounds.c"

# A clipboard package that fails to import once per interpreter.
CLIPBOARD_ONCE = """import builtins
if not getattr(builtins, "tessel_clipboard_tried", False):
    builtins.tessel_clipboard_tried = True
    raise ValueError("not yet")


def copy(text):
    pass
"""


@pytest.fixture(scope="module")
def rounds(tmp_path_factory):
    """The embedding driver, built with the host's own embedding flags."""
    config = Path(sys.base_prefix) / "bin" / f"python{sysconfig.get_config_var('VERSION')}-config"
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not config.exists() or not cc:
        pytest.skip("no C compiler or python-config to build an embedding program with")

    def flags(*what):
        return subprocess.run(
            [str(config), *what, "--embed"], capture_output=True, text=True, check=True
        ).stdout.split()

    exe = tmp_path_factory.mktemp("embed") / "rounds"
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run(
        [
            cc,
            str(DRIVER),
            "-o",
            str(exe),
            *flags("--cflags"),
            *flags("--ldflags"),
            f"-Wl,-rpath,{libdir}",
        ],
        check=True,
        capture_output=True,
    )
    return exe


def site_packages():
    return [sysconfig.get_paths()[k] for k in ("purelib", "platlib")]


ROUND_FILES = """
import tessel.tessel as t
fresh = t.__test__ == {}
t.__test__["used"] = round
made = t.FileCreator().create_files([f"r{round}/{{a,b}}.txt"])
print(f"round {round}: fresh={fresh} made={made} version={t.__version__}")
"""

ROUND_MAIN = """
import sys
sys.argv = ["tessel", f"m{round}/{{x,", "y}"]
import tessel.tessel as t
print(f"round {round}: status={t.main()}")
"""

ROUND_RETRY = """
try:
    import tessel.tessel
except ValueError as e:
    print(f"round {round}: first import: {e}")
import tessel.tessel as t
made = t.FileCreator().create_file(f"c{round}.txt")
print(f"round {round}: second import: {t.HAS_CLIPBOARD} {made}")
"""


def expected_files(cwd, n):
    return [
        ok(cwd / f"r{n}/a.txt"),
        ok(cwd / f"r{n}/b.txt"),
        f"round {n}: fresh=True made=2 version=2.0",
    ]


def expected_main(cwd, n):
    return [
        ok(cwd / f"m{n}/x"),
        ok(cwd / f"m{n}/y"),
        "",
        "2/2 file(s) created successfully",
        f"round {n}: status=0",
    ]


def expected_retry(cwd, n):
    return [
        f"round {n}: first import: not yet",
        ok(cwd / f"c{n}.txt"),
        f"round {n}: second import: True True",
    ]


@pytest.mark.parametrize(
    "code, expected, clipboard_once",
    [
        (ROUND_FILES, expected_files, False),
        (ROUND_MAIN, expected_main, False),
        (ROUND_RETRY, expected_retry, True),
    ],
    ids=["files", "main", "retried-import"],
)
def test_three_interpreters_one_after_the_other(
    rounds, make_standins, tmp_path, code, expected, clipboard_once
):
    path = [STANDINS, *site_packages()]
    if clipboard_once:
        path.insert(0, make_standins({"clipboard/__init__.py": CLIPBOARD_ONCE}))
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    env = child_env(False, path=path, PYTHONHOME=sys.base_prefix)
    proc = subprocess.run(
        [str(rounds), "3", code],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.splitlines() == [line for n in (1, 2, 3) for line in expected(cwd, n)]


def test_retried_import_after_a_failing_clipboard_package(run_py, make_standins):
    extra = make_standins({"clipboard/__init__.py": CLIPBOARD_ONCE})
    proc = run_py(
        "import sys\ntry:\n    import tessel.tessel\nexcept ValueError as e:\n"
        "    print('failed:', e, 'tessel.tessel' in sys.modules)\n"
        "import tessel.tessel as t\n"
        "print(t.HAS_CLIPBOARD, t.clipboard.__name__, t.__version__)\n",
        path=(extra, STANDINS),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["failed: not yet False", "True clipboard 2.0"]


# A Path whose .name fails while the module binds __filename__: the import
# fails after get_version was made, which the property steals on the way.
FAILING_NAME = """import pathlib
import sys


class Path(type(pathlib.Path())):
    @property
    def name(self):
        global stolen
        stolen = sys.modules["tessel.tessel"].get_version
        raise RuntimeError("no name today")
"""


def test_failed_import_leaves_nothing_half_made(run_py, make_standins):
    extra = make_standins({"failing_name.py": FAILING_NAME})
    proc = run_py(
        """
import pathlib, sys, types, failing_name
sys.modules["pathlib"] = types.ModuleType("pathlib")
sys.modules["pathlib"].Path = failing_name.Path
try:
    import tessel.tessel
except RuntimeError as e:
    print("failed:", e)
sys.modules["pathlib"] = pathlib
try:
    failing_name.stolen()
except RuntimeError as e:
    print("stolen:", e)
import tessel.tessel as t
print("retried:", t.Path is pathlib.Path, t.get_version(), t.__filename__.startswith("tessel."))
""",
        path=(extra, STANDINS),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "failed: no name today",
        "stolen: tessel: this function belongs to a module that is no longer loaded",
        "retried: True 2.0 True",
    ]
