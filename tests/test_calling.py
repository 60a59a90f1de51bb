"""The module's function objects: their metadata, how they bind to instances,
and how arguments are bound and type-checked before a body runs."""

import array
import collections
import copy
import decimal
import inspect
import pathlib
import pickle
import pydoc
import re
import traceback
import types
import weakref

import pytest
from support import REPO, ListSub, StrSub, failing_path

FUNCTIONS = {
    "get_version": (
        "get_version",
        {},
        "get_version()\n\nGet the version of the qel module.\n"
        "Version is taken from the __version__.py file if it exists.\n"
        'The content of __version__.py should be:\nversion = "0.33"',
    ),
    "main": ("main", {}, "main()\n\nMain entry point"),
    "__init__": ("FileCreator.__init__", {}, "FileCreator.__init__(self)"),
    "_init_growl": (
        "FileCreator._init_growl",
        {},
        "FileCreator._init_growl(self)\n\nInitialize Growl notifier",
    ),
    "parse_brace_expansion": (
        "FileCreator.parse_brace_expansion",
        {"text": "str", "return": "List[str]"},
        "FileCreator.parse_brace_expansion(self, str text: str) -> List[str]\n\n"
        "Parse brace expansion patterns like: \n- dir/{file1,file2,file3}.txt\n"
        "- dir{file1,file2,file3} (assumes dir/ prefix)\n"
        "Also handles spaces after commas and validates the pattern\n"
        "Returns: List of expanded filenames",
    ),
    "create_file": (
        "FileCreator.create_file",
        {"filepath": "str", "return": "bool"},
        "FileCreator.create_file(self, str filepath: str) -> bool\n\n"
        "Create a blank file, creating parent directories if needed\n\n"
        "Args:\n    filepath: Path to file to create\n    \n"
        "Returns:\n    True if successful, False otherwise",
    ),
    "_notify": (
        "FileCreator._notify",
        {"filepath": "str"},
        "FileCreator._notify(self, str filepath: str)\n\nSend desktop notification",
    ),
    "create_files": (
        "FileCreator.create_files",
        {"files": "List[str]", "return": "int"},
        "FileCreator.create_files(self, list files: List[str]) -> int\n\n"
        "Create multiple files\n\nReturns:\n    Number of successfully created files",
    ),
}


def lookup(tt, name):
    return getattr(tt, name) if name in ("get_version", "main") else vars(tt.FileCreator)[name]


# Every docstring that the module shows, in one table: the module's, the
# class's and each function's.
DOCSTRINGS = {
    "tessel.tessel": (
        "\ntessel - Create blank files with notification support\n"
        "Cross-platform file creation utility with clipboard integration\n\n"
        "Author: the tessel developers\nVersion: 2.0\n"
    ),
    "FileCreator": "Handles file creation with notification support",
    **{name: doc for name, (_, _, doc) in FUNCTIONS.items()},
}


@pytest.mark.parametrize("name", DOCSTRINGS)
def test_docstrings(tt, name):
    owner = {"tessel.tessel": tt, "FileCreator": tt.FileCreator}.get(name) or lookup(tt, name)
    assert owner.__doc__ == DOCSTRINGS[name]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(tt, name):
    qualname, annotations, _ = FUNCTIONS[name]
    f = lookup(tt, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, qualname, "tessel.tessel")
    assert f.__annotations__ == annotations
    assert all(type(v) is str for v in f.__annotations__.values())


def test_methods_bind_like_functions_of_a_class_body(tt, fc):
    raw = vars(tt.FileCreator)["create_file"]
    assert tt.FileCreator.create_file is raw
    assert raw.__get__(None, tt.FileCreator) is raw
    bound = fc.create_file
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is fc and bound.__func__ is raw
    other = types.SimpleNamespace()
    assert raw.__get__(other).__self__ is other


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_weak_reference_copy_and_pickle_like_python_functions(tt, name):
    f = lookup(tt, name)
    assert weakref.ref(f)() is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f
    assert copy.deepcopy([f, f]) == [f, f]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    # The signature still comes from the function's own parameters.
    params = list(inspect.signature(f).parameters)
    assert params == (
        []
        if name in ("get_version", "main")
        else ["self"] + [p for p in FUNCTIONS[name][1] if p != "return"]
    )


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signatures_carry_the_annotations_as_python_functions_do(tt, fc, name):
    # The oracle: a Python function with the same parameters and annotations.
    annotations = FUNCTIONS[name][1]
    params = [] if name in ("get_version", "main") else ["self", *annotations]
    params = [
        f"{p}: {annotations[p]!r}" if p in annotations else p for p in params if p != "return"
    ]
    returns = f" -> {annotations['return']!r}" if "return" in annotations else ""
    namespace = {}
    exec(f"def {name}({', '.join(params)}){returns}: pass", namespace)
    python = inspect.signature(namespace[name])
    f = lookup(tt, name)
    assert inspect.signature(f) == python and str(inspect.signature(f)) == str(python)
    if params[:1] == ["self"]:
        bound = python.replace(parameters=list(python.parameters.values())[1:])
        assert inspect.signature(getattr(fc, name)) == bound
        # What help() shows: the public methods and __init__, each headed as
        # help() heads the Python function (in the interpreter's own style).
        shown = pydoc.render_doc(tt.FileCreator, renderer=pydoc.plaintext)
        heading = pydoc.plaintext.document(namespace[name]).splitlines()[0]
        public = name == "__init__" or not name.startswith("_")
        assert heading.startswith(name) and (f" |  {heading}\n" in shown) == public


