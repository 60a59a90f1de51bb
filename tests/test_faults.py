"""Faults from outside tessel: file systems that refuse, names taken by the
wrong kind of entry, broken module globals, and threads (failing optional
packages: test_handlers.py; the command's own output and signals: test_command.py).

Whatever happens, every file made before the fault stays, the lines and the
exit status say what happened, and nothing crashes."""

import argparse
import errno
import os
import subprocess
import sys
import threading
import types
from pathlib import Path

import pytest
from support import (
    TESSEL,
    child_env,
    copy_warning,
    creation_error,
    err,
    files_in,
    growl_warning,
    host_exception,
    ok,
    oserror,
    run_tessel,
    summary,
    utime_error,
    version_error,
)

# --- File systems that refuse --------------------------------------------------


@pytest.fixture(scope="module")
def mount_namespace(tmp_path_factory):
    """Runs a shell script in a private mount namespace, where it may mount
    tmpfs file systems that nobody else sees (and that vanish with it)."""
    probe = tmp_path_factory.mktemp("probe")
    try:
        p = subprocess.run(
            [
                "unshare",
                "-m",
                "--propagation",
                "private",
                "sh",
                "-c",
                'mount -t tmpfs tmpfs "$0"',
                str(probe),
            ],
            capture_output=True,
            text=True,
            timeout=60,
        )
    except FileNotFoundError:
        pytest.skip("unshare(1) is not installed")
    if p.returncode != 0:
        pytest.skip(f"cannot mount in a private mount namespace: {p.stderr.strip()}")

    def run(script, cwd):
        return subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-euc", script],
            cwd=cwd,
            env=child_env(TESSEL=TESSEL),
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run


# The mount point "m" gets a tmpfs; "setup" runs before tessel.
READ_ONLY = dict(
    setup="mount -t tmpfs -o size=1m tmpfs m; mkdir m/dir; echo kept > m/old.txt;"
    " mount -o remount,bind,ro m",
    args=["before.txt", "m/new.txt", "m/sub/x.txt", "m/old.txt", "m/dir", "m/dir/", "after.txt"],
    lines=[
        ok("{w}/before.txt"),
        err("m/new.txt", oserror(errno.EROFS, "m/new.txt")),
        err("m/sub/x.txt", oserror(errno.EROFS, "m/sub")),
        err("m/old.txt", oserror(errno.EROFS, "m/old.txt")),
        err("m/dir", oserror(errno.EISDIR, "m/dir")),
        err("m/dir/", utime_error(errno.EROFS, "m/dir/")),
        ok("{w}/after.txt"),
        *summary(2, 7),
    ],
    mount=["dir", "old.txt"],
)
# Full: no data blocks left, and exactly two inodes.
FULL = dict(
    setup="mount -t tmpfs -o size=64k,nr_inodes=16 tmpfs m;"
    " dd if=/dev/zero of=m/filler bs=4k 2>/dev/null || true;"
    " i=0; while touch m/p$i 2>/dev/null; do i=$((i+1)); done; rm m/p0 m/p1",
    args=["before.txt", "m/a.txt", "m/{b,c}.txt", "m/d/e.txt", "after.txt"],
    lines=[
        ok("{w}/before.txt"),
        ok("{w}/m/a.txt"),
        ok("{w}/m/b.txt"),
        err("m/c.txt", oserror(errno.ENOSPC, "m/c.txt")),
        err("m/d/e.txt", oserror(errno.ENOSPC, "m/d")),
        ok("{w}/after.txt"),
        *summary(4, 6),
    ],
    mount=["a.txt", "b.txt", "filler"],
)


@pytest.mark.parametrize("case", [READ_ONLY, FULL], ids=["read-only", "full"])
@pytest.mark.starts_processes
def test_refusing_file_system(mount_namespace, tmp_path, case):
    work = tmp_path.resolve()
    (work / "m").mkdir()
    script = f"""{case["setup"]}
        size=$(wc -c < m/{case["mount"][-1]})
        status=0; "$TESSEL" {" ".join(f"'{a}'" for a in case["args"])} || status=$?
        echo "--- $status $size $(wc -c < m/{case["mount"][-1]})"
        ls m | grep -v '^p[0-9]'"""
    p = mount_namespace(script, work)
    assert p.returncode == 0, p.stderr
    out, _, rest = p.stdout.partition("\n--- ")
    status, size_before, size_after, *listing = rest.split()
    assert out.splitlines() == [line.replace("{w}/", f"{work}{os.sep}") for line in case["lines"]]
    assert status == "1"
    assert listing == case["mount"]
    assert size_after == size_before  # the last file listed was not touched in content
    assert files_in(work) == ["after.txt", "before.txt", "m"]


