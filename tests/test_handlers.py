"""Where the module handles failures, and what it lets through.

Each handler catches what derives from Exception, as `except Exception:`
does: a failed clipboard copy becomes a warning and the file still counts; a
failed notification is silent; a failed registration turns notifications off
with a warning; any other failure of one file becomes its error line and
False; a version file that cannot be read becomes an "ERROR: " line.
KeyboardInterrupt, SystemExit and every other exception outside Exception
pass through every handler unchanged, the same object, with nothing printed
for the call in progress and every file made before it kept.

Each site is made to fail on the call of its second file (or at once, for
registration and the version file)."""

import itertools

import pytest
from support import copy_warning, err, files_in, growl_warning, ok, version_error

FILES = ["a.txt", "b.txt", "c.txt"]


class Refused(Exception):
    pass


class Gone(ConnectionError):
    pass


class Unprintable(Exception):
    def __str__(self):
        raise Refused("no text")


class Abort(BaseException):
    pass


class Interrupted(KeyboardInterrupt):
    pass


def on_call(n, exc, real=lambda *args, **kwargs: None):
    """A callable that raises exc at its n-th call and calls real otherwise.
    The table's exception objects are raised again by every run of a test:
    each raise starts from an empty traceback, not from the last run's."""
    calls = itertools.count(1)

    def call(*args, **kwargs):
        if next(calls) == n:
            raise exc.with_traceback(None)
        return real(*args, **kwargs)

    return call


# Each site: how to make it fail with exc (given tt, fc, monkeypatch), and the
# call that reaches it (given tt, fc).
def batch(tt, fc):
    return fc.create_files(FILES)


SITES = {
    "copy": (
        lambda exc: lambda tt, fc, mp: mp.setattr(tt.clipboard, "copy", on_call(2, exc)),
        batch,
    ),
    "notify": (
        lambda exc: lambda tt, fc, mp: mp.setattr(type(fc.growl), "notify", on_call(2, exc)),
        batch,
    ),
    # Path is called twice per file, by create_file and by _notify.
    "create_file": (
        lambda exc: lambda tt, fc, mp: mp.setattr(tt, "Path", on_call(3, exc, tt.Path)),
        batch,
    ),
    "GrowlNotifier": (
        lambda exc: (
            lambda tt, fc, mp: mp.setattr(
                tt.gntp.notifier.GrowlNotifier, "__init__", on_call(1, exc)
            )
        ),
        lambda tt, fc: tt.FileCreator().growl,
    ),
    "register": (
        lambda exc: (
            lambda tt, fc, mp: mp.setattr(
                tt.gntp.notifier.GrowlNotifier, "register", on_call(1, exc)
            )
        ),
        lambda tt, fc: tt.FileCreator().growl,
    ),
    "get_version": (
        lambda exc: lambda tt, fc, mp: mp.setattr(tt, "Path", on_call(1, exc)),
        lambda tt, fc: tt.get_version(),
    ),
}


@pytest.mark.parametrize(
    "site, exc, result, lines, made",
    [
        ("copy", Refused("refused"), 3, ["a", copy_warning("refused"), "b", "c"], FILES),
        ("copy", Gone(), 3, ["a", copy_warning(""), "b", "c"], FILES),
        # The warning itself fails: the outer handler reports that failure.
        ("copy", Unprintable(), 2, ["a", err("b.txt", "no text"), "c"], FILES),
        ("notify", Refused("refused"), 3, ["a", "b", "c"], FILES),
        ("notify", Unprintable(), 3, ["a", "b", "c"], FILES),
        (
            "create_file",
            Refused("refused"),
            2,
            ["a", err("b.txt", "refused"), "c"],
            ["a.txt", "c.txt"],
        ),
        ("create_file", Gone(), 2, ["a", err("b.txt", ""), "c"], ["a.txt", "c.txt"]),
        ("GrowlNotifier", Refused("refused"), None, [growl_warning("refused")], []),
        ("register", Refused("refused"), None, [growl_warning("refused")], []),
        ("register", Gone(), None, [growl_warning("")], []),
        ("get_version", Refused("refused"), "2.0", [version_error("refused")], []),
    ],
)
def test_failures_derived_from_exception_are_handled(
    tt, fc, workdir, monkeypatch, capsys, site, exc, result, lines, made
):
    install, call = SITES[site]
    install(exc)(tt, fc, monkeypatch)
    assert call(tt, fc) == result
    assert capsys.readouterr().out.splitlines() == [
        ok(workdir / f"{line}.txt") if len(line) == 1 else line for line in lines
    ]
    assert files_in(workdir) == made


@pytest.mark.parametrize(
    "exc", [KeyboardInterrupt(), SystemExit(3), Abort(), Interrupted()], ids=repr
)
@pytest.mark.parametrize(
    "site, made",
    [
        ("copy", ["a.txt", "b.txt"]),
        ("notify", ["a.txt", "b.txt"]),
        ("create_file", ["a.txt"]),
        ("GrowlNotifier", []),
        ("register", []),
        ("get_version", []),
    ],
)
def test_other_exceptions_pass_through_every_handler(
    tt, fc, workdir, monkeypatch, capsys, site, made, exc
):
    install, call = SITES[site]
    install(exc)(tt, fc, monkeypatch)
    with pytest.raises(BaseException) as info:
        call(tt, fc)
    assert info.value is exc
    # Only the file before the failing call was reported.
    printed = capsys.readouterr().out.splitlines()
    assert printed == ([ok(workdir / "a.txt")] if made else [])
    assert files_in(workdir) == made


def test_a_failing_warning_is_not_handled_again(tt, fc, monkeypatch, capsys):
    """Formatting the registration warning fails: that failure is not in
    the handler's try, and leaves the constructor."""
    install, call = SITES["register"]
    install(Unprintable())(tt, fc, monkeypatch)
    with pytest.raises(Refused, match="^no text$"):
        call(tt, fc)
    assert capsys.readouterr().out == ""
