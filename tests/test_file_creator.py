"""FileCreator: the class object, create_file and create_files."""

import io
import operator
import os
from pathlib import Path

import pytest
from support import NAMES_OF_BYTES, WINDOWS, copy_warning, creation_error, err, host_error, ok


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_class_shape(tt, fc):
    cls = tt.FileCreator
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("FileCreator",) * 2 + (
        "tessel.tessel",
    )
    assert [k for k in vars(cls) if k not in ("__dict__", "__weakref__")] == [
        "__module__",
        "__doc__",
        "__init__",
        "_init_growl",
        "parse_brace_expansion",
        "create_file",
        "_notify",
        "create_files",
    ]
    assert list(vars(fc)) == ["icon_path", "growl"]
    assert fc.icon_path == Path(tt.__file__).parent / "tessel.jpg"
    assert isinstance(fc.icon_path, Path)


@pytest.mark.parametrize(
    "arg, made, notified",
    [
        ("a.txt", "cwd/a.txt", "a.txt"),
        ("a/b/c.txt", "cwd/a/b/c.txt", "a/b/c.txt"),
        ("./d//e.txt", "cwd/d/e.txt", "d/e.txt"),
        ("~/x.txt", "cwd/~/x.txt", "~/x.txt"),
        ("a{b.txt", "cwd/a{b.txt", "a{b.txt"),
        ("../up.txt", "up.txt", "../up.txt"),
        ("{w}/abs.txt", "abs.txt", "{w}/abs.txt"),
        ("ü 😀 'q.txt", "cwd/ü 😀 'q.txt", "ü 😀 'q.txt"),
        pytest.param(
            'q".txt',
            'cwd/q".txt',
            'q".txt',
            marks=pytest.mark.skipif(WINDOWS, reason='Windows refuses " in names'),
        ),
    ],
)
def test_paths_are_taken_literally(tt, workdir, monkeypatch, capsys, calls, arg, made, notified):
    (workdir / "cwd").mkdir()
    monkeypatch.chdir(workdir / "cwd")
    arg, notified = (s.replace("{w}", str(workdir)) for s in (arg, notified))
    seen = []

    class Recording(tt.FileCreator):
        def _notify(self, filepath):
            seen.append(filepath)

    assert Recording().create_file(arg) is True
    assert (workdir / made).stat().st_size == 0
    shown = str(Path(workdir, "cwd", notified))
    assert lines(capsys) == [ok(shown)]
    assert seen == [str(Path(notified))]  # as Path writes it: "\\" on Windows
    assert [c["args"] for c in calls if c["call"] == "copy"] == [[shown]]


def test_existing_file_and_directory_are_touched(fc, workdir, capsys):
    f = workdir / "old.txt"
    f.write_text("keep me")
    (workdir / "dir").mkdir()
    for p in (f, workdir / "dir"):
        os.utime(p, (0, 0))
    assert fc.create_file("old.txt") is True
    assert fc.create_file("dir") is True
    assert fc.create_file("dir/") is True
    assert f.read_text() == "keep me"
    assert f.stat().st_mtime > 0 and (workdir / "dir").stat().st_mtime > 0
    assert lines(capsys) == [ok(f), ok(workdir / "dir"), ok(workdir / "dir")]


# A trailing separator names a directory: "/", and on Windows also "\\",
# which elsewhere is a character of the name like any other.
@pytest.mark.parametrize(
    "arg, on_windows, elsewhere",
    [
        ("d\\", ["d"], ["d", "d\\"]),
        ("new\\", None, ["d", "new\\"]),
    ],
)
def test_a_trailing_backslash_names_a_directory_on_windows(
    fc, workdir, capsys, arg, on_windows, elsewhere
):
    (workdir / "d").mkdir()
    made = on_windows if WINDOWS else elsewhere
    assert fc.create_file(arg) is (made is not None)
    assert sorted(p.name for p in workdir.iterdir()) == (made or ["d"])
    assert lines(capsys) == [ok(workdir / arg) if made else err(arg, str(creation_error(arg)))]


# The text is the host's: names ending in "/" (or empty) are touched with
# os.utime, whose messages name the file from CPython 3.13 on, Path.touch
# reports a null byte in words that depend on the version, and Windows words
# every failure in its own way (POSIX: "[Errno 17] File exists: 'f.txt'").
@pytest.mark.parametrize(
    "arg, text",
    [
        ("newdir/", lambda: host_error(os.utime, "newdir/")),
        ("a/b/", lambda: host_error(os.utime, "a/b/")),
        ("", lambda: host_error(os.utime, "")),
        ("f.txt/", lambda: host_error(os.utime, "f.txt/")),
        ("f.txt/x", lambda: str(creation_error("f.txt/x"))),
        ("f.txt/x/y.txt", lambda: str(creation_error("f.txt/x/y.txt"))),
        ("a\0b", lambda: host_error(Path("a\0b").touch, exist_ok=True)),
        ("x" * 300, lambda: str(creation_error("x" * 300))),
    ],
)
def test_failures_give_error_line_and_leave_nothing(fc, workdir, capsys, calls, arg, text):
    (workdir / "f.txt").write_text("data")
    assert fc.create_file(arg) is False
    printed = lines(capsys)
    assert printed == [err(arg, text() if callable(text) else text)]
    assert sorted(p.name for p in workdir.iterdir()) == ["f.txt"]
    assert (workdir / "f.txt").read_text() == "data"
    assert calls == []