@pytest.mark.starts_processes
def test_names_taken_by_the_wrong_kind(tmp_path):
    work = tmp_path.resolve()
    (work / "f.txt").write_text("kept")
    (work / "d").mkdir()
    (work / "d" / "inner.txt").write_text("kept too")
    p = run_tessel(
        work,
        "before.txt",
        "f.txt/x.txt",
        "f.txt/sub/x.txt",
        "f.txt/",
        "d",
        "d/",
        "d/{inner.txt,new.txt}",
        "after.txt",
    )
    assert p.stdout.splitlines() == [
        ok(work / "before.txt"),
        *(
            err(arg, str(creation_error(arg)))
            for arg in ("f.txt/x.txt", "f.txt/sub/x.txt", "f.txt/")
        ),
        ok(work / "d"),
        ok(work / "d"),
        ok(work / "d/inner.txt"),
        ok(work / "d/new.txt"),
        ok(work / "after.txt"),
        *summary(6, 9),
    ]
    assert p.returncode == 1
    assert (work / "f.txt").read_text() == "kept"
    assert (work / "d" / "inner.txt").read_text() == "kept too"
    assert files_in(work) == ["after.txt", "before.txt", "d", "d/inner.txt", "d/new.txt", "f.txt"]


class Refused(Exception):
    pass


# --- Module globals deleted or of the wrong kind --------------------------------


class Untruthful:
    def __bool__(self):
        raise Refused("no truth")


class Unformattable:
    def __format__(self, spec):
        raise Refused("no format")


class ClearsTheList:
    """A FileCreator stand-in whose parse_brace_expansion empties the list that
    create_files was given (main's own list)."""

    def create_files(self, files):
        self.files = files
        return 0

    def parse_brace_expansion(self, text):
        self.files.clear()
        return ["x", "y"]


ACTIONS = {
    "create a.txt": lambda tt, fc: fc.create_file("a.txt"),
    "create f.txt/x": lambda tt, fc: fc.create_file("f.txt/x"),
    "create dir/": lambda tt, fc: fc.create_file("dir/"),
    "expand": lambda tt, fc: fc.parse_brace_expansion("d/{a,b}"),
    "create d/{a,b}": lambda tt, fc: fc.create_files(["d/{a,b}"]),
    "construct": lambda tt, fc: tt.FileCreator().growl,
    "notify": lambda tt, fc: fc._notify("a.txt"),
    "get_version": lambda tt, fc: tt.get_version(),
    "main": lambda tt, fc: tt.main(),
}


def bound(name, value):
    return lambda tt, monkeypatch, workdir: monkeypatch.setattr(tt, name, value)


def deleted(name):
    return lambda tt, monkeypatch, workdir: monkeypatch.delattr(tt, name)


def NAME_without_version_file(value):
    """NAME is read only when no version file lies beside the module."""

    def rebind(tt, monkeypatch, workdir):
        monkeypatch.setattr(tt, "__file__", str(workdir / "elsewhere" / "tessel.so"))
        monkeypatch.setattr(tt, "NAME", value)

    return rebind


def creator_clearing_the_list(tt, monkeypatch, workdir):
    monkeypatch.setattr(tt, "FileCreator", type("Clearing", (ClearsTheList, tt.FileCreator), {}))


@pytest.fixture
def broken(tt, fc, workdir, monkeypatch):
    """broken(rebind, argv, action): runs the action with a global rebound."""
    (workdir / "f.txt").touch()
    (workdir / "dir").mkdir()

    def run(rebind, argv, action):
        rebind(tt, monkeypatch, workdir)
        monkeypatch.setattr(sys, "argv", ["tessel", *argv])
        return ACTIONS[action](tt, fc)

    return run


