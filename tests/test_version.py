"""get_version(): where the version file is looked for, which line decides,
and what is printed when reading it fails."""

import pytest
from support import failing_path, version_error


@pytest.mark.parametrize(
    "content, expected",
    [
        ('version = "1.2.3"\n', "1.2.3"),
        ("version = '1.2'\n", "1.2"),
        ('   version = "4"   \n', "4"),
        ('\tversion\t=\t"4.1"\r\n', "4.1"),
        ('versions = "5"\n', "5"),
        ('__version__ = "6"\n', "2.0"),
        ('Version = "6"\n', "2.0"),
        ('# version = "0"\n\nversion = "7"\n', "7"),
        ('x = 1; version = "7"\n', "2.0"),
        ("version\nversion: 8\nversion == 8\nversion = a = b\nversion = '8'\n", "8"),
        ('version = "1"\nversion = "2"\n', "1"),
        ("version =   \n", ""),
        ("version = '\"9\"'\n", '"9"'),
        ("version = \"'10'\"\n", "10"),
        ('version = ""11""\n', "11"),
        ('version = "a b\tc"\n', "a b\tc"),
        ("version = 1.0 # release\n", "1.0 # release"),
        ('version = "1.0\n', "1.0"),
        ("", "2.0"),
    ],
)
def test_version_line_rules(tt, moddir, capsys, content, expected):
    (moddir / "__version__.py").write_text(content, encoding="utf-8")
    assert tt.get_version() == expected
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "beside, subdir, expected",
    [
        (None, None, "2.0"),
        ('version = "1"', None, "1"),
        (None, 'version = "2"', "2"),
        ('version = "1"', 'version = "2"', "1"),
        ("no assignment here", 'version = "2"', "2.0"),  # a file beside wins even without a version
        ("<dir>", 'version = "2"', "2"),  # a directory is no file
        ("<dir>", None, "2.0"),
    ],
)
def test_version_file_placement(tt, moddir, capsys, beside, subdir, expected):
    if beside == "<dir>":
        (moddir / "__version__.py").mkdir()
    elif beside is not None:
        (moddir / "__version__.py").write_text(beside)
    if subdir is not None:
        (moddir / "tessel").mkdir()
        (moddir / "tessel" / "__version__.py").write_text(subdir)
    assert tt.get_version() == expected
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "value, traceback_shown",
    [
        (None, False),
        ("1", True),
        ("true", True),
        ("True", True),
        ("TRUE", False),
        ("0", False),
        ("", False),
        ("yes", False),
        (" 1", False),
    ],
)
def test_failure_output_follows_TRACEBACK(tt, monkeypatch, capsys, value, traceback_shown):
    if value is not None:
        monkeypatch.setenv("TRACEBACK", value)
    monkeypatch.setattr(tt, "Path", failing_path)
    assert tt.get_version() == "2.0"
    out = capsys.readouterr().out
    if traceback_shown:
        assert out.startswith("Traceback (most recent call last):\n")
        assert "in failing_path" in out and out.endswith("ZeroDivisionError: from Path\n\n")
    else:
        assert out.splitlines() == [version_error("from Path")]


def test_missing_module_file_name_is_reported(tt, monkeypatch, capsys):
    monkeypatch.delattr(tt, "__file__")
    assert tt.get_version() == "2.0"
    assert capsys.readouterr().out.splitlines() == [version_error("name '__file__' is not defined")]


# The module binds the built-in open at import: this one is put in its place
# first.  Once armed, reading the file fails and so does closing it.
FAILING_CLOSE = """
import builtins, traceback
armed = False


class VersionFile:
    def __init__(self, *args):
        pass

    def __enter__(self):
        return self

    def __iter__(self):
        if armed:
            raise ValueError("reading failed")
        return iter(())

    def __exit__(self, *exc_info):
        if armed:
            raise CLOSE_ERROR("closing failed")


builtins.open = VersionFile
import tessel.tessel as t
armed = True
try:
    print("returned", t.get_version())
except BaseException as e:
    print("raised", repr(e), "context", repr(e.__context__))
"""


@pytest.mark.parametrize(
    "close_error, traceback, printed",
    [
        (
            "KeyboardInterrupt",
            None,
            ["raised KeyboardInterrupt('closing failed') context ValueError('reading failed')"],
        ),
        ("OSError", None, [version_error("closing failed"), "returned 2.0"]),
        (
            "OSError",
            "1",
            [
                "ValueError: reading failed",
                "During handling of the above exception, another exception occurred:",
                "OSError: closing failed",
                "returned 2.0",
            ],
        ),
    ],
)
@pytest.mark.starts_processes
def test_exception_from_closing_the_file_keeps_the_first_as_context(
    run_py, close_error, traceback, printed
):
    proc = run_py(FAILING_CLOSE.replace("CLOSE_ERROR", close_error), env={"TRACEBACK": traceback})
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    if traceback:
        # The traceback: only its exception lines and the line that links them.
        lines = [ln for ln in lines if ln and not ln.startswith((" ", "Traceback"))]
    assert lines == printed
