"""The tessel command as a Unix tool: a standard output that cannot be written
or whose reader goes away, signals in the middle of a run, output encodings
that cannot represent every character, and `python -m tessel` in a folder
that holds modules of the same names as those that tessel imports."""

import ast
import errno
import os
import signal
import subprocess
import tempfile
import time

import pytest
from support import (
    INTERRUPTED,
    NAMES_OF_BYTES,
    PYTHON,
    TESSEL,
    WINDOWS,
    child_env,
    copy_warning,
    creation_error,
    err,
    files_in,
    host_error,
    ok,
    oserror,
    posix_only,
    run_tessel,
    summary,
)

# Every test here runs tessel or Python in another process.
pytestmark = pytest.mark.starts_processes

# A batch too long to finish before a signal or a reader's exit: written as
# the shell splits it, so that no single argument meets the kernel's limit.
NAMES = [f"f{i:05}" for i in range(20000)]
BATCH = ["big/{" + NAMES[0] + ",", *(n + "," for n in NAMES[1:-1]), NAMES[-1] + "}"]


def reported(cwd, names):
    return [ok(cwd / "big" / n) for n in names]


def made_in_order(cwd):
    """The files of the batch that exist: always the first ones, in order."""
    made = sorted(os.listdir(cwd / "big"))
    assert made == NAMES[: len(made)]
    return made


def closed_pipe():
    r, w = os.pipe()
    os.close(r)
    return w


# --- Standard output that cannot be written ---------------------------------------


@pytest.mark.parametrize("unbuffered", [False, True])
@pytest.mark.parametrize(
    "how, status, made, stderr",
    [
        # The reader has gone: the first line's write ends the run as SIGPIPE
        # ends any Unix tool (on Windows, quietly with status 1); the file made
        # stays and none is reported as failed.
        ("closed pipe", 1 if WINDOWS else -getattr(signal, "SIGPIPE", 0), ["a"], ""),
        # No standard output at all: print() writes nothing and the run goes on.
        pytest.param("closed", 0, ["a", "b", "c"], "", marks=posix_only("a POSIX shell")),
        # Any other failing write ends the run with one line and status 1.
        pytest.param(
            "/dev/full",
            1,
            ["a"],
            f"tessel: cannot write to standard output: {oserror(errno.ENOSPC)}\n",
            marks=posix_only("/dev/full"),
        ),
    ],
)
def test_standard_output_that_cannot_be_written(tmp_path, how, status, made, stderr, unbuffered):
    env = child_env(PYTHONUNBUFFERED="1" if unbuffered else None)
    if how == "closed":
        p = run_tessel(tmp_path, "-c", '"$0" a b c >&-', TESSEL, command=("sh",), env=env)
    else:
        fd = closed_pipe() if how == "closed pipe" else os.open("/dev/full", os.O_WRONLY)
        try:
            p = run_tessel(tmp_path, "a", "b", "c", env=env, stdout=fd, stderr=subprocess.PIPE)
        finally:
            os.close(fd)
    assert (p.returncode, p.stderr, files_in(tmp_path)) == (status, stderr, made)


@posix_only("bash and head")
def test_reader_that_goes_away_in_the_middle(tmp_path):
    work = tmp_path.resolve()
    p = run_tessel(
        work,
        "-c",
        '"$0" "$@" | head -n 3; exit "${PIPESTATUS[0]}"',
        TESSEL,
        *BATCH,
        command=("bash",),
    )
    assert p.returncode == 128 + signal.SIGPIPE  # as bash reports a death by SIGPIPE
    assert (p.stdout.splitlines(), p.stderr) == (reported(work, NAMES[:3]), "")
    # The run ended soon after, at the first write into the closed pipe.
    assert 3 <= len(made_in_order(work)) < len(NAMES)


def test_a_closed_pipe_of_the_clipboard_is_a_failed_copy(tmp_path):
    work = tmp_path.resolve()
    p = run_tessel(work, "a", "b", env=child_env(TESSEL_COPY_INTO_CLOSED_PIPE="1"))
    fd = closed_pipe()
    try:
        warning = copy_warning(host_error(os.write, fd, b"x"))  # EPIPE; Windows: EINVAL
    finally:
        os.close(fd)
    assert p.stdout.splitlines() == [
        warning,
        ok(work / "a"),
        warning,
        ok(work / "b"),
        *summary(2, 2),
    ]
    assert (p.returncode, p.stderr) == (0, "")