# Inside a handler: its line, and its result; what was made stays.
@pytest.mark.parametrize(
    "rebind, argv, action, result, lines, made",
    [
        (
            deleted("Path"),
            [],
            "create a.txt",
            False,
            [err("a.txt", "name 'Path' is not defined")],
            [],
        ),
        (
            bound("Path", 42),
            [],
            "create a.txt",
            False,
            [err("a.txt", "'int' object is not callable")],
            [],
        ),
        (
            bound("os", None),
            [],
            "create dir/",
            False,
            [err("dir/", "'NoneType' object has no attribute 'utime'")],
            [],
        ),
        (
            bound("HAS_CLIPBOARD", Untruthful()),
            [],
            "create a.txt",
            False,
            [err("a.txt", "no truth")],
            ["a.txt"],
        ),
        (
            bound("clipboard", None),
            [],
            "create a.txt",
            True,
            [copy_warning("'NoneType' object has no attribute 'copy'"), ok("{w}/a.txt")],
            ["a.txt"],
        ),
        (
            deleted("clipboard"),
            [],
            "create a.txt",
            True,
            [copy_warning("name 'clipboard' is not defined"), ok("{w}/a.txt")],
            ["a.txt"],
        ),
        (
            deleted("HAS_GROWL"),
            [],
            "create a.txt",
            False,
            [err("a.txt", "name 'HAS_GROWL' is not defined")],
            ["a.txt"],
        ),
        (
            bound("gntp", 42),
            [],
            "construct",
            None,
            [growl_warning("'int' object has no attribute 'notifier'")],
            [],
        ),
        (
            NAME_without_version_file(5),
            [],
            "get_version",
            "2.0",
            [
                version_error(
                    f"unsupported operand type(s) for /: '{type(Path()).__name__}' and 'int'"
                )
            ],
            [],
        ),
        (
            deleted("__file__"),
            [],
            "get_version",
            "2.0",
            [version_error("name '__file__' is not defined")],
            [],
        ),
        (creator_clearing_the_list, ["d{a,b}", "e"], "main", 1, summary(0, 2), []),
    ],
)
def test_broken_globals_inside_a_handler(
    broken, workdir, capsys, rebind, argv, action, result, lines, made
):
    before = set(files_in(workdir))
    assert broken(rebind, argv, action) == result
    assert capsys.readouterr().out.splitlines() == [
        s.replace("{w}/", f"{workdir}{os.sep}") for s in lines
    ]
    assert set(files_in(workdir)) - before == set(made)


# Outside any handler, or inside one: the exception propagates.
@pytest.mark.parametrize(
    "rebind, argv, action, exception",
    [
        (bound("re", None), [], "expand", AttributeError),
        (deleted("re"), [], "create d/{a,b}", NameError),
        (bound("re", types.SimpleNamespace(search=lambda p, t: 1)), [], "expand", AttributeError),
        (bound("sys", None), [], "create f.txt/x", AttributeError),
        (bound("sys", types.SimpleNamespace(argv=5)), [], "create f.txt/x", TypeError),
        (bound("sys", types.SimpleNamespace(argv=5)), [], "main", TypeError),
        (bound("traceback", None), ["--debug"], "create f.txt/x", AttributeError),
        (bound("HAS_GROWL", Untruthful()), [], "construct", Refused),
        (deleted("HAS_GROWL"), [], "notify", NameError),
        (bound("argparse", None), [], "main", AttributeError),
        # argparse itself decides what a formatter class that is not callable raises
        (
            bound("CustomRichHelpFormatter", 42),
            [],
            "main",
            type(
                host_exception(
                    lambda: argparse.ArgumentParser(formatter_class=42).add_argument(
                        "files", metavar="FILE", nargs="*"
                    )
                )
            ),
        ),
        (bound("__version__", Unformattable()), ["a.txt"], "main", Refused),
        (bound("FileCreator", 42), ["a.txt"], "main", TypeError),
        (deleted("FileCreator"), ["a.txt"], "main", NameError),
    ],
)
def test_broken_globals_propagate(broken, rebind, argv, action, exception):
    with pytest.raises(exception):
        broken(rebind, argv, action)


# --- Threads ---------------------------------------------------------------------


def test_one_creator_in_eight_threads(fc, workdir, capsys, calls):
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        results = {}
        start = threading.Barrier(8)

        def work(t):
            start.wait()
            singles = [fc.create_file(f"t{t}/single{i}.txt") for i in range(50)]
            batch = fc.create_files([f"t{t}/{{" + ",".join(f"b{i}" for i in range(50)) + "}.txt"])
            results[t] = (singles, batch)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert results == {t: ([True] * 50, 50) for t in range(8)}
    expected = {
        f"t{t}/{kind}{i}.txt" for t in range(8) for i in range(50) for kind in ("single", "b")
    }
    assert {f for f in files_in(workdir) if f.endswith(".txt")} == expected
    out = capsys.readouterr().out
    # print() writes the text and the line end separately, so lines of
    # different threads may interleave; each text is still whole.
    assert out.count("✓ File created: ") == 800 and "✗" not in out
    assert all(ok(workdir / f) in out for f in expected)
    assert sorted(c["args"][0] for c in calls if c["call"] == "copy") == sorted(
        str(workdir / f) for f in expected
    )
    assert sum(c["call"] == "notify" for c in calls) == 800
