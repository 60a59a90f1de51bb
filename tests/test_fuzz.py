"""Arbitrary objects thrown at every entry of tessel.tessel: the outcome is a
result of the documented kind or one of the documented exceptions, never a
crash.

Strings that may become paths are confined to the working directory: they
start with "fz/" and hold no "..", and the words of command lines hold no
"/" at all (brace expansion can join one ".." at most, which stays inside the
temporary directory)."""

import argparse
import inspect
import io
import re
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

FUZZ = settings(
    max_examples=300,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("hostile")


class Hostile:
    def __repr__(self):
        return f"<{type(self).__name__}>"


class RaisingEq(Hostile):
    __eq__ = __ne__ = boom
    __hash__ = object.__hash__


class RaisingContains(Hostile):
    __contains__ = boom


class RaisingStr(Hostile):
    __str__ = __format__ = boom


class RaisingFspath(Hostile):
    __fspath__ = boom


class RaisingIter(Hostile):
    __iter__ = __len__ = __bool__ = __index__ = boom


class RaisingAll(RaisingEq, RaisingContains, RaisingStr, RaisingFspath, RaisingIter):
    __hash__ = boom


class AgreesWithAll(Hostile):
    """Holds everything and equals everything."""

    def __contains__(self, item):
        return True

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class HostileStr(str):
    __eq__ = __ne__ = __contains__ = __str__ = __format__ = __iter__ = boom
    __hash__ = str.__hash__


class HostileList(list):
    __eq__ = __contains__ = __iter__ = __len__ = boom


HOSTILE = [
    RaisingEq(),
    RaisingContains(),
    RaisingStr(),
    RaisingFspath(),
    RaisingIter(),
    RaisingAll(),
    AgreesWithAll(),
    object(),
]
# Drawn by index: hypothesis may hash what sampled_from holds, and the
# hostility is for tessel, not for hypothesis' bookkeeping.
HOSTILE_OBJECTS = st.integers(0, len(HOSTILE) - 1).map(HOSTILE.__getitem__)

# Characters that matter to tessel, some that matter to file systems and
# shells, and a few outside ASCII and outside UTF-8 (a lone surrogate).
ALPHABET = st.sampled_from(list("{},  ab.\\-\t\n\0~'\"*é😀") + ["\ud800", "--debug"])
WORD = st.lists(ALPHABET, max_size=12).map("".join).map(lambda s: s.replace("..", "_"))
PATH = WORD.map(lambda s: "fz/" + s)


def objects(strings):
    """Arbitrary objects whose strings all come from `strings`."""
    atoms = st.one_of(
        st.none(),
        st.booleans(),
        st.integers(),
        # huge, but short enough to have a repr (4300 digits at most)
        st.integers(min_value=2**64, max_value=10**4000).flatmap(
            lambda n: st.sampled_from([n, -n])
        ),
        st.floats(),
        st.complex_numbers(),
        st.binary(max_size=8),
        st.binary(max_size=8).map(bytearray),
        strings,
        st.builds(HostileStr, strings),
        strings.map(Path),
        HOSTILE_OBJECTS,
        st.builds(type("StrSub", (str,), {}), strings),
        st.just(...),
        st.just(NotImplemented),
        st.just(str),
        st.just(list),
    )
    return st.recursive(
        atoms,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.lists(inner, max_size=4).map(tuple),
            st.lists(inner, max_size=4).map(HostileList),
            st.dictionaries(strings, inner, max_size=3),
        ),
        max_leaves=6,
    )


# Never an exact str, so never taken for a path, whatever the strings in it.
NOT_STR = objects(WORD).filter(lambda o: type(o) is not str)


# Every type drawn here is built in or defined in Python, so its C name
# (what the message shows) is its __name__.
def type_error(param, expected, value):
    return (
        f"Argument '{param}' has incorrect type (expected {expected}, got {type(value).__name__})"
    )


def refuses(method, param, expected, value):
    """Whether method refuses value for not being exactly of the expected
    type; when it does, checks the TypeError that it raised."""
    wanted = str if expected == "str" else list
    if type(value) is wanted:
        return False
    with pytest.raises(TypeError) as info:
        method(value)
    assert str(info.value) == type_error(param, expected, value)
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == isinstance(value, wanted)
    return True