@posix_only("sh, and the descriptors that a child inherits unasked")
@pytest.mark.parametrize("merged", [False, True])
def test_a_helper_left_running_does_not_hold_the_output(tmp_path, merged):
    # Reading standard output and standard error to their end, as
    # `x=$(tessel ...)` or `tessel ... 2>&1 | cat` do, ends with tessel
    # although the helper (xclip, serving the clipboard) stays; what it says
    # on standard error still arrives there.
    work, pids = tmp_path.resolve() / "work", tmp_path / "pids"
    work.mkdir()
    try:
        p = run_tessel(
            work,
            "a",
            "b",
            env=child_env(TESSEL_COPY_LEAVES_HELPER=str(pids)),
            stdout=subprocess.PIPE,
            timeout=30,
            stderr=subprocess.STDOUT if merged else subprocess.PIPE,
        )
    finally:
        for pid in pids.read_text().split():
            os.kill(int(pid), signal.SIGKILL)
    report, said = [ok(work / "a"), ok(work / "b"), *summary(2, 2)], ["helper: serving"] * 2
    assert p.returncode == 0
    if merged:  # the helper's lines arrive when they come
        assert sorted(p.stdout.splitlines()) == sorted(report + said)
    else:
        assert (p.stdout.splitlines(), p.stderr.splitlines()) == (report, said)


# --- Signals ------------------------------------------------------------------------


def default_sigint():
    # As in a terminal: a suite started in the background has SIGINT ignored,
    # and a child would inherit that.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def start_batch(cwd, *options, stdout=subprocess.PIPE, env=None):
    return subprocess.Popen(
        [TESSEL, *options, *BATCH],
        cwd=cwd,
        env=env or child_env(),
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=default_sigint,
    )


@posix_only("SIGINT sent to a child")
@pytest.mark.parametrize("debug", [False, True])
def test_ctrl_c(tmp_path, debug):
    work = tmp_path.resolve()
    child = start_batch(work, *(["--debug"] if debug else []))
    # Each line comes as soon as its file is made, with no buffer to fill.
    head = "".join(child.stdout.readline() for _ in range(50))
    child.send_signal(signal.SIGINT)
    # Read through the same buffered reader: communicate() would skip what it
    # has read ahead.
    rest, stderr = child.stdout.read(), child.stderr.read()
    child.wait(timeout=120)
    shown = (head + rest).splitlines()
    assert 50 <= len(shown) < len(NAMES)
    assert shown == reported(work, NAMES[: len(shown)])
    # Ended as SIGINT ends a process, so that a calling shell stops too.
    assert child.returncode == -signal.SIGINT
    if debug:
        assert stderr.startswith("Traceback") and stderr.rstrip().endswith("KeyboardInterrupt")
    else:
        assert stderr == ""
    # Every reported file is there, plus at most the one in progress.
    assert len(made_in_order(work)) - len(shown) in (0, 1)


def test_interrupt_inside_a_clipboard_copy(tmp_path):
    work = tmp_path.resolve()
    p = run_tessel(work, "a", "b", env=child_env(TESSEL_FAIL_COPY="KeyboardInterrupt"))
    # The copy of a was interrupted: a is made, not reported, and nothing later.
    assert (p.returncode, p.stdout, p.stderr) == (INTERRUPTED, "", "")
    assert files_in(work) == ["a"]


# A Ctrl-C that arrives while the command loads: SIGINT sent to the process
# itself as the import of the module named starts, as the entry-point script
# that pip writes imports tessel.__main__ (on Windows, the KeyboardInterrupt
# that its Ctrl-C handler raises).
INTERRUPT_ON_IMPORT = """
import os, signal, sys
at = sys.argv.pop(1)
class Interrupt:
    def find_spec(self, name, path=None, target=None):
        if name == at and os.name == "nt":
            raise KeyboardInterrupt
        if name == at:
            os.kill(os.getpid(), signal.SIGINT)
sys.meta_path.insert(0, Interrupt())
from tessel.__main__ import run
run()
"""


@pytest.mark.parametrize("module", ["tessel._command", "typing", "tessel.tessel"])
@pytest.mark.parametrize("debug", [False, True])
def test_ctrl_c_while_the_command_loads(tmp_path, module, debug):
    p = run_tessel(
        tmp_path,
        "-P",
        "-c",
        INTERRUPT_ON_IMPORT,
        module,
        "x",
        *(["--debug"] if debug else []),
        command=(PYTHON,),
        preexec_fn=None if WINDOWS else default_sigint,
    )
    assert (p.returncode, p.stdout, files_in(tmp_path)) == (INTERRUPTED, "", [])
    if debug:
        assert p.stderr.startswith("Traceback") and p.stderr.rstrip().endswith("KeyboardInterrupt")
    else:
        assert p.stderr == ""


