"""The real optional packages, installed with the extras: the X clipboard
under Xvfb through clipboard (pyperclip and xclip), and the GNTP messages
that the real gntp client sends to a listener on 127.0.0.1 (gntp_listener.py),
parsed with the package's own parser."""

import json
import os
import shutil
import socket
import struct
import subprocess
from pathlib import Path

import pytest
from support import (
    ABSENT,
    CLIPBOARD_MISSING,
    GNTP_MISSING,
    PYTHON,
    TESSEL,
    TESTS,
    WINDOWS,
    child_env,
    copy_warning,
    growl_warning,
    host_error,
    ok,
    run_tessel,
    summary,
)

import tessel.tessel


def real_env(tmp_path, hide=(), extra=()):
    """A child environment that sees the real packages, less those in hide,
    with the directories in extra first on its path."""
    hidden = tmp_path / "hidden"
    hidden.mkdir(exist_ok=True)
    for name in hide:
        shutil.copytree(ABSENT / name, hidden / name, dirs_exist_ok=True)
    return child_env(False, path=(*extra, hidden), absent=False, DISPLAY=None, WAYLAND_DISPLAY=None)


def made(work, rel):
    return str(Path(os.path.realpath(work), rel))


# The X clipboard ---------------------------------------------------------

needs_x = pytest.mark.skipif(
    not (shutil.which("xvfb-run") and shutil.which("xclip")),
    reason="needs xvfb-run and xclip (Debian: xvfb xclip)",
)

# After each run, another process (xclip -o) reads what the clipboard holds.
# tessel's output is read as scripts read it: a file, a command substitution,
# a pipe, and standard error merged into the pipe (the xclip that serves the
# clipboard stays in the background, and must not keep the last three
# waiting).  Each xclip takes the selection in its background process, after
# the copy has returned, so the reader waits up to 10 s for a text when one
# is expected ($3 = wait).  Those processes race: of several copies in one
# run, an earlier one may be the last to take the selection, so the test
# asks for one of the paths copied (for one file, that file's).
UNDER_X = """path=$PATH; PATH=$2 {run}; echo $? > status; PATH=$path
for i in $(seq 100); do
  xclip -o -selection clipboard > clip 2>/dev/null || :
  [ -z "$3" ] || [ -s clip ] && break
  sleep 0.1
done"""
READERS = {
    "file": '"$0" $1 > tessel.out',
    "substitution": 'out=$("$0" $1); s=$?; printf "%s\\n" "$out" > tessel.out; (exit $s)',
    "pipe": '"$0" $1 | cat > tessel.out; (exit ${PIPESTATUS[0]})',
    "merged": '"$0" $1 2>&1 | cat > tessel.out; (exit ${PIPESTATUS[0]})',
}


# Arguments and the files they make, for each clipboard.
COPIED = [
    ("x/a.txt", ["x/a.txt"]),
    ("d/{p,q}.txt", ["d/p.txt", "d/q.txt"]),
    ("ü/é ✓.txt", ["ü/é", "✓.txt"]),
]


@needs_x
@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(
    "arg, path, files, warned",
    [
        *((arg, None, files, False) for arg, files in COPIED),
        # No xclip on PATH: the copy warns, the file still counts.
        ("a.txt", "/nonexistent", ["a.txt"], True),
    ],
)
@pytest.mark.starts_processes
def test_each_path_lands_on_the_x_clipboard(tmp_path, arg, path, files, warned, reader):
    work = tmp_path / "work"
    work.mkdir()
    script = UNDER_X.format(run=READERS[reader])
    p = run_tessel(
        work,
        "-a",
        "bash",
        "-c",
        script,
        TESSEL,
        arg,
        path or os.environ["PATH"],
        "" if warned else "wait",  # for a copy
        command=("xvfb-run",),
        env=real_env(tmp_path, hide=["gntp"]),
        timeout=60,
    )
    assert p.returncode == 0, p.stderr
    assert (work / "status").read_text() == "0\n"
    lines = (work / "tessel.out").read_text().splitlines()
    reported = [*(ok(made(work, f)) for f in files), *summary(len(files), len(files))]
    assert lines[0] == GNTP_MISSING and lines[-len(reported) :] == reported
    warning = "\n".join(lines[1 : -len(reported)])  # pyperclip's text spans two lines
    assert warning.startswith(copy_warning("Pyperclip could not")) if warned else warning == ""
    copied = [""] if warned else [made(work, f) for f in files]
    assert (work / "clip").read_text() in copied


