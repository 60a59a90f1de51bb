"""Growl notifications: registration at construction and one notification per
created file, as seen through the recording stand-in of gntp.notifier."""
import types
from pathlib import Path

import pytest


def registration(icon):
    return [{"call": "GrowlNotifier", "args": [],
             "kwargs": [["applicationName", "tessel"], ["notifications", ["create"]],
                        ["defaultNotifications", ["create"]], ["applicationIcon", icon]]},
            {"call": "register", "args": [], "kwargs": []}]


def notification(name, icon):
    return {"call": "notify", "args": [],
            "kwargs": [["noteType", "create"], ["title", "tessel"],
                       ["description", f'File created: "{name}"'], ["icon", icon],
                       ["sticky", False], ["priority", 1]]}


def as_json(calls):
    return [{"call": c["call"], "args": c["args"], "kwargs": [list(p) for p in c["kwargs"]]}
            for c in calls]


def test_registers_once_with_installed_icon(tt, calls, capsys):
    creator = tt.FileCreator()
    icon = Path(tt.__file__).parent / "tessel.jpg"
    assert icon.is_file()  # installed with the module
    assert as_json(calls) == registration(icon.as_uri())
    kwargs = dict(calls[0]["kwargs"])
    assert kwargs["notifications"] is not kwargs["defaultNotifications"]
    assert type(creator.growl).__name__ == "GrowlNotifier"
    assert capsys.readouterr().out == ""


def test_icon_is_looked_up_at_every_use(tt, moddir, calls, workdir):
    creator = tt.FileCreator()
    (moddir / "tessel.jpg").write_bytes(b"\xff\xd8\xff")
    creator.create_file("a.txt")
    (moddir / "tessel.jpg").unlink()
    creator._notify("b.txt")
    uri = (moddir / "tessel.jpg").as_uri()
    assert as_json([c for c in calls if c["call"] != "copy"]) == registration(None) + [
        notification("a.txt", uri), notification("b.txt", None)]


@pytest.mark.parametrize("path, name", [
    ("dir/sub/report.txt", "report.txt"),
    ("plain", "plain"),
    ("../up.txt", "up.txt"),
    ("dir/", "dir"),
    ("", ""),
    ('q"uote\n.txt', 'q"uote\n.txt'),
])
def test_notification_names_the_last_component(tt, moddir, fc, calls, monkeypatch, path, name):
    monkeypatch.setattr(tt, "NAME", "renamed")
    assert fc._notify(path) is None
    assert as_json(calls) == [notification(name, None)]
    sent = dict(calls[0]["kwargs"])
    assert sent["sticky"] is False and type(sent["priority"]) is int


@pytest.mark.parametrize("what, failure, text", [
    ("growlnotifier", "ConnectionRefusedError:refused", "refused"),
    ("register", "OSError:daemon said no", "daemon said no"),
    ("register", "RuntimeError", ""),
    (None, None, "name 'gntp' is not defined"),
])
@pytest.mark.parametrize("debug", [False, True])
def test_failed_registration_turns_notifications_off(tt, workdir, calls, fail, monkeypatch, argv,
                                                     capsys, what, failure, text, debug):
    if what is None:
        monkeypatch.delattr(tt, "gntp")
    else:
        fail(what, failure)
    if debug:
        argv("--debug")
    creator = tt.FileCreator()
    assert creator.growl is None
    assert creator.create_files(["a.txt", "b.txt"]) == 2
    assert capsys.readouterr().out.splitlines() == [
        "Warning: Could not initialize Growl: " + text,
        f'✓ File created: "{workdir}/a.txt"', f'✓ File created: "{workdir}/b.txt"']
    assert [c["call"] for c in calls if c["call"] not in ("copy", "GrowlNotifier", "register")] == []


def test_gntp_is_looked_up_at_construction(tt, monkeypatch, calls, workdir, capsys):
    sent = []

    class Notifier:
        def __init__(self, **kwargs):
            sent.append(("init", list(kwargs)))

        def register(self):
            sent.append(("register",))
            return False  # a refusal reported by value keeps the notifier

        def notify(self, **kwargs):
            sent.append(("notify", kwargs["description"]))

    monkeypatch.setattr(tt, "gntp", types.SimpleNamespace(notifier=types.SimpleNamespace(
        GrowlNotifier=Notifier)))
    creator = tt.FileCreator()
    assert isinstance(creator.growl, Notifier)
    assert creator.create_file("x/y.txt") is True
    assert sent == [("init", ["applicationName", "notifications", "defaultNotifications",
                              "applicationIcon"]), ("register",), ("notify", 'File created: "y.txt"')]
    assert [c["call"] for c in calls] == ["copy"]


@pytest.mark.parametrize("flag, constructed", [(0, False), ("", False), ("on", True)])
def test_growl_flag_decides_registration(tt, monkeypatch, calls, flag, constructed):
    monkeypatch.setattr(tt, "HAS_GROWL", flag)
    creator = tt.FileCreator()
    assert (creator.growl is not None) == constructed
    assert len(calls) == (2 if constructed else 0)


@pytest.mark.parametrize("argv_tail, shown", [([], False), (["--debug=1"], False),
                                              (["x", "--debug"], True)])
def test_failed_notification_is_silent_unless_debug(fc, workdir, fail, argv, calls, capsys,
                                                    argv_tail, shown):
    fail("notify", "OSError:daemon gone")
    argv(*argv_tail)
    assert fc.create_files(["a.txt", "b.txt"]) == 2
    line = ["Notification error: daemon gone"] if shown else []
    assert capsys.readouterr().out.splitlines() == (
        line + [f'✓ File created: "{workdir}/a.txt"'] + line + [f'✓ File created: "{workdir}/b.txt"'])
    assert [c["call"] for c in calls if c["call"] == "notify"] == ["notify", "notify"]
    assert fc.growl is not None


def test_notify_reads_globals_at_call_time(tt, fc, monkeypatch, calls, capsys):
    monkeypatch.setattr(tt, "sys", types.SimpleNamespace(argv=["--debug"]))
    monkeypatch.setattr(tt, "Path", lambda p: 1 / 0)
    fc._notify("a.txt")
    assert capsys.readouterr().out == "Notification error: division by zero\n"
    monkeypatch.setattr(tt, "HAS_GROWL", False)
    fc._notify("a.txt")
    assert calls == [] and capsys.readouterr().out == ""


def test_guard_order(tt, fc, monkeypatch, calls):
    monkeypatch.delattr(tt, "HAS_GROWL")
    fc.growl = None
    assert fc._notify("a.txt") is None          # HAS_GROWL is not read for a false growl
    fc.growl = types.SimpleNamespace(notify=lambda **k: calls.append("sent"))
    with pytest.raises(NameError, match="^name 'HAS_GROWL' is not defined$"):
        fc._notify("a.txt")
    del fc.growl
    monkeypatch.setattr(tt, "HAS_GROWL", True, raising=False)
    with pytest.raises(AttributeError):
        fc._notify("a.txt")
    assert calls == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("what", ["growlnotifier", "register", "notify"])
def test_non_exception_failures_pass_through(tt, fail, capsys, exc, what):
    fail(what, exc.__name__ + ":stop")
    with pytest.raises(exc):
        tt.FileCreator()._notify("a.txt")
    assert capsys.readouterr().out == ""
