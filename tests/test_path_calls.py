"""The path methods that create_file calls for every file (mkdir, touch,
absolute): a change made to a path class, or a different path class, between
two calls is honoured at the next call, exactly as Python code calling the
same methods would honour it."""
import pathlib

import pytest


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
        sub = type("OwnPath", (type(pathlib.Path()),), {"__slots__": (), name: recording(seen, name, real)})
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
    ("touch replaced on the concrete class", on_class(POSIX, "touch"),
     [("touch", "b.txt")], True),
    ("touch replaced on a base class", on_class(pathlib.Path, "touch"),
     [("touch", "b.txt")], True),
    ("mkdir replaced on a base class", on_class(pathlib.Path, "mkdir"),
     [("mkdir", ".")], True),
    ("absolute replaced on a base class", on_class(pathlib.Path, "absolute"),
     [("absolute", "b.txt"), ("absolute", "b.txt")], True),
    ("Path rebound to a subclass with its own touch", subclass_with_own("touch"),
     [("touch", "b.txt")], True),
    ("touch set on the path object itself", instance_attribute("touch"),
     [("touch", "b.txt")], True),
    ("touch served by __getattribute__", getattribute_hook("touch"),
     [("touch", "b.txt")], True),
    ("touch replaced by a callable that is not a function", not_a_function("touch"),
     [("touch", (), (("exist_ok", True),))], False),
]


@pytest.mark.parametrize("install, expected, made", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_changes_to_path_methods_take_effect_at_the_next_call(
        tt, fc, workdir, monkeypatch, capsys, install, expected, made):
    assert fc.create_file("a.txt") is True          # the methods found once already
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