@pytest.mark.skipif(not WINDOWS, reason="Windows only: pyperclip calls its clipboard API")
@pytest.mark.parametrize("arg, files", COPIED)
def test_each_path_lands_on_the_windows_clipboard(tmp_path, arg, files):
    work = tmp_path / "work"
    work.mkdir()
    env = real_env(tmp_path, hide=["gntp"])
    p = run_tessel(work, arg, env=env)
    assert p.stdout.splitlines() == [
        GNTP_MISSING,
        *(ok(made(work, f)) for f in files),
        *summary(len(files), len(files)),
    ]
    assert (p.returncode, p.stderr) == (0, "")
    # Read back by another process.
    pasted = run_tessel(
        work, "-c", "import pyperclip; print(pyperclip.paste())", command=(PYTHON,), env=env
    )
    assert pasted.stdout == made(work, files[-1]) + "\n"


@pytest.mark.starts_processes
def test_a_clipboard_whose_dependency_fails_to_import_is_missing(tmp_path):
    broken = tmp_path / "broken"
    (broken / "pyperclip").mkdir(parents=True)
    (broken / "pyperclip" / "__init__.py").write_text("raise ImportError('broken')\n")
    p = run_tessel(tmp_path, "a.txt", env=real_env(tmp_path, hide=["gntp"], extra=[broken]))
    assert p.stdout.splitlines() == [
        CLIPBOARD_MISSING,
        GNTP_MISSING,
        ok(made(tmp_path, "a.txt")),
        *summary(1, 1),
    ]
    assert p.returncode == 0 and p.stderr == ""


# GNTP --------------------------------------------------------------------


