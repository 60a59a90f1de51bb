"""The tessel command: end to end through the installed console script, and
main() called in process."""

import argparse
import json
import os
import pathlib
import re
import shutil
import sys

import pytest
from support import (
    CLIPBOARD_MISSING,
    GNTP_MISSING,
    NAMES_OF_BYTES,
    TESSEL,
    child_env,
    creation_error,
    err,
    files_in,
    posix_only,
    run_tessel,
    summary,
)

EPILOG = "\n".join(
    [
        "",
        "Examples:",
        "  tessel file.txt                       # Create single file",
        "  tessel file1.txt file2.py file3       # Create multiple files",
        "  tessel dir/subdir/file.txt            # Create with directories",
        "  tessel dir/{a,b,c}.txt                "
        "# Brace expansion (creates dir/a.txt, dir/b.txt, dir/c.txt)",
        "  tessel dotenv/{__init__.py,core.py}   # Create package structure",
        "  ",
        "Note: Use forward slashes (/) for directories, even on Windows.",
        "        ",
    ]
)


def expected_help():
    parser = argparse.ArgumentParser(
        prog="tessel",
        description="Create blank files with notification support",
        formatter_class=argparse.RawTextHelpFormatter,
        epilog=EPILOG,
    )
    parser.add_argument(
        "files", metavar="FILE", nargs="*", help="File(s) to create. Supports brace expansion."
    )
    parser.add_argument("--version", action="version", version="")
    parser.add_argument("--debug", action="store_true", help="Show detailed error messages")
    return parser.format_help()


@pytest.fixture
def work(tmp_path, monkeypatch):
    """An empty directory to run in; the stand-ins record to a file beside it."""
    (tmp_path / "work").mkdir()
    monkeypatch.setenv("COLUMNS", "80")  # same help layout here and in the child
    return tmp_path.resolve() / "work"


def run(cwd, *words, standins=True, command=(TESSEL,)):
    env = child_env(standins, COLUMNS="80", TESSEL_RECORD=str(cwd.parent / "record.jsonl"))
    return run_tessel(cwd, *words, command=command, env=env)


def recorded(cwd):
    path = cwd.parent / "record.jsonl"
    lines = path.read_text().splitlines() if path.exists() else []
    return [json.loads(line)["call"] for line in lines]


def with_parents(paths):
    return {
        str(q) for p in map(pathlib.PurePosixPath, paths) for q in (p, *p.parents) if str(q) != "."
    }


def expect(cwd, lines):
    """Lines written "✓ rel/path" stand for the success line of that path."""
    return [f'✓ File created: "{cwd / ln[2:]}"' if ln.startswith("✓ ") else ln for ln in lines]


SUCCESSES = [
    (["dir/{a,", "b,", "c}.txt"], ["dir/a.txt", "dir/b.txt", "dir/c.txt"]),
    (["dir/{a,b,c}.txt"], ["dir/a.txt", "dir/b.txt", "dir/c.txt"]),
    (["file1.txt", "file2.py", "file3"], ["file1.txt", "file2.py", "file3"]),
    (["dir/subdir/file.txt"], ["dir/subdir/file.txt"]),
    (["dotenv/{__init__.py,core.py}"], ["dotenv/__init__.py", "dotenv/core.py"]),
    (["pkg/{a\tb,", "c}.py"], ["pkg/a.py", "pkg/b.py", "pkg/c.py"]),
    (["my file.txt"], ["my", "file.txt"]),
    (["a.txt", "a.txt"], ["a.txt", "a.txt"]),
    (["a{b c", "d"], ["a{b c d"]),
    (["a}b c"], ["a}b", "c"]),
    (["a{}b", "x}{a}"], ["a{}b", "x}/a"]),
    (["--debug", "z/{q}"], ["z/q"]),
    (["a{,}"], []),
    (["a{ ,", "}", "b"], ["b"]),
    ([""], []),
    (["", "  ", ""], []),
]


@pytest.mark.parametrize("words, files", SUCCESSES, ids=repr)
@pytest.mark.starts_processes
def test_files_are_created(work, words, files):
    proc = run(work, *words)
    assert proc.stdout.splitlines() == (
        expect(work, [f"✓ {f}" for f in files]) + summary(len(files), len(files))
    )
    assert proc.stderr == "" and proc.returncode == 0
    assert set(files_in(work)) == with_parents(files)
    assert all((work / f).is_file() and (work / f).stat().st_size == 0 for f in files)
    assert "register" in recorded(work)  # one FileCreator, even for no file


EXISTS = str(creation_error("f.txt/x"))

