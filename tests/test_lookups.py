"""Globals, attributes and methods are looked up at each use, as Python code
reads them: rebinding one between two calls takes effect at the next call;
the built-ins print, open and sum alone are bound once, at import."""

import builtins
import os
import pathlib
import types

import pytest
from support import as_json, err, notification, ok, registration

# --- Module globals -------------------------------------------------------------------


def debug_argv(tt, mp):
    mp.setattr(tt, "sys", types.SimpleNamespace(argv=["--debug"]))


# (what is rebound after a first call, the call, what the second call gives
# and prints): the first call always runs with the globals as imported.
@pytest.mark.parametrize(
    "rebind, call, result, printed",
    [
        (
            lambda tt, mp: mp.setattr(tt, "Path", lambda p: 1 / 0),
            lambda tt, fc: fc.create_file("b.txt"),
            False,
            [err("b.txt", "division by zero")],
        ),
        (
            lambda tt, mp: (
                debug_argv(tt, mp),
                mp.setattr(tt, "Path", lambda p: 1 / 0),
                mp.setattr(tt, "traceback", types.SimpleNamespace(format_exc=lambda: "TB")),
            ),
            lambda tt, fc: fc.create_file("b.txt"),
            False,
            [err("b.txt", "division by zero"), "TB"],
        ),
        (
            lambda tt, mp: mp.setattr(tt, "clipboard", types.SimpleNamespace(copy=print)),
            lambda tt, fc: fc.create_file("b.txt"),
            True,
            ["{w}/b.txt", "ok b.txt"],
        ),
        (
            lambda tt, mp: mp.setattr(tt, "HAS_CLIPBOARD", ""),
            lambda tt, fc: fc.create_file("b.txt"),
            True,
            ["ok b.txt"],
        ),
        (
            lambda tt, mp: (debug_argv(tt, mp), mp.setattr(tt, "Path", lambda p: 1 / 0)),
            lambda tt, fc: fc._notify("b.txt"),
            None,
            ["Notification error: division by zero"],
        ),
        (
            lambda tt, mp: mp.setattr(tt, "HAS_GROWL", False),
            lambda tt, fc: fc._notify("b.txt"),
            None,
            [],
        ),
        (
            lambda tt, mp: mp.setattr(tt, "re", types.SimpleNamespace(search=lambda p, t: None)),
            lambda tt, fc: fc.parse_brace_expansion("d/{a,b}"),
            ["d/{a,b}"],
            [],
        ),
    ],
)
def test_globals_are_looked_up_at_each_call(
    tt, fc, workdir, monkeypatch, capsys, calls, rebind, call, result, printed
):
    call(tt, fc)
    capsys.readouterr()
    rebind(tt, monkeypatch)
    assert call(tt, fc) == result
    assert capsys.readouterr().out.splitlines() == [
        ok(workdir / line[3:])
        if line.startswith("ok ")
        else line.replace("{w}/", f"{workdir}{os.sep}")
        for line in printed
    ]


def test_version_global_is_read_at_each_main(tt, argv, monkeypatch, capsys):
    monkeypatch.setattr(tt, "__version__", "9.9b")
    argv("--version")
    capsys.readouterr()
    with pytest.raises(SystemExit) as info:
        tt.main()
    assert info.value.code == 0
    assert capsys.readouterr().out.startswith("tessel v9.9b by ")


def test_builtin_print_is_bound_at_import(fc, workdir, monkeypatch, capsys):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
    assert fc.create_file("a.txt") is True
    assert capsys.readouterr().out == ok(workdir / "a.txt") + "\n"


def test_subdirectory_follows_NAME_and_file_is_read_on_every_call(tt, moddir, monkeypatch):
    (moddir / "tessel").mkdir()
    (moddir / "tessel" / "__version__.py").write_text('version = "t"')
    (moddir / "other").mkdir()
    (moddir / "other" / "__version__.py").write_text('version = "o"')
    assert tt.get_version() == "t"
    monkeypatch.setattr(tt, "NAME", "other")
    assert tt.get_version() == "o"
    (moddir / "__version__.py").write_text('version = "new"')
    assert tt.get_version() == "new"


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

    monkeypatch.setattr(
        tt, "gntp", types.SimpleNamespace(notifier=types.SimpleNamespace(GrowlNotifier=Notifier))
    )
    creator = tt.FileCreator()
    assert isinstance(creator.growl, Notifier)
    assert creator.create_file("x/y.txt") is True
    assert sent == [
        ("init", ["applicationName", "notifications", "defaultNotifications", "applicationIcon"]),
        ("register",),
        ("notify", 'File created: "y.txt"'),
    ]
    assert [c["call"] for c in calls] == ["copy"]


def test_icon_is_looked_up_at_every_use(tt, moddir, calls, workdir):
    creator = tt.FileCreator()
    (moddir / "tessel.jpg").write_bytes(b"\xff\xd8\xff")
    creator.create_file("a.txt")
    (moddir / "tessel.jpg").unlink()
    creator._notify("b.txt")
    uri = (moddir / "tessel.jpg").as_uri()
    assert as_json([c for c in calls if c["call"] != "copy"]) == registration(None) + [
        notification("a.txt", uri),
        notification("b.txt", None),
    ]


