"""Type information for importers: the stub agrees with the module, and the
type checkers that users run see the real types through it."""

import ast
import builtins
import inspect
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest
from support import PYTHON, WINDOWS

PYRIGHT = str(Path(PYTHON).parent / "basedpyright")
# The checkers run with a clean environment, but for the CPU model that
# qemu-user reads from it when the tests run emulated (without it qemu falls
# back to a model some 20 times slower).
EMULATION = {k: v for k, v in os.environ.items() if k == "QEMU_CPU"}


def tool_env(*path, **extra):
    """A clean environment for a type checker: the folders of path, then the
    system's, on PATH, qemu's CPU model, and what Windows programs need of
    theirs (SYSTEMROOT)."""
    system = [os.environ.get("SYSTEMROOT", "")] if WINDOWS else ["/usr/bin", "/bin"]
    kept = {k: os.environ[k] for k in ("SYSTEMROOT",) if k in os.environ}
    return {"PATH": os.pathsep.join([*map(str, path), *system]), **kept, **EMULATION, **extra}


# Optional packages: bound as globals only when they can be imported.
OPTIONAL = {"clipboard", "gntp"}
# What every module has, whatever its stub says.
MODULE_DUNDERS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}

USAGE = """\
from pathlib import Path
from typing import List, assert_type

from tessel.tessel import FileCreator, get_version, main

creator = FileCreator()
assert_type(creator.create_files(["a.txt", "dir/{b,c}.txt"]), int)
assert_type(creator.create_file("notes/today.md"), bool)
assert_type(creator.parse_brace_expansion("src/{x, y}.py"), List[str])
assert_type(creator.icon_path, Path)
assert_type(get_version(), str)
assert_type(main(), int)
"""
# A call that the real types refuse and Any would let through.
MISUSE = "from tessel.tessel import FileCreator\nFileCreator().create_file(1)\n"


@pytest.fixture(scope="module")
def package(tt):
    return Path(tt.__file__).parent


@pytest.fixture(scope="module")
def stub(package):
    return ast.parse((package / "tessel.pyi").read_text())


def stub_names(body):
    """The names that a stub's statements bind."""
    names = {}
    for node in body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname, node) for a in node.names if a.asname)
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
    return names


def test_stub_and_marker_are_installed(package):
    assert (package / "py.typed").is_file() and (package / "tessel.pyi").is_file()


def test_stub_names_what_the_module_binds(tt, stub):
    bound = set(vars(tt)) - MODULE_DUNDERS - OPTIONAL
    assert set(stub_names(stub.body)) == bound
    creator = tt.FileCreator()
    [cls] = [n for n in stub.body if isinstance(n, ast.ClassDef)]
    members = stub_names(cls.body)
    methods = {n for n, v in vars(tt.FileCreator).items() if type(v) is type(tt.main)}
    assert {n for n, node in members.items() if isinstance(node, ast.FunctionDef)} == methods
    assert {n for n, node in members.items() if isinstance(node, ast.AnnAssign)} == set(
        vars(creator)
    )


def test_stub_functions_have_the_module_parameters_and_annotations(tt, stub):
    [cls] = [n for n in stub.body if isinstance(n, ast.ClassDef)]
    functions = [(getattr(tt, n.name), n) for n in stub.body if isinstance(n, ast.FunctionDef)]
    functions += [
        (vars(tt.FileCreator)[n.name], n) for n in cls.body if isinstance(n, ast.FunctionDef)
    ]
    assert len(functions) == 8
    for function, node in functions:
        params = [a.arg for a in node.args.args]
        assert params == list(inspect.signature(function).parameters), node.name
        written = {a.arg: ast.unparse(a.annotation) for a in node.args.args if a.annotation}
        written["return"] = ast.unparse(node.returns)
        for name, text in function.__annotations__.items():
            assert written[name] == text, (node.name, name)


def test_stub_types_of_the_module_values(tt, stub):
    namespace = {**vars(builtins), **vars(tt)}
    for name, node in stub_names(stub.body).items():
        if not isinstance(node, ast.AnnAssign):
            continue
        value = getattr(tt, name)
        annotation = node.annotation
        if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "type":
            assert issubclass(value, eval(ast.unparse(annotation.slice), namespace)), name
        else:
            origin = eval(ast.unparse(getattr(annotation, "value", annotation)), namespace)
            assert isinstance(value, origin), name


@pytest.fixture
def checked_copy(package, tmp_path):
    """The package's typed files alone, as a type checker sees them, the
    command's wrapper included."""
    copy = tmp_path / "site" / "tessel"
    copy.mkdir(parents=True)
    for name in ("__init__.py", "__main__.py", "_command.py", "tessel.pyi", "py.typed"):
        shutil.copy(package / name, copy / name)
    (tmp_path / "usage.py").write_text(USAGE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    return tmp_path


@pytest.mark.starts_processes
def test_mypy_strict_sees_the_real_types(checked_copy):
    def mypy(name):
        return subprocess.run(
            [PYTHON, "-m", "mypy", "--strict", "--no-incremental", name],
            cwd=checked_copy,
            env=tool_env(MYPYPATH=str(checked_copy / "site")),
            capture_output=True,
            text=True,
            timeout=300,
        )

    for checked in ("usage.py", "site/tessel"):
        ok = mypy(checked)
        assert ok.returncode == 0, ok.stdout + ok.stderr
    refused = mypy("misuse.py")
    assert refused.returncode == 1 and 'incompatible type "int"' in refused.stdout


@pytest.mark.starts_processes
def test_pyright_verifies_the_package_and_sees_the_real_types(checked_copy):
    # basedpyright: pyright with its own runtime, from the package index.
    env = tool_env(Path(PYTHON).parent, HOME=str(checked_copy))
    p = subprocess.run(
        [PYRIGHT, "--outputjson", "--verifytypes", "tessel"],
        cwd=checked_copy,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    report = json.loads(p.stdout)
    assert report["typeCompleteness"]["completenessScore"] == 1, p.stdout
    for name, errors in (("usage.py", 0), ("site/tessel", 0), ("misuse.py", 1)):
        p = subprocess.run(
            [PYRIGHT, "--outputjson", name],
            cwd=checked_copy,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert json.loads(p.stdout)["summary"]["errorCount"] == errors, p.stdout