@pytest.fixture
def network():
    """The command prefix that puts a process into a network of this test's
    own, with only a loopback (`unshare -n`, as root): the listener has
    gntp's port to itself, whatever else on the machine listens there.
    Elsewhere the machine's own network, and the port must be free."""
    if not (
        hasattr(os, "geteuid")
        and os.geteuid() == 0
        and shutil.which("unshare")
        and shutil.which("ip")
    ):
        yield ()
        return
    holder = subprocess.Popen(
        ["unshare", "-n", "sh", "-c", "ip link set lo up && echo up && cat"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert holder.stdout.readline() == "up\n"
    yield ("nsenter", f"--net=/proc/{holder.pid}/ns/net", "--")
    holder.stdin.close()
    holder.wait()


@pytest.fixture
def listener(tmp_path, network):
    """``listener(mode)`` starts tests/gntp_listener.py; ``.messages()`` ends
    it and gives what it received."""
    started = []

    def _start(mode):
        proc = subprocess.Popen(
            [*network, PYTHON, "-P", str(TESTS / "gntp_listener.py"), mode],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=real_env(tmp_path),
        )
        started.append(proc)
        assert proc.stdout.readline() == "ready\n"
        proc.messages = lambda: json.loads(proc.communicate(timeout=30)[0])
        return proc

    yield _start
    for proc in started:
        proc.kill()
        proc.wait()


CLOSED = "connection closed before a complete answer"


def socket_errors():
    """The host's texts of a connection refused and of one reset by its
    peer ("[Errno 111] Connection refused", "[Errno 104] Connection reset by
    peer" on Linux; Windows words them otherwise)."""
    with socket.create_server(("127.0.0.1", 0)) as server:
        port = server.getsockname()[1]
        with socket.create_connection(("127.0.0.1", port)) as client:
            conn, _ = server.accept()
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            reset = host_error(client.recv, 1)
    return host_error(socket.create_connection, ("127.0.0.1", port)), reset


REFUSED, RESET = socket_errors()


def icon_uri():
    icon = Path(tessel.tessel.__file__).parent / "tessel.jpg"
    return icon.as_uri() if icon.exists() else None


def check_registration(message):
    assert message["type"] == "REGISTER"
    assert message["headers"]["Application-Name"] == "tessel"
    assert message["headers"].get("Application-Icon") == icon_uri()
    assert message["notifications"] == [
        {"Notification-Name": "create", "Notification-Enabled": "True"}
    ]


def check_notification(message, name):
    assert message["type"] == "NOTIFY"
    wanted = {
        "Application-Name": "tessel",
        "Notification-Name": "create",
        "Notification-Title": "tessel",
        "Notification-Text": f'File created: "{name}"',
        "Notification-Icon": icon_uri(),
        "Notification-Priority": "1",
    }
    assert {k: message["headers"].get(k) for k in wanted} == wanted
    assert "Notification-Sticky" not in message["headers"]  # sticky=False sends none


@pytest.mark.parametrize(
    "mode, args, files, printed, notified, logged",
    [
        ("answer", ["d/{a,b}.txt"], ["d/a.txt", "d/b.txt"], [], True, ""),
        # A refusal comes back as register()'s result, not raised: notifications
        # are still sent.  The package logs it (Python's last-resort handler).
        (
            "refuse",
            ["d/{a,b}.txt"],
            ["d/a.txt", "d/b.txt"],
            [],
            True,
            "Invalid response: ('402', 'Not Authorized')\n",
        ),
        ("reset", ["d/{a,b}.txt"], ["d/a.txt", "d/b.txt"], [growl_warning(RESET)], False, ""),
        (
            "silent",
            ["d/{a,b}.txt"],
            ["d/a.txt", "d/b.txt"],
            [growl_warning("timed out")],
            False,
            "",
        ),
        # A connection closed before a whole answer fails at once.
        ("close", ["d/{a,b}.txt"], ["d/a.txt", "d/b.txt"], [growl_warning(CLOSED)], False, ""),
        ("half", ["d/{a,b}.txt"], ["d/a.txt", "d/b.txt"], [growl_warning(CLOSED)], False, ""),
        # Registered, then no notification answered: silent unless --debug.
        ("silent-notify", ["a.txt"], ["a.txt"], [], True, ""),
        (
            "silent-notify",
            ["a.txt", "--debug"],
            ["a.txt"],
            ["Notification error: timed out"],
            True,
            "",
        ),
        ("half-notify", ["a.txt"], ["a.txt"], [], True, ""),
        (
            "half-notify",
            ["a.txt", "--debug"],
            ["a.txt"],
            [f"Notification error: {CLOSED}"],
            True,
            "",
        ),
        # The daemon gone after the registration.
        ("gone", ["a.txt"], ["a.txt"], [], False, ""),
        ("gone", ["a.txt", "--debug"], ["a.txt"], [f"Notification error: {REFUSED}"], False, ""),
        # No daemon at all: one warning, then no further try.
        (None, ["a", "b"], ["a", "b"], [growl_warning(REFUSED)], False, ""),
    ],
)
@pytest.mark.starts_processes
def test_what_the_gntp_client_sends(
    tmp_path, network, listener, mode, args, files, printed, notified, logged
):
    daemon = listener(mode) if mode else None
    work = tmp_path / "work"
    work.mkdir()
    # A client that spins never ends: the timeout fails the test.
    p = run_tessel(
        work,
        *args,
        command=(*network, TESSEL),
        env=real_env(tmp_path, hide=["clipboard"]),
        timeout=60,
    )
    assert p.stdout.splitlines() == [
        CLIPBOARD_MISSING,
        *printed,
        *(ok(made(work, f)) for f in files),
        *summary(len(files), len(files)),
    ]
    assert p.returncode == 0 and p.stderr == logged
    if daemon:
        messages = daemon.messages()
        check_registration(messages[0])
        assert len(messages) == 1 + (len(files) if notified else 0)
        for message, f in zip(messages[1:], files if notified else [], strict=True):
            check_notification(message, os.path.basename(f))