@pytest.fixture
def output(monkeypatch):
    """output() puts text buffers in place of sys.stdout and sys.stderr (they
    take any str, lone surrogates included), and returns what went to stdout
    since the last call.  Call it at the start of each example: pytest sets
    its own capture again when the test body starts."""
    out, err = io.StringIO(), io.StringIO()

    def take():
        if sys.stdout is not out:
            monkeypatch.setattr(sys, "stdout", out)
            monkeypatch.setattr(sys, "stderr", err)
        text = out.getvalue()
        for buffer in (out, err):
            buffer.seek(0)
            buffer.truncate()
        return text

    return take


@pytest.fixture
def sandbox(tmp_path, monkeypatch, calls):
    """A working directory two levels below the test's own temporary one."""
    cwd = tmp_path / "fuzz" / "cwd"
    cwd.mkdir(parents=True)
    monkeypatch.chdir(cwd)
    return cwd


@FUZZ
@given(value=st.one_of(PATH, NOT_STR))
def test_create_file(fc, sandbox, output, calls, value):
    calls.clear()
    output()
    if refuses(fc.create_file, "filepath", "str", value):
        assert output() == ""
        return
    result = fc.create_file(value)
    out = output()
    if result is True:
        assert out.startswith('✓ File created: "' + str(sandbox / value).rstrip("/"))
        assert (sandbox / value).exists()
    else:
        assert result is False
        assert out.startswith(f'✗ Error creating file "{value}": ')


@FUZZ
@given(files=st.one_of(NOT_STR, st.lists(st.one_of(PATH, PATH, NOT_STR), max_size=5)))
def test_create_files(fc, sandbox, output, calls, files):
    calls.clear()
    output()
    if refuses(fc.create_files, "files", "list", files):
        return
    try:
        count = fc.create_files(files)
    except (TypeError, Boom):
        # a membership test, or an element of the wrong type for the call it
        # is passed to
        assert any(type(f) is not str for f in files)
        return
    assert type(count) is int
    assert count == output().count('✓ File created: "')


@FUZZ
@given(text=st.one_of(st.text(), objects(st.text())))
def test_parse_brace_expansion(fc, text):
    if refuses(fc.parse_brace_expansion, "text", "str", text):
        return
    result = fc.parse_brace_expansion(text)
    assert type(result) is list and all(type(p) is str for p in result)


@FUZZ
@given(filepath=st.one_of(st.text(), objects(st.text())), debug=st.booleans())
def test_notify(fc, output, calls, monkeypatch, fail, filepath, debug):
    calls.clear()
    output()
    fail("notify", "OSError:gone" if debug else "")
    monkeypatch.setattr(sys, "argv", ["tessel", "--debug"] if debug else ["tessel"])
    if refuses(fc._notify, "filepath", "str", filepath):
        assert calls == []
        return
    assert fc._notify(filepath) is None
    assert [c["call"] for c in calls] == ["notify"]
    assert output() == ("Notification error: gone\n" if debug else "")


METHODS = {
    "__init__": ["self"],
    "_init_growl": ["self"],
    "parse_brace_expansion": ["self", "text"],
    "create_file": ["self", "filepath"],
    "_notify": ["self", "filepath"],
    "create_files": ["self", "files"],
}
BINDER = re.compile(
    r"\w+\(\) (takes exactly \d+ positional arguments? \(\d+ given\)"
    r"|got an unexpected keyword argument '\w+'"
    r"|got multiple values for keyword argument '\w+')"
)


