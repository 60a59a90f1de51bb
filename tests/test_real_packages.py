"""The real optional packages, installed with the extras: the X clipboard
under Xvfb through clipboard (pyperclip and xclip), and the GNTP messages
that the real gntp client sends to a listener on 127.0.0.1 (gntp_listener.py),
parsed with the package's own parser."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import tessel.tessel
from support import (ABSENT, CLIPBOARD_MISSING, GNTP_MISSING, PYTHON, TESSEL, TESTS, child_env,
                      copy_warning, growl_warning, ok, run_tessel, summary)


def real_env(tmp_path, hide=(), extra=()):
    """A child environment that sees the real packages, less those in hide,
    with the directories in extra first on its path."""
    hidden = tmp_path / "hidden"
    hidden.mkdir(exist_ok=True)
    for name in hide:
        (hidden / name).symlink_to(ABSENT / name)
    path = os.pathsep.join(map(str, (*extra, hidden)))
    return child_env(False, PYTHONPATH=path, DISPLAY=None, WAYLAND_DISPLAY=None)


def made(work, rel):
    return os.path.join(os.path.realpath(work), rel)


# The X clipboard ---------------------------------------------------------

needs_x = pytest.mark.skipif(not (shutil.which("xvfb-run") and shutil.which("xclip")),
                             reason="needs xvfb-run and xclip (Debian: xvfb xclip)")

# After each run, another process (xclip -o) reads what the clipboard holds.
UNDER_X = '''PATH=$2 "$0" $1 > tessel.out; echo $? > status
xclip -o -selection clipboard > clip 2>/dev/null || :'''


@needs_x
@pytest.mark.parametrize("arg, files", [
    ("x/a.txt", ["x/a.txt"]),
    ("d/{p,q}.txt", ["d/p.txt", "d/q.txt"]),
    ("ü/é ✓.txt", ["ü/é", "✓.txt"]),
])
def test_each_path_lands_on_the_x_clipboard(tmp_path, arg, files):
    work = tmp_path / "work"
    work.mkdir()
    p = run_tessel(work, "-a", "sh", "-c", UNDER_X, TESSEL, arg, os.environ["PATH"],
                   command=("xvfb-run",), env=real_env(tmp_path, hide=["gntp"]))
    assert p.returncode == 0, p.stderr
    assert (work / "status").read_text() == "0\n"
    assert (work / "tessel.out").read_text().splitlines() == [
        GNTP_MISSING, *(ok(made(work, f)) for f in files), *summary(len(files), len(files))]
    assert (work / "clip").read_text() == made(work, files[-1])


@needs_x
def test_without_xclip_the_copy_warns_and_the_file_counts(tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    p = run_tessel(work, "-a", "sh", "-c", UNDER_X, TESSEL, "a.txt", "/nonexistent",
                   command=("xvfb-run",), env=real_env(tmp_path, hide=["gntp"]))
    assert p.returncode == 0, p.stderr
    first, warning, *rest = (work / "tessel.out").read_text().split("\n", 2)
    assert first == GNTP_MISSING and warning.startswith(copy_warning("Pyperclip could not"))
    assert rest[0].splitlines()[-3:] == [ok(made(work, "a.txt")), *summary(1, 1)]
    assert (work / "status").read_text() == "0\n" and (work / "clip").read_text() == ""


def test_a_clipboard_whose_dependency_fails_to_import_is_missing(tmp_path):
    broken = tmp_path / "broken"
    (broken / "pyperclip").mkdir(parents=True)
    (broken / "pyperclip" / "__init__.py").write_text("raise ImportError('broken')\n")
    p = run_tessel(tmp_path, "a.txt", env=real_env(tmp_path, hide=["gntp"], extra=[broken]))
    assert p.stdout.splitlines() == [CLIPBOARD_MISSING, GNTP_MISSING,
                                     ok(made(tmp_path, "a.txt")), *summary(1, 1)]
    assert p.returncode == 0 and p.stderr == ""


# GNTP --------------------------------------------------------------------

@pytest.fixture
def listener(tmp_path):
    """``listener(mode)`` starts tests/gntp_listener.py; ``.messages()`` ends
    it and gives what it received."""
    started = []

    def _start(mode):
        proc = subprocess.Popen([PYTHON, "-P", str(TESTS / "gntp_listener.py"), mode],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                env=real_env(tmp_path))
        started.append(proc)
        assert proc.stdout.readline() == "ready\n"
        proc.messages = lambda: json.loads(proc.communicate(timeout=30)[0])
        return proc
    yield _start
    for proc in started:
        proc.kill()
        proc.wait()


def icon_uri():
    icon = Path(tessel.tessel.__file__).parent / "tessel.jpg"
    return icon.as_uri() if icon.exists() else None


def check_registration(message):
    assert message["type"] == "REGISTER"
    assert message["headers"]["Application-Name"] == "tessel"
    assert message["headers"].get("Application-Icon") == icon_uri()
    assert message["notifications"] == [{"Notification-Name": "create",
                                         "Notification-Enabled": "True"}]


def check_notification(message, name):
    assert message["type"] == "NOTIFY"
    wanted = {"Application-Name": "tessel", "Notification-Name": "create",
              "Notification-Title": "tessel", "Notification-Text": f'File created: "{name}"',
              "Notification-Icon": icon_uri(), "Notification-Priority": "1"}
    assert {k: message["headers"].get(k) for k in wanted} == wanted
    assert "Notification-Sticky" not in message["headers"]  # sticky=False sends none


@pytest.mark.parametrize("mode, warning, notified, logged", [
    ("answer", None, True, ""),
    # A refusal comes back as register()'s result, not raised: notifications
    # are still sent.  The package logs it (Python's last-resort handler).
    ("refuse", None, True, "Invalid response: ('402', 'Not Authorized')\n"),
    ("reset", "[Errno 104] Connection reset by peer", False, ""),
    ("silent", "timed out", False, ""),
])
def test_what_the_gntp_client_sends(tmp_path, listener, mode, warning, notified, logged):
    daemon = listener(mode)
    work = tmp_path / "work"
    work.mkdir()
    p = run_tessel(work, "d/{a,b}.txt", env=real_env(tmp_path, hide=["clipboard"]), timeout=60)
    files = [ok(made(work, f)) for f in ("d/a.txt", "d/b.txt")]
    assert p.stdout.splitlines() == [
        CLIPBOARD_MISSING, *([growl_warning(warning)] if warning else []), *files, *summary(2, 2)]
    assert p.returncode == 0 and p.stderr == logged
    messages = daemon.messages()
    check_registration(messages[0])
    assert len(messages) == (3 if notified else 1)
    for message, name in zip(messages[1:], ("a.txt", "b.txt")):
        check_notification(message, name)


@pytest.mark.parametrize("debug", [False, True])
def test_a_notification_that_is_never_answered_fails_quietly(tmp_path, listener, debug):
    daemon = listener("silent-notify")
    args = ["a.txt", *(["--debug"] if debug else [])]
    p = run_tessel(tmp_path, *args, env=real_env(tmp_path, hide=["clipboard"]), timeout=60)
    assert p.stdout.splitlines() == [
        CLIPBOARD_MISSING, *(["Notification error: timed out"] if debug else []),
        ok(made(tmp_path, "a.txt")), *summary(1, 1)]
    assert p.returncode == 0
    check_notification(daemon.messages()[1], "a.txt")


def test_without_a_daemon_registration_warns_once(tmp_path):
    p = run_tessel(tmp_path, "a", "b", env=real_env(tmp_path, hide=["clipboard"]))
    assert p.stdout.splitlines() == [
        CLIPBOARD_MISSING, growl_warning("[Errno 111] Connection refused"),
        ok(made(tmp_path, "a")), ok(made(tmp_path, "b")), *summary(2, 2)]
