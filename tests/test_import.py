"""Import-time behaviour, each case in a fresh interpreter: probes of the
optional packages, the names the body binds, importing more than once."""

import importlib.metadata
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from support import CLIPBOARD_MISSING, GNTP_MISSING, REPO, STANDINS, WINDOWS, version_error

PROBE = r"""
import json
import tessel.tessel as t
ns, fmt = vars(t), t.CustomRichHelpFormatter
print(json.dumps({"clip": ns.get("HAS_CLIPBOARD"), "growl": ns.get("HAS_GROWL"),
    "clipboard": ns["clipboard"].__name__ if "clipboard" in ns else None,
    "gntp": ns["gntp"].__name__ + "/" + ns["gntp"].notifier.__name__ if "gntp" in ns else None,
    "formatter": fmt.__module__ + "." + fmt.__qualname__}))
"""
PRESENT = {
    "clip": True,
    "growl": True,
    "clipboard": "clipboard",
    "gntp": "gntp/gntp.notifier",
    "formatter": "quorlin.CustomRichHelpFormatter",
}
FALLBACK = {"formatter": "argparse.RawTextHelpFormatter"}
NO_CLIP = {"clip": False, "clipboard": None}
NO_GROWL = {"growl": False, "gntp": None}


@pytest.mark.parametrize(
    "standins, files, printed, changes",
    [
        (True, {}, [], {}),
        (False, {}, [CLIPBOARD_MISSING, GNTP_MISSING], {**NO_CLIP, **NO_GROWL, **FALLBACK}),
        (True, {"quorlin/__init__.py": "raise ValueError('broken')"}, [], FALLBACK),
        (True, {"quorlin/__init__.py": "raise KeyboardInterrupt"}, [], FALLBACK),
        (True, {"quorlin/__init__.py": "raise SystemExit(3)"}, [], FALLBACK),
        (True, {"quorlin/__init__.py": "X = 1"}, [], FALLBACK),
        (
            True,
            {"clipboard/__init__.py": "raise ModuleNotFoundError('x')"},
            [CLIPBOARD_MISSING],
            NO_CLIP,
        ),
        (True, {"gntp/__init__.py": ""}, [GNTP_MISSING], NO_GROWL),
        (
            True,
            {"gntp/__init__.py": "", "gntp/notifier.py": "raise ImportError('no socket')"},
            [GNTP_MISSING],
            NO_GROWL,
        ),
    ],
)
@pytest.mark.starts_processes
def test_probes(run_py, make_standins, standins, files, printed, changes):
    path = ([make_standins(files)] if files else []) + ([STANDINS] if standins else [])
    proc = run_py(PROBE, path=path)
    assert proc.returncode == 0, proc.stderr
    *lines, last = proc.stdout.splitlines()
    assert lines == printed
    assert json.loads(last) == {**PRESENT, **changes}


@pytest.mark.parametrize("rel", ["clipboard/__init__.py", "gntp/notifier.py"])
@pytest.mark.starts_processes
def test_other_errors_in_optional_packages_fail_the_import(run_py, make_standins, rel):
    extra = make_standins({rel: "raise RuntimeError('probe exploded')", "gntp/__init__.py": ""})
    proc = run_py(PROBE, path=(extra, STANDINS))
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.rstrip().endswith("RuntimeError: probe exploded")


@pytest.mark.starts_processes
def test_second_import_returns_same_module_and_runs_nothing(run_py):
    proc = run_py(
        "import sys\nimport tessel.tessel as a\na.__test__['mark'] = 1\n"
        "del sys.modules['tessel.tessel']\nimport tessel.tessel as b\n"
        "print(a is b, b.__test__)\n",
        path=(),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [CLIPBOARD_MISSING, GNTP_MISSING, "True {'mark': 1}"]


@pytest.mark.starts_processes
def test_executing_the_body_for_another_module_object_is_refused(run_py):
    proc = run_py(r"""
import ctypes, types
import tessel.tessel as t
api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
other = types.ModuleType("tessel.tessel")
try:
    api.PyModule_ExecDef(other, api.PyModule_GetDef(t))
except RuntimeError as e:
    print(e)
print([k for k in vars(other) if not k.startswith("__")])
""")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "Module 'tessel' has already been imported. Re-initialisation is not supported.",
        "[]",
    ]


# A subinterpreter that shares the main one's GIL, where the import reaches
# tessel's own check.  The private module was renamed in CPython 3.13.
SUBINTERPRETERS = """import sys
try:
    import _interpreters as interps
    new_interpreter = lambda: interps.create("legacy")
except ImportError:
    import _xxsubinterpreters as interps
    new_interpreter = lambda: interps.create(isolated=False)
"""


@pytest.mark.starts_processes
def test_import_from_a_second_interpreter_is_refused(run_py, tmp_path):
    out = tmp_path / "sub.txt"
    sub = (
        "import sys\nsys.path[:] = PATH\ntry:\n    import tessel.tessel\n    r = 'imported'\n"
        "except BaseException as e:\n    r = type(e).__name__ + ': ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(r)\n"
    )
    proc = run_py(
        SUBINTERPRETERS + "import tessel.tessel\n"
        f"interps.run_string(new_interpreter(), {sub!r}.replace('PATH', repr(sys.path)))\n"
        "print(tessel.tessel.get_version() == tessel.tessel.__version__)\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert out.read_text() == (
        "ImportError: Interpreter change detected - this module can only "
        "be loaded into one interpreter per process."
    )
    assert proc.stdout == "True\n"