# setup: name -> text of a file, or None for a directory.
OUTCOMES = [
    (
        {"f.txt": "keep"},
        ["a.txt", "f.txt/x", "b.txt"],
        ["✓ a.txt", f'✗ Error creating file "f.txt/x": {EXISTS}', "✓ b.txt"],
        (2, 3),
        {"a.txt", "b.txt"},
    ),
    (
        {"f.txt": "keep"},
        ["{a,", "f.txt/x,", "b}"],
        ["✓ a", f'✗ Error creating file "f.txt/x": {EXISTS}', "✓ b"],
        (2, 3),
        {"a", "b"},
    ),
    (
        {},
        ["newdir/", "ok"],
        [err("newdir/", str(creation_error("newdir/"))), "✓ ok"],
        (1, 2),
        {"ok"},
    ),
    ({"f.txt": "keep"}, ["f.txt/"], [err("f.txt/", str(creation_error("f.txt/")))], (0, 1), set()),
    ({"d": None, "e.txt": "old"}, ["d/", "e.txt"], ["✓ d", "✓ e.txt"], (2, 2), set()),
]


@pytest.mark.parametrize("setup, words, lines, counts, new", OUTCOMES, ids=repr)
@pytest.mark.starts_processes
def test_outcomes_and_exit_status(work, setup, words, lines, counts, new):
    for name, text in setup.items():
        (work / name).mkdir() if text is None else (work / name).write_text(text)
    proc = run(work, *words)
    assert proc.stdout.splitlines() == expect(work, lines) + summary(*counts)
    assert proc.stderr == ""
    assert proc.returncode == (0 if counts[0] == counts[1] else 1)
    assert set(files_in(work)) == set(setup) | new
    assert all((work / n).read_text() == t for n, t in setup.items() if t is not None)


@pytest.mark.parametrize("words", [[], ["--debug"], ["-h"], ["--help"]], ids=repr)
@pytest.mark.starts_processes
def test_help(work, words):
    proc = run(work, *words)
    assert proc.stdout == expected_help()
    assert proc.stdout.startswith("usage: tessel [-h] [--version] [--debug] [FILE ...]\n")
    assert proc.stderr == "" and proc.returncode == 0
    assert set(files_in(work)) == set()
    assert "register" not in recorded(work)  # no FileCreator was made


def man_page():
    [page] = pathlib.Path(sys.prefix).glob("**/man1/tessel.1")
    return page


def option_names(text):
    """The option names in text, of help or of roff (where "-" is written "\\-")."""
    return set(re.findall(r"(?<![\w-])--?[a-z]+", text.replace("\\-", "-")))


@posix_only("manual pages, which nothing on Windows reads")
@pytest.mark.starts_processes
def test_man_page_names_the_options_of_the_help(work):
    help_text = run(work, "--help").stdout
    usage, options = help_text.splitlines()[0], help_text.split("\noptions:\n")[1].split("\n\n")[0]
    roff = man_page().read_text()
    synopsis = roff.split(".SH SYNOPSIS\n")[1].split(".br\n")[0]
    tags = re.findall(r"^\.TP\n(.*)$", roff.split(".SH OPTIONS\n")[1].split("\n.SH ")[0], re.M)
    assert option_names(options) == {"-h", "--help", "--version", "--debug"}
    assert option_names("\n".join(tags)) == option_names(options)
    assert option_names(synopsis) == option_names(usage)


@pytest.mark.skipif(not shutil.which("man"), reason="needs man (Debian: man-db)")
@pytest.mark.starts_processes
def test_man_page_renders_and_man_finds_it(work):
    # man's own programs are not tessel: no sanitizer runtime preloaded into them.
    shown = run_tessel(
        work,
        "--warnings",
        "-E",
        "UTF-8",
        "-l",
        str(man_page()),
        command=("man",),
        env=child_env(MANWIDTH="80", LD_PRELOAD=None),
    )
    assert (shown.returncode, shown.stderr) == (0, "")
    assert "tessel - create blank files, with brace expansion" in shown.stdout
    found = run_tessel(
        work,
        "-w",
        "tessel",
        command=("man",),
        env=child_env(
            PATH=f"{pathlib.Path(TESSEL).parent}:/usr/bin:/bin", MANPATH=None, LD_PRELOAD=None
        ),
    )
    assert found.stdout.strip() == str(man_page())


@pytest.mark.skipif(
    not (os.environ.get("TESSEL_WHEEL") and shutil.which("man")),
    reason="needs the wheel named by TESSEL_WHEEL (nox -s wheel) and man",
)
def test_pipx_links_the_man_page(tmp_path):
    # pipx exposes the pages in share/man of the environment it makes, and
    # no others.
    share = tmp_path / "share"
    env = child_env(
        PIPX_HOME=str(tmp_path / "pipx"),
        PIPX_BIN_DIR=str(tmp_path / "bin"),
        PIPX_MAN_DIR=str(share / "man"),
        LD_PRELOAD=None,
    )
    installed = run_tessel(
        tmp_path,
        "-m",
        "pipx",
        "install",
        os.environ["TESSEL_WHEEL"],
        command=(sys.executable,),
        env=env,
    )
    assert installed.returncode == 0, installed.stderr
    env.update(PATH=f"{tmp_path / 'bin'}:/usr/bin:/bin")
    env.pop("MANPATH", None)
    found = run_tessel(tmp_path, "-w", "tessel", command=("man",), env=env)
    link = share / "man" / "man1" / "tessel.1"  # man names the page it points to
    assert found.stdout.strip() == str(link.resolve())
    assert link.read_text() == man_page().read_text()


