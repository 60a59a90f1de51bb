"""Growl notifications: registration at construction and one notification per
created file, as seen through the recording stand-in of gntp.notifier."""

import types
from pathlib import Path

import pytest
from support import as_json, growl_warning, notification, ok, registration


def test_registers_once_with_installed_icon(tt, calls, capsys):
    creator = tt.FileCreator()
    icon = Path(tt.__file__).parent / "tessel.jpg"
    assert icon.is_file()  # installed with the module
    assert as_json(calls) == registration(icon.as_uri())
    kwargs = dict(calls[0]["kwargs"])
    assert kwargs["notifications"] is not kwargs["defaultNotifications"]
    assert type(creator.growl).__name__ == "GrowlNotifier"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "path, name",
    [
        ("dir/sub/report.txt", "report.txt"),
        ("plain", "plain"),
        ("../up.txt", "up.txt"),
        ("dir/", "dir"),
        ("", ""),
        ('q"uote\n.txt', 'q"uote\n.txt'),
    ],
)
def test_notification_names_the_last_component(tt, moddir, fc, calls, monkeypatch, path, name):
    monkeypatch.setattr(tt, "NAME", "renamed")
    assert fc._notify(path) is None
    assert as_json(calls) == [notification(name, None)]
    sent = dict(calls[0]["kwargs"])
    assert sent["sticky"] is False and type(sent["priority"]) is int


@pytest.mark.parametrize(
    "what, failure, text",
    [
        ("growlnotifier", "ConnectionRefusedError:refused", "refused"),
        ("register", "OSError:daemon said no", "daemon said no"),
        ("register", "RuntimeError", ""),
        (None, None, "name 'gntp' is not defined"),
    ],
)
@pytest.mark.parametrize("debug", [False, True])
def test_failed_registration_turns_notifications_off(
    tt, workdir, calls, fail, monkeypatch, argv, capsys, what, failure, text, debug
):
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
        growl_warning(text),
        ok(workdir / "a.txt"),
        ok(workdir / "b.txt"),
    ]
    assert [
        c["call"] for c in calls if c["call"] not in ("copy", "GrowlNotifier", "register")
    ] == []


@pytest.mark.parametrize("flag, constructed", [(0, False), ("", False), ("on", True)])
def test_growl_flag_decides_registration(tt, monkeypatch, calls, flag, constructed):
    monkeypatch.setattr(tt, "HAS_GROWL", flag)
    creator = tt.FileCreator()
    assert (creator.growl is not None) == constructed
    assert len(calls) == (2 if constructed else 0)


@pytest.mark.parametrize(
    "argv_tail, shown", [([], False), (["--debug=1"], False), (["x", "--debug"], True)]
)
def test_failed_notification_is_silent_unless_debug(
    fc, workdir, fail, argv, calls, capsys, argv_tail, shown
):
    fail("notify", "OSError:daemon gone")
    argv(*argv_tail)
    assert fc.create_files(["a.txt", "b.txt"]) == 2
    line = ["Notification error: daemon gone"] if shown else []
    assert capsys.readouterr().out.splitlines() == (
        line + [ok(workdir / "a.txt")] + line + [ok(workdir / "b.txt")]
    )
    assert [c["call"] for c in calls if c["call"] == "notify"] == ["notify", "notify"]
    assert fc.growl is not None


def test_guard_order(tt, fc, monkeypatch, calls):
    monkeypatch.delattr(tt, "HAS_GROWL")
    fc.growl = None
    assert fc._notify("a.txt") is None  # HAS_GROWL is not read for a false growl
    fc.growl = types.SimpleNamespace(notify=lambda **k: calls.append("sent"))
    with pytest.raises(NameError, match="^name 'HAS_GROWL' is not defined$"):
        fc._notify("a.txt")
    del fc.growl
    monkeypatch.setattr(tt, "HAS_GROWL", True, raising=False)
    with pytest.raises(AttributeError):
        fc._notify("a.txt")
    assert calls == []