@posix_only("SIGTERM and SIGKILL")
@pytest.mark.parametrize("name", ["SIGTERM", "SIGKILL"])
def test_a_killed_run_has_listed_what_it_made(tmp_path, name):
    signum = getattr(signal, name)
    work = tmp_path.resolve()
    out = work / "out"
    with open(out, "w") as f:
        child = start_batch(work, stdout=f)
    deadline = time.monotonic() + 60
    while out.read_text().count("\n") < 50 and time.monotonic() < deadline:
        time.sleep(0.001)
    child.send_signal(signum)
    child.wait(timeout=120)
    assert child.returncode == -signum
    shown = out.read_text().splitlines()
    assert 50 <= len(shown) < len(NAMES)
    assert shown == reported(work, NAMES[: len(shown)])
    assert len(made_in_order(work)) - len(shown) in (0, 1)


# --- The end of a run ---------------------------------------------------------------


LATE_THREAD = """
import threading, time
def late():
    time.sleep(0.5)
    with open("left.txt", "w") as f:
        f.write("thread")
threading.Thread(target=late).start()
"""


# The run ends without the interpreter's teardown only where that has nothing
# left to do: what code loaded before or beside tessel leaves behind is done.
@pytest.mark.parametrize(
    "module, code, left, stdout_tail, stderr",
    [
        # Exit handlers run; what they write to the standard streams without
        # a line end still comes out.
        (
            "sitecustomize",
            "import atexit, sys\n"
            "atexit.register(lambda: (sys.stdout.write('tail'), sys.stderr.write('err')))\n"
            "atexit.register(lambda: open('left.txt', 'w').write('atexit'))",
            "atexit",
            "successfully\ntail",
            "err",
        ),
        # A buffered file that an optional package keeps open is written out.
        (
            "clipboard",
            "f = open('left.txt', 'w')\nf.write('buffered')\ndef copy(text): pass",
            "buffered",
            "successfully\n",
            "",
        ),
        (
            "sitecustomize",
            "f = open('left.txt', 'w')\nf.write('site')",
            "site",
            "successfully\n",
            "",
        ),
        # A thread that the interpreter waits for finishes its work.
        ("sitecustomize", LATE_THREAD, "thread", "successfully\n", ""),
    ],
)
def test_what_is_left_at_the_end_is_done(tmp_path, module, code, left, stdout_tail, stderr):
    loaded = tmp_path / "loaded"
    (loaded / module).mkdir(parents=True)
    (loaded / module / "__init__.py").write_text(code)
    work = tmp_path / "work"
    work.mkdir()
    p = run_tessel(work, "a.txt", env=child_env(path=[loaded], standins=False))
    assert p.returncode == 0, p.stderr
    assert p.stdout.endswith(stdout_tail)
    assert p.stderr.endswith(stderr)  # (before it, the optional packages' warnings)
    assert (work / "left.txt").read_text() == left


# Code that runs inside the command, here an optional package, finds the
# report's binary side to be a write-only binary stream, written in order
# with the text side.
BINARY_SIDE = """\
import io, sys, weakref
def copy(text):
    b = sys.stdout.buffer
    print(isinstance(b, io.BufferedIOBase), b.readable(), b.writable(), b.seekable(),
          weakref.ref(b)() is b, b.fileno() == b.name)
    b.writelines([bytearray(b"raw "), memoryview(b"bytes\\n")])
"""


def test_the_report_as_a_binary_stream(tmp_path):
    loaded = tmp_path / "loaded" / "clipboard"
    loaded.mkdir(parents=True)
    (loaded / "__init__.py").write_text(BINARY_SIDE)
    work = tmp_path / "work"
    work.mkdir()
    p = run_tessel(work, "a.txt", env=child_env(path=[loaded.parent], standins=False))
    assert p.returncode == 0, p.stderr
    seen = "True False True False True True\nraw bytes\n" + ok(work / "a.txt") + "\n"
    assert seen in p.stdout


# --- Output encodings -----------------------------------------------------------------