@FUZZ
@given(
    method=st.sampled_from(sorted(METHODS)),
    args=st.lists(st.one_of(PATH, NOT_STR), max_size=3),
    kwargs=st.dictionaries(
        st.sampled_from(["self", "filepath", "files", "text", "x"]),
        st.one_of(PATH, NOT_STR),
        max_size=3,
    ),
)
def test_calling_unbound_methods(tt, sandbox, output, calls, method, args, kwargs):
    """Unbound, so self may be anything too: binding errors come first, then
    the type checks, then whatever the body meets on a self that is no
    FileCreator."""
    calls.clear()
    output()
    params = METHODS[method]
    signature = inspect.Signature(
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in params]
    )
    try:
        bound = signature.bind(*args, **kwargs).arguments
    except TypeError:
        bound = None
    function = getattr(tt.FileCreator, method)
    try:
        function(*args, **kwargs)
    except TypeError as e:
        if bound is None:
            assert BINDER.fullmatch(str(e))
            return
        checks = [(p, "str" if p != "files" else "list", bound[p]) for p in params[1:]]
        wrong = [(p, t, v) for p, t, v in checks if type(v) is not (str if t == "str" else list)]
        if wrong and str(e) == type_error(*wrong[0]):
            return
        # a self that is no FileCreator, or a bad element of files
        assert not wrong
    except (AttributeError, Boom):
        assert bound is not None
    else:
        assert bound is not None


@FUZZ
@given(
    args=st.lists(NOT_STR, max_size=2),
    kwargs=st.dictionaries(st.sampled_from(["x", "argv"]), NOT_STR, max_size=2),
)
def test_functions_without_parameters(tt, sandbox, output, args, kwargs):
    output()
    for function in (tt.main, tt.get_version):
        if not args and not kwargs:
            continue
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
        rule = "takes no keyword arguments" if kwargs else f"takes no arguments ({len(args)} given)"
        assert str(info.value) == f"{function.__name__}() {rule}"
    assert output() == ""


SUMMARY = re.compile(r"(\d+)/(\d+) file\(s\) created successfully")


@FUZZ
@given(
    words=st.lists(
        st.one_of(WORD, st.sampled_from(["--debug", "--version", "-h", "--", "-x"])), max_size=6
    )
)
def test_main_command_lines(tt, sandbox, output, calls, monkeypatch, words):
    calls.clear()
    output()
    monkeypatch.setattr(sys, "argv", ["tessel", *words])
    try:
        status = tt.main()
    except SystemExit as e:
        assert e.code in (0, 2)
        return
    out = output()
    last = out.rstrip("\n").rsplit("\n", 1)[-1]
    if out.startswith("usage:"):
        assert status == 0
        return
    created, expected = map(int, SUMMARY.fullmatch(last).groups())
    assert status == (0 if created == expected else 1)


def outcome(call):
    """("returned", value), ("exit", code) or ("raised", type, text) of call()."""
    try:
        return ("returned", call())
    except SystemExit as e:
        return ("exit", e.code)
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return ("raised", type(e), str(e))


def host_before_regrouping(tt):
    """What main() does with sys.argv before it regroups the file arguments,
    done by the host's own argparse: the parser, len(sys.argv), the parse,
    and the join.  The outcome, or ("returned", 0) for the help."""
    parser = argparse.ArgumentParser(
        description="", formatter_class=tt.CustomRichHelpFormatter, epilog=""
    )
    parser.add_argument("files", metavar="FILE", nargs="*", help="")
    parser.add_argument("--version", action="version", version="")
    parser.add_argument("--debug", action="store_true", help="")
    if len(sys.argv) == 1:
        return 0
    files = parser.parse_args().files
    return " ".join(files) if files else 0


@pytest.mark.filterwarnings("ignore:NotImplemented should not be used:DeprecationWarning")
@FUZZ
@given(
    argv=st.one_of(
        NOT_STR.filter(lambda o: type(o) is not list),
        st.lists(st.one_of(WORD, NOT_STR), min_size=1, max_size=4),
    )
)
def test_main_with_argv_of_the_wrong_kind(tt, sandbox, output, calls, monkeypatch, argv):
    """main() catches nothing: what len(), argparse or the join raise on such
    an argv comes out unchanged, as the host raises it for the same calls."""
    calls.clear()
    output()
    monkeypatch.setattr(sys, "argv", argv)
    host = outcome(lambda: host_before_regrouping(tt))
    got = outcome(tt.main)
    if host[0] == "returned" and host[1] != 0:
        # Files to make: a summary and its status, unless a file fails and
        # its handler's look for "--debug" in sys.argv raises (a str subclass
        # there may refuse to be compared).
        assert (
            got[0] == "returned"
            and got[1] in (0, 1)
            or got == outcome(lambda: "--debug" in sys.argv)
        ), (got, host)
    else:
        assert got == host