@pytest.mark.starts_processes
def test_version(work):
    proc = run(work, "--version")
    assert proc.stdout.startswith("tessel v2.0 by ") and proc.stdout.count("\n") == 1
    assert len(proc.stdout.strip()) > len("tessel v2.0 by")
    assert proc.stderr == "" and proc.returncode == 0


@pytest.mark.parametrize(
    "words, message",
    [
        (["--bogus", "a.txt"], "unrecognized arguments: --bogus"),
        (["--debug=1", "a.txt"], "argument --debug: ignored explicit argument '1'"),
        (["--version=3"], "argument --version: ignored explicit argument '3'"),
    ],
)
@pytest.mark.starts_processes
def test_usage_errors(work, words, message):
    proc = run(work, *words)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("usage: tessel ")
    assert proc.stderr.splitlines()[-1] == f"tessel: error: {message}"
    assert set(files_in(work)) == set()


@pytest.mark.starts_processes
def test_without_optional_packages(work):
    proc = run(work, "d/{x,", "y}", standins=False)
    assert proc.stdout.splitlines() == [
        CLIPBOARD_MISSING,
        GNTP_MISSING,
        *expect(work, ["✓ d/x", "✓ d/y"]),
        *summary(2, 2),
    ]
    assert proc.stderr == "" and proc.returncode == 0


@pytest.mark.starts_processes
def test_python_dash_m(work):
    (work / "f.txt").write_text("")
    proc = run(work, "d/{a,", "b}", "f.txt/x", command=(sys.executable, "-m", "tessel"))
    assert proc.stdout.splitlines() == expect(
        work, ["✓ d/a", "✓ d/b", f'✗ Error creating file "f.txt/x": {EXISTS}']
    ) + summary(2, 3)
    assert proc.stderr == "" and proc.returncode == 1
    assert set(files_in(work)) == {"d", "d/a", "d/b", "f.txt"}


@NAMES_OF_BYTES
@pytest.mark.starts_processes
def test_name_not_in_the_locale_encoding(work):
    # The shell hands over raw bytes; the report writes them back unchanged,
    # also where the locale's stdout would refuse them (as a UTF-8 locale
    # other than C.UTF-8 does).
    env = child_env(False, PYTHONIOENCODING="utf-8:strict")
    proc = run_tessel(work, b"\xff.txt", command=(TESSEL.encode(),), env=env, text=False)
    assert proc.returncode == 0, proc.stderr
    assert os.listdir(work.as_posix().encode()) == [b"\xff.txt"]
    assert f'✓ File created: "{work}/'.encode() + b'\xff.txt"\n' in proc.stdout
    assert proc.stderr == b""


# main() in this process (conftest resets sys.argv and the environment).


@pytest.mark.parametrize(
    "words, lines, status",
    [
        (["dir/{a,", "b}"], ["✓ dir/a", "✓ dir/b", *summary(2, 2)], 0),
        (
            ["f.txt/{a,b}", "c"],
            [
                f'✗ Error creating file "f.txt/a": {EXISTS}',
                f'✗ Error creating file "f.txt/b": {EXISTS}',
                "✓ c",
                *summary(1, 3),
            ],
            1,
        ),
    ],
)
def test_main_in_process(tt, workdir, argv, capsys, words, lines, status):
    (workdir / "f.txt").write_text("")
    argv(*words)
    capsys.readouterr()
    result = tt.main()
    assert type(result) is int and result == status
    assert capsys.readouterr().out.splitlines() == expect(workdir, lines)


class NoCreator:
    def __init__(self):
        raise AssertionError("FileCreator constructed")

    def create_files(self, files):
        raise KeyError("boom")


@pytest.mark.parametrize("words", [[], ["--debug"]], ids=repr)
def test_main_help_makes_no_creator(tt, argv, monkeypatch, capsys, words):
    monkeypatch.setenv("COLUMNS", "80")
    monkeypatch.setattr(tt, "FileCreator", NoCreator)
    argv(*words)
    capsys.readouterr()
    assert tt.main() == 0
    assert capsys.readouterr().out == expected_help()


def test_main_lets_exceptions_through(tt, argv, monkeypatch, capsys):
    monkeypatch.setattr(NoCreator, "__init__", lambda self: None)
    monkeypatch.setattr(tt, "FileCreator", NoCreator)
    argv("a.txt")
    with pytest.raises(KeyError):
        tt.main()
    assert "file(s) created" not in capsys.readouterr().out