# raw: whether the encoding writes ASCII as ASCII, so that an undecodable byte
# of a name can go back out as itself; elsewhere it is written as \\xNN.
def pipe_encoding():
    """The encoding of Python's standard output into a pipe, as a child
    asked for none has it: the locale's (Windows: the ANSI code page)."""
    return subprocess.run(
        [PYTHON, "-c", "import sys; print(sys.stdout.encoding)"],
        env=child_env(PYTHONIOENCODING=None),
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()


@pytest.mark.parametrize(
    "encoding, raw",
    [
        ("ascii", True),
        ("latin-1", True),
        ("cp437", True),
        ("utf-8", True),
        ("shift_jis", True),
        ("utf-16", False),
        ("utf-16-le", False),
        ("utf-32", False),
        ("cp037", False),
        (None, True),  # the host's own
    ],
)
def test_every_file_is_attempted_and_reported_in_any_encoding(tmp_path, encoding, raw):
    work = tmp_path.resolve()
    (work / "f.txt").touch()
    asked, encoding = encoding, encoding or pipe_encoding()
    # A name of undecodable bytes where names are bytes (not on Windows).
    undecodable = [] if WINDOWS else [b"\xff"]
    p = run_tessel(
        work, "é1", *undecodable, "f.txt/x", "✓3", env=child_env(PYTHONIOENCODING=asked), text=False
    )
    made = ["é1", *(["\udcff"] if undecodable else []), "✓3"]
    lines = [
        *(ok(work / name) for name in made[:-1]),
        err("f.txt/x", str(creation_error("f.txt/x"))),
        ok(work / "✓3"),
        *summary(len(made), len(made) + 1),
    ]
    # What the encoding cannot represent is written as a backslash escape.
    # Into a pipe, as Python's own stdout, UTF-16 and UTF-32 go without a BOM.
    bom = len("".encode(encoding))

    def encoded(text):
        return text.encode(encoding, "backslashreplace")[bom:]

    byte = b"\xff" if raw else encoded("\\xff")
    assert p.stdout == b"".join(
        byte.join(map(encoded, line.split("\udcff"))) + encoded(os.linesep) for line in lines
    )
    assert (p.returncode, p.stderr) == (1, b"")
    assert files_in(work) == sorted(["f.txt", *made])


@NAMES_OF_BYTES
def test_undecodable_name_in_an_ascii_locale(tmp_path):
    work = tmp_path.resolve()
    env = child_env(LC_ALL="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0", PYTHONIOENCODING=None)
    p = run_tessel(work, b"\xff.txt", command=(TESSEL.encode(),), env=env, text=False)
    # The name goes back out as the bytes it came as; the mark is escaped.
    assert p.stdout.splitlines() == [
        b'\\u2713 File created: "' + bytes(work) + b'/\xff.txt"',
        *map(str.encode, summary(1, 1)),
    ]
    assert (p.returncode, p.stderr) == (0, b"")
    assert os.listdir(bytes(work)) == [b"\xff.txt"]


# --- python -m tessel ----------------------------------------------------------------

# What a run of `python -m tessel` imports, the wrapper's own imports, the
# module's body and the stand-in packages included, found by running it.
# Only what runpy (which `python -m` runs first) has loaded is left out.
FIND_IMPORTS = """
import os, runpy, sys
before = set(sys.modules)
os.chdir(sys.argv[1])
sys.argv[1:] = ["x"]
try:
    runpy.run_module("tessel", run_name="__main__", alter_sys=True)
except SystemExit:
    pass
sys.stderr.write(repr(sorted({m.split(".")[0] for m in set(sys.modules) - before})))
"""


def imported_by_python_dash_m():
    with tempfile.TemporaryDirectory() as work:
        p = subprocess.run(
            [PYTHON, "-P", "-c", FIND_IMPORTS, work],
            env=child_env(),
            capture_output=True,
            text=True,
            timeout=120,
        )
    names = set(ast.literal_eval(p.stderr)) - {"tessel"}
    assert {"argparse", "pathlib", "re", "typing", "clipboard", "gntp"} <= names, names
    return sorted(names)


@pytest.mark.parametrize("module", imported_by_python_dash_m())
def test_python_dash_m_does_not_import_from_the_current_folder(tmp_path, module):
    work = tmp_path.resolve()
    (work / f"{module}.py").write_text("raise SystemExit('imported from the current folder')\n")
    p = run_tessel(work, "x", command=(PYTHON, "-m", "tessel"))
    assert (p.stdout.splitlines(), p.stderr) == ([ok(work / "x"), *summary(1, 1)], "")
    assert p.returncode == 0