@pytest.mark.starts_processes
def test_body_binds_names_in_order(tt, run_py):
    proc = run_py("import tessel.tessel as t\nprint(' '.join(vars(t)))")
    names = proc.stdout.split()
    body = [
        "sys",
        "os",
        "re",
        "traceback",
        "Path",
        "List",
        "Tuple",
        "Optional",
        "argparse",
        "CustomRichHelpFormatter",
        "clipboard",
        "HAS_CLIPBOARD",
        "gntp",
        "HAS_GROWL",
        "NAME",
        "get_version",
        "__version__",
        "__filename__",
        "FileCreator",
        "main",
        "__test__",
    ]
    assert names[-len(body) :] == body
    assert set(names[: -len(body)]) <= {
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
    }
    assert tt.__test__ == {}
    import argparse
    import os
    import pathlib
    import re
    import sys
    import traceback
    import typing

    assert (tt.sys, tt.os, tt.re, tt.traceback, tt.argparse) == (sys, os, re, traceback, argparse)
    assert (tt.Path, tt.List, tt.Tuple, tt.Optional) == (
        pathlib.Path,
        typing.List,
        typing.Tuple,
        typing.Optional,
    )
    assert tt.NAME == "tessel" and tt.__filename__ == Path(tt.__file__).name
    assert tt.__name__ == "tessel.tessel" and tt.__package__ == "tessel"


@pytest.mark.parametrize(
    "content, version, error",
    [
        (b'version = "9.1.4"\n', "9.1.4", []),
        (
            b'version = "\xff"\n',
            "2.0",
            [
                version_error(
                    "'utf-8' codec can't decode byte 0xff in position 11: invalid start byte"
                )
            ],
        ),
    ],
)
@pytest.mark.starts_processes
def test_version_is_read_during_import_after_the_warnings(
    run_py, pkg_copy, content, version, error
):
    pkg = pkg_copy()
    (pkg / "__version__.py").write_bytes(content)
    proc = run_py(
        "import tessel.tessel as t\nprint(t.__file__)\nprint(t.__version__)",
        path=(pkg.parent,),
        env={"PYTHONUTF8": "1"},
    )
    assert proc.returncode == 0, proc.stderr
    *printed, where, got = proc.stdout.splitlines()
    assert Path(where).parent == pkg and got == version
    assert printed == [CLIPBOARD_MISSING, GNTP_MISSING] + error


@pytest.mark.skipif(
    not (shutil.which("readelf") and shutil.which("nm")),
    reason="needs readelf and nm (Debian: binutils)",
)
@pytest.mark.starts_processes
def test_module_file_needs_no_cxx_runtime_and_exports_only_its_init(tt):
    so = tt.__file__
    dynamic = subprocess.run(
        ["readelf", "-d", so], capture_output=True, text=True, check=True
    ).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic)
    assert needed and not [lib for lib in needed if "stdc++" in lib or "c++" in lib]
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", so], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    exported = [line.split()[-1] for line in symbols if line.strip() and line.split()[-2] in "TDBR"]
    assert exported == ["PyInit_tessel"]


def test_installed_distribution_carries_its_licence_and_man_page():
    dist = importlib.metadata.distribution("tessel-touch")
    files = {str(f) for f in dist.files}
    assert f"tessel_touch-{dist.version}.dist-info/licenses/LICENSE" in files
    assert (REPO / "LICENSE").read_text() == dist.read_text("licenses/LICENSE")
    # The licence as an SPDX expression, the text as a file beside it.
    assert dist.metadata["License-Expression"] == "MIT" and "License" not in dist.metadata
    assert not any(c.startswith("License ::") for c in dist.metadata.get_all("Classifier"))
    # Nothing on Windows reads manual pages.
    assert any(f.endswith("share/man/man1/tessel.1") for f in files) is not WINDOWS


@pytest.mark.parametrize("doc", ["README.md", "man/tessel.1.in"])
def test_install_lines_name_the_distribution(doc):
    # On the index, "tessel" is another project: every install line names
    # this one's distribution.
    text = (REPO / doc).read_text().replace("\\-", "-").replace("\\(aq", "'")
    lines = [line for line in text.splitlines() if "pip install" in line and "tessel" in line]
    assert lines
    assert all(
        re.search(r"pip install ['\"]?(tessel-touch\b|\S*tessel_touch-\S*\.whl)", line)
        for line in lines
    ), lines


def test_the_release_number_agrees_everywhere(tt):
    # Written once, in the build: the metadata, the version file that the
    # module reads and the manual page all carry it.
    version = importlib.metadata.distribution("tessel-touch").version
    pages = list(Path(sys.prefix).glob("**/man1/tessel.1"))
    assert tt.__version__ == tt.get_version() == version
    if WINDOWS:
        assert pages == []  # none installed there
        return
    [page] = pages
    roff = page.read_text()
    assert roff.startswith(f'.TH TESSEL 1 "2026-12-09" "tessel {version}" ')
    assert f'("tessel v{version} by the tessel developers")' in roff
    assert f"\n.B version = \\(dq{version}\\(dq\n" in roff and "@" not in roff