def test_icon_path_is_read_again_for_its_uri(tt, moddir, calls):
    """`self.icon_path.as_uri() if self.icon_path.exists() else None` reads
    the attribute twice: the URI is that of the second read."""
    (moddir / "tessel.jpg").write_bytes(b"\xff\xd8\xff")
    reads = []

    class Creator(tt.FileCreator):
        @property
        def icon_path(self):
            reads.append(len(reads))
            return moddir / ("tessel.jpg" if len(reads) % 2 else "second.jpg")

        @icon_path.setter
        def icon_path(self, value):
            pass

    creator = Creator()
    creator._notify("a.txt")
    second = (moddir / "second.jpg").as_uri()
    assert as_json(calls) == registration(second) + [notification("a.txt", second)]
    assert len(reads) == 4


# --- Methods of the path objects ------------------------------------------------------


def recording(seen, name, real):
    """A replacement for a path method: notes the call, then does the real work."""

    def method(self, *args, **kwargs):
        seen.append((name, str(self)))
        return real(self, *args, **kwargs)

    return method


class RecordingCallable:
    """Not a function: set on a class it does not bind, so it gets no self."""

    def __init__(self, seen, name):
        self.seen, self.name = seen, name

    def __call__(self, *args, **kwargs):
        self.seen.append((self.name, args, tuple(kwargs.items())))


def on_class(cls, name):
    def install(monkeypatch, tt, seen):
        monkeypatch.setattr(cls, name, recording(seen, name, getattr(cls, name)))

    return install


def subclass_with_own(name):
    def install(monkeypatch, tt, seen):
        real = getattr(pathlib.Path, name)
        sub = type(
            "OwnPath", (type(pathlib.Path()),), {"__slots__": (), name: recording(seen, name, real)}
        )
        monkeypatch.setattr(tt, "Path", sub)

    return install


def instance_attribute(name):
    def install(monkeypatch, tt, seen):
        real = getattr(pathlib.Path, name)

        class WithDict(type(pathlib.Path())):  # no __slots__: instances get a __dict__
            def __init__(self, *args):
                super().__init__(*args)
                setattr(self, name, lambda *a, **k: recording(seen, name, real)(self, *a, **k))

        monkeypatch.setattr(tt, "Path", WithDict)

    return install


def getattribute_hook(name):
    def install(monkeypatch, tt, seen):
        real = getattr(pathlib.Path, name)

        class Hooked(type(pathlib.Path())):
            __slots__ = ()

            def __getattribute__(self, attr):
                if attr == name:
                    return lambda *a, **k: recording(seen, name, real)(self, *a, **k)
                return super().__getattribute__(attr)

        monkeypatch.setattr(tt, "Path", Hooked)

    return install


def not_a_function(name):
    def install(monkeypatch, tt, seen):
        monkeypatch.setattr(pathlib.Path, name, RecordingCallable(seen, name))

    return install


POSIX = type(pathlib.Path())

# (case, installer, the calls recorded by the second create_file("b.txt"),
# whether b.txt then exists).  absolute is called twice per file: for the
# clipboard (the stand-in is present in this process) and for the line.
CASES = [
    ("touch replaced on the concrete class", on_class(POSIX, "touch"), [("touch", "b.txt")], True),
    ("touch replaced on a base class", on_class(pathlib.Path, "touch"), [("touch", "b.txt")], True),
    ("mkdir replaced on a base class", on_class(pathlib.Path, "mkdir"), [("mkdir", ".")], True),
    (
        "absolute replaced on a base class",
        on_class(pathlib.Path, "absolute"),
        [("absolute", "b.txt"), ("absolute", "b.txt")],
        True,
    ),
    (
        "Path rebound to a subclass with its own touch",
        subclass_with_own("touch"),
        [("touch", "b.txt")],
        True,
    ),
    (
        "touch set on the path object itself",
        instance_attribute("touch"),
        [("touch", "b.txt")],
        True,
    ),
    ("touch served by __getattribute__", getattribute_hook("touch"), [("touch", "b.txt")], True),
    (
        "touch replaced by a callable that is not a function",
        not_a_function("touch"),
        [("touch", (), (("exist_ok", True),))],
        False,
    ),
]


@pytest.mark.parametrize(
    "install, expected, made", [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_changes_to_path_methods_take_effect_at_the_next_call(
    tt, fc, workdir, monkeypatch, capsys, install, expected, made
):
    assert fc.create_file("a.txt") is True  # the methods found once already
    seen = []
    with monkeypatch.context() as patch:
        install(patch, tt, seen)
        assert fc.create_file("b.txt") is True
        assert seen == expected
        assert (workdir / "b.txt").exists() is made
    # Undone: the original methods again, and nothing more recorded.
    assert fc.create_file("c.txt") is True
    assert (workdir / "c.txt").exists()
    assert seen == expected
    capsys.readouterr()