def test_weak_methods_of_a_creator(tt, fc):
    method = weakref.WeakMethod(fc.create_file)
    assert method() == fc.create_file and method().__func__ is vars(tt.FileCreator)["create_file"]


@pytest.mark.starts_processes
def test_pickle_reimports_a_module_that_left_sys_modules(run_py):
    p = run_py(
        "import pickle, sys\n"
        "import tessel.tessel as tt\n"
        "f = tt.FileCreator.create_file\n"
        "del sys.modules['tessel.tessel']\n"
        "data = pickle.dumps(f)\n"
        "print(pickle.loads(data) is f, sys.modules['tessel.tessel'] is tt)\n"
        "del sys.modules['tessel.tessel']\n"
        "print(pickle.loads(data) is f)"
    )
    assert (p.stdout, p.stderr, p.returncode) == ("True True\nTrue\n", "", 0)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda tt, fc: fc.create_file(),
            "create_file() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda tt, fc: fc.create_file("a", "b"),
            "create_file() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda tt, fc: fc.create_files(),
            "create_files() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda tt, fc: fc._notify("a", "b"),
            "_notify() takes exactly 2 positional arguments (3 given)",
        ),
        (
            lambda tt, fc: tt.FileCreator(1),
            "__init__() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda tt, fc: fc._init_growl(None),
            "_init_growl() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda tt, fc: fc.create_file(x=1),
            "create_file() got an unexpected keyword argument 'x'",
        ),
        (
            lambda tt, fc: tt.FileCreator(fast=True),
            "__init__() got an unexpected keyword argument 'fast'",
        ),
        (
            lambda tt, fc: fc.create_file("a", filepath="b"),
            "create_file() got multiple values for keyword argument 'filepath'",
        ),
        (
            lambda tt, fc: fc.create_files([], self=fc),
            "create_files() got multiple values for keyword argument 'self'",
        ),
        (lambda tt, fc: tt.get_version(1), "get_version() takes no arguments (1 given)"),
        (lambda tt, fc: tt.main(1, 2), "main() takes no arguments (2 given)"),
        (lambda tt, fc: tt.get_version(x=1), "get_version() takes no keyword arguments"),
        (lambda tt, fc: tt.main(argv=[]), "main() takes no keyword arguments"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_argument_binding_errors(tt, fc, workdir, capsys, calls, call, message):
    with pytest.raises(TypeError) as info:
        call(tt, fc)
    assert str(info.value) == message
    assert capsys.readouterr().out == "" and calls == [] and list(workdir.iterdir()) == []


def test_keywords_bind_by_name(tt, fc, workdir, capsys):
    assert fc.create_file(filepath="k.txt") is True
    assert tt.FileCreator.create_files(files=["l.txt"], self=fc) == 1
    assert tt.get_version(**{}) == tt.get_version()
    assert sorted(p.name for p in workdir.iterdir()) == ["k.txt", "l.txt"]


LONG_NAME = type("N" * 300, (str,), {})


@pytest.mark.parametrize(
    "method, value, expected_type, got, subclass",
    [
        ("create_file", None, "str", "NoneType", False),
        ("create_file", b"a.txt", "str", "bytes", False),
        ("create_file", pathlib.Path("a.txt"), "str", type(pathlib.Path()).__name__, False),
        ("create_file", 1, "str", "int", False),
        ("create_file", StrSub("a.txt"), "str", "StrSub", True),
        ("create_file", LONG_NAME("a.txt"), "str", "N" * 200, True),
        ("_notify", None, "str", "NoneType", False),
        ("_notify", StrSub("a.txt"), "str", "StrSub", True),
        ("parse_brace_expansion", b"{a,b}", "str", "bytes", False),
        ("parse_brace_expansion", StrSub("{a,b}"), "str", "StrSub", True),
        ("create_files", None, "list", "NoneType", False),
        ("create_files", ("a.txt",), "list", "tuple", False),
        ("create_files", "a.txt", "list", "str", False),
        ("create_files", {"a.txt": 1}, "list", "dict", False),
        ("create_files", ListSub(["a.txt"]), "list", "ListSub", True),
        # C types are named as the host's own type errors name them, module
        # part included.
        ("create_files", array.array("b", b"ab"), "list", "array.array", False),
        ("create_files", collections.OrderedDict(), "list", "collections.OrderedDict", False),
        ("create_file", decimal.Decimal(1), "str", "decimal.Decimal", False),
    ],
)
@pytest.mark.parametrize("param_by_keyword", [False, True])
def test_exact_type_checks(
    fc, workdir, capsys, calls, method, value, expected_type, got, subclass, param_by_keyword
):
    param = {
        "create_file": "filepath",
        "_notify": "filepath",
        "create_files": "files",
        "parse_brace_expansion": "text",
    }[method]
    with pytest.raises(TypeError) as info:
        if param_by_keyword:
            getattr(fc, method)(**{param: value})
        else:
            getattr(fc, method)(value)
    assert str(info.value) == (
        f"Argument '{param}' has incorrect type (expected {expected_type}, got {got})"
    )
    notes = getattr(info.value, "__notes__", None)
    if subclass:
        assert notes and all(isinstance(n, str) and n for n in notes)
    else:
        assert notes is None
    assert capsys.readouterr().out == "" and calls == [] and list(workdir.iterdir()) == []


def test_type_check_comes_after_argument_binding(fc):
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        fc.create_file(None, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'y'"):
        fc.create_file(None, y=1)


def printed_traceback(env, argv, call):
    """Makes a function print the traceback of a failure that it handles
    (TRACEBACK=1 for get_version, --debug for create_file): the printed text."""

    def text(tt, fc, monkeypatch, capsys):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        monkeypatch.setattr("sys.argv", ["tessel", *argv])
        monkeypatch.setattr(tt, "Path", failing_path)
        call(tt, fc)
        return capsys.readouterr().out

    return text


def raised_traceback(call):
    """The traceback of the exception that leaves a function, formatted."""

    def text(tt, fc, monkeypatch, capsys):
        monkeypatch.setattr(tt, "Path", failing_path)
        with pytest.raises(ZeroDivisionError) as info:
            call(tt, fc)
        return "".join(traceback.format_exception(info.value))

    return text


@pytest.mark.parametrize(
    "text, functions",
    [
        (
            printed_traceback({"TRACEBACK": "1"}, [], lambda tt, fc: tt.get_version()),
            ["get_version"],
        ),
        (
            printed_traceback({}, ["--debug"], lambda tt, fc: fc.create_file("x.txt")),
            ["create_file"],
        ),
        (
            raised_traceback(lambda tt, fc: fc.create_files(["{a}"])),
            ["create_files", "parse_brace_expansion"],
        ),
        (raised_traceback(lambda tt, fc: tt.FileCreator()), ["__init__"]),
    ],
)
def test_tracebacks_show_the_module_functions(
    tt, fc, workdir, monkeypatch, capsys, text, functions
):
    """Each entry names a source file below tessel/src/ and a line of it that
    belongs to the function, from its definition to the end of the spec that
    follows it, however the source is laid out: where the function handles
    the failure, or the spec's for an exception that left it."""
    monkeypatch.setattr(tt, "re", types.SimpleNamespace(search=failing_path))
    out = text(tt, fc, monkeypatch, capsys)
    assert "ZeroDivisionError: from Path" in out
    entries = re.findall(r'File "(tessel/src/[\w.]+)", line (\d+), in (\w+)', out)
    assert [name for _, _, name in entries] == functions
    for path, line, name in entries:
        source = (REPO / path.removeprefix("tessel/")).read_text()
        body = name.strip("_")
        span = re.search(
            rf"\b{body}\(PyObject\s*\*\s*const\s*\*.*?\.body\s*=\s*{body},.*?\n}};",
            source,
            re.DOTALL,
        )
        assert span, (path, body)
        first, last = (source.count("\n", 0, at) + 1 for at in span.span())
        assert first <= int(line) <= last, (path, line, name, first, last)