@NAMES_OF_BYTES
def test_surrogates_and_very_long_paths_do_not_crash(fc, workdir, monkeypatch):
    out = io.StringIO()
    monkeypatch.setattr("sys.stdout", out)
    assert fc.create_file("\udcff.txt") is True  # surrogate-escaped byte 0xff
    assert os.path.isfile(os.path.join(os.fsencode(workdir), b"\xff.txt"))
    assert fc.create_file("\ud800.txt") is False
    long_path = "d/" * 3000 + "f.txt"
    assert fc.create_file(long_path) is False
    printed = out.getvalue().splitlines()
    assert printed[0] == ok(f"{workdir}/\udcff.txt")
    assert printed[1].startswith(err("\ud800.txt", "")) and "surrogates not allowed" in printed[1]
    assert printed[2].startswith(err(long_path, "[Errno 36] File name too long"))
    assert len(printed) == 3


@pytest.mark.parametrize(
    "argv_tail, traceback_shown",
    [
        (["--debug"], True),
        (["a.txt", "--debug", "b"], True),
        (["--debug=1"], False),
        (["--deb"], False),
        (["--DEBUG"], False),
        ([], False),
    ],
)
def test_debug_argument_prints_traceback(fc, workdir, capsys, argv, argv_tail, traceback_shown):
    (workdir / "f.txt").touch()
    argv(*argv_tail)
    assert fc.create_file("f.txt/x") is False
    out = capsys.readouterr().out
    error = creation_error("f.txt/x")
    first = err("f.txt/x", str(error)) + "\n"
    if traceback_shown:
        assert out.startswith(first + "Traceback (most recent call last):\n")
        assert out.endswith(f"{type(error).__name__}: {error}\n\n")
    else:
        assert out == first


def test_output_order_and_failing_notify_hook(tt, workdir, fail, capsys):
    class Chatty(tt.FileCreator):
        def _notify(self, filepath):
            print("notified " + filepath)
            if filepath == "bad.txt":
                raise ValueError("hook failed")

    fail("copy", "RuntimeError:no display")
    assert Chatty().create_files(["a.txt", "bad.txt", "c.txt"]) == 2
    assert (workdir / "bad.txt").is_file()
    warning = copy_warning("no display")
    assert lines(capsys) == [
        warning,
        "notified a.txt",
        ok(workdir / "a.txt"),
        warning,
        "notified bad.txt",
        err("bad.txt", "hook failed"),
        warning,
        "notified c.txt",
        ok(workdir / "c.txt"),
    ]


def test_batch_counts_and_keeps_order(fc, workdir, capsys):
    (workdir / "f.txt").touch()
    assert fc.create_files([]) == 0
    assert capsys.readouterr().out == ""
    count = fc.create_files(["a.txt", "dir/b.txt", "f.txt/x", "a.txt", "a{b"])
    assert type(count) is int and count == 4
    assert lines(capsys) == [
        ok(workdir / "a.txt"),
        ok(workdir / "dir/b.txt"),
        err("f.txt/x", str(creation_error("f.txt/x"))),
        ok(workdir / "a.txt"),
        ok(workdir / "a{b"),
    ]


def test_batch_expands_everything_before_creating(tt):
    log = []

    class Scripted(tt.FileCreator):
        def parse_brace_expansion(self, text):
            log.append(("expand", text))
            return iter(["p.txt", "q.txt"])

        def create_file(self, filepath):
            log.append(("create", filepath))
            return {"p.txt": 1, "q.txt": "", "plain": [0], "{only": None}[filepath]

    assert Scripted().create_files(["x}y{z", "plain", "{only", "{}"]) == 3
    assert log == [
        ("expand", "x}y{z"),
        ("expand", "{}"),
        ("create", "p.txt"),
        ("create", "q.txt"),
        ("create", "plain"),
        ("create", "{only"),
        ("create", "p.txt"),
        ("create", "q.txt"),
    ]


@pytest.mark.parametrize(
    "files, error, made",
    [
        (["a.txt", 1], host_error(operator.contains, 1, "{"), []),
        (["a.txt", b"b.txt"], host_error(operator.contains, b"b.txt", "{"), []),
        (
            ["a.txt", ("b.txt",)],
            "Argument 'filepath' has incorrect type (expected str, got tuple)",
            ["a.txt"],
        ),
        (["a.txt", ["{", "}"]], "Argument 'text' has incorrect type (expected str, got list)", []),
    ],
)
def test_bad_elements_propagate(fc, workdir, capsys, files, error, made):
    with pytest.raises(TypeError) as info:
        fc.create_files(files)
    assert str(info.value) == error
    assert sorted(p.name for p in workdir.iterdir()) == made
    assert lines(capsys) == [ok(workdir / m) for m in made]
