"""Brace expansion and the regrouping of shell-split arguments, in process."""

import contextlib
import io
import sys

import pytest
import reference
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tessel.tessel as tt


@pytest.fixture(scope="module")
def expand():
    # With HAS_GROWL false the constructor registers nothing.
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(tt, "HAS_GROWL", False)
        return tt.FileCreator().parse_brace_expansion


BS = "\\"

EXPANSIONS = [
    ("dir/{a,b,c}.txt", ["dir/a.txt", "dir/b.txt", "dir/c.txt"]),
    ("dir{file1,file2,file3}", ["dir/file1", "dir/file2", "dir/file3"]),
    ("dir/{a, b, c}.txt", ["dir/a.txt", "dir/b.txt", "dir/c.txt"]),
    ("dir{a, b}", ["dir/a", "dir/b"]),
    ("x{a}", ["x/a"]),
    ("{a,b}", ["a", "b"]),
    ("{a,b}.txt", ["a.txt", "b.txt"]),
    ("/{a}", ["/a"]),
    ("dir" + BS + "{a,b}", ["dir" + BS + "a", "dir" + BS + "b"]),
    ("a{,b}", ["a/b"]),
    ("a{ , }", []),
    ("x{,}", []),
    ("{ }", []),
    ("pkg/{a b,c}.py", ["pkg/a.py", "pkg/b.py", "pkg/c.py"]),
    ("pkg/{a\tb,c}.py", ["pkg/a.py", "pkg/b.py", "pkg/c.py"]),
    ("a{b,a,b}", ["a/b", "a/a", "a/b"]),
    ("{1..3}", ["1..3"]),
    ("a/{b,c}.x{y}", ["a/b.x", "a/c.x"]),
    ("a{b}c{d}e", ["a/bc"]),
    ("a{{b,c}", ["a/{b", "a/c"]),
    ("x}{a}", ["x}/a"]),
    ("a{}b", ["a{}b"]),
    ("a}b{c", ["a}b{c"]),
    ("a{b", ["a{b"]),
    ("abc", ["abc"]),
    ("", [""]),
    ("a{}b{c}d", ["}b/cd"]),
    (" dir{a}", [" dir/a"]),
    ("dir/{a,b} .txt", ["dir/a .txt", "dir/b .txt"]),
    # Items split at whatever str.split() counts as white space.
    ("d{a\u3000b,\x85c\x1f,e\xa0f}", ["d/a", "d/b", "d/c", "d/e", "d/f"]),
    ("d\n{x,\ny}\n", ["d\n/x\n", "d\n/y\n"]),
    # Non-ASCII, astral, NUL and lone surrogates are ordinary characters.
    ("é/{ü,😀}.txt", ["é/ü.txt", "é/😀.txt"]),
    ("a{\x00,b}", ["a/\x00", "a/b"]),
    ("\udcff{\ud800,b}", ["\udcff/\ud800", "\udcff/b"]),
]


@pytest.mark.parametrize("text, result", EXPANSIONS, ids=repr)
def test_expansion_table(expand, text, result):
    got = expand(text)
    assert type(got) is list and all(type(item) is str for item in got)
    assert got == result


@pytest.mark.parametrize("text", ["dir/{a,b}.txt", "plain", "x{,}"])
def test_each_call_returns_a_new_list(expand, text):
    first, second = expand(text), expand(text=text)
    assert first == second and first is not second
    first.append("mutated")
    assert expand(text) == second


def test_large_group(expand):
    names = [f"f{i}" for i in range(100_000)]
    assert expand("big/{" + ", ".join(names) + "}.txt") == [f"big/{n}.txt" for n in names]


# Regrouping is reached through main() only: the module's FileCreator is
# replaced by a fake that records what main hands it.
class RecordingCreator:
    log = []

    def __init__(self):
        self.log.append(("init",))

    def create_files(self, files):
        assert type(files) is list
        self.log.append(("create_files", list(files)))
        return len(files)

    def parse_brace_expansion(self, text):
        self.log.append(("parse", text))
        return reference.expand(text)


def run_main(words):
    """main() on already split words: (status, stdout lines, creator log)."""
    RecordingCreator.log = []
    saved = sys.argv, tt.FileCreator
    sys.argv, tt.FileCreator = ["tessel", *words], RecordingCreator
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            status = tt.main()
    finally:
        sys.argv, tt.FileCreator = saved
    return status, out.getvalue().split("\n"), RecordingCreator.log


def check_regrouping(words):
    status, lines, log = run_main(words)
    entries = reference.regroup(words)
    assert log[:2] == [("init",), ("create_files", entries)]
    # The expected count expands the brace entries once more, in order,
    # after create_files has returned.
    assert log[2:] == [("parse", f) for f in entries if reference.is_brace_arg(f)]
    total = reference.expected_count(entries)
    assert lines == ["", f"{len(entries)}/{total} file(s) created successfully", ""]
    assert type(status) is int and status == (0 if len(entries) == total else 1)


# Lists that come back as they are, and the nearest that do not: an empty
# word, a blank or a brace in any word, in every width of str.
@pytest.mark.parametrize(
    "words",
    [
        ["a.txt", "d/b", "c"],
        ["a.txt", "", "c"],
        ["a.txt", "my file", "c"],
        ["a.txt", "c", "d/{x,"],
        ["a.txt", "}"],
        ["é", "d/\u3000", "😀/x"],
        ["é", "d/\u3000 x", "😀/{a,b}"],
        ["😀 x", "\u3000{a,", "b}"],
    ],
)
def test_regrouping_of_lists_with_nothing_to_regroup_and_nearly(words):
    check_regrouping(words)


def test_regrouping_of_one_huge_shell_split_group():
    words = ["big/{f0,"] + [f"f{i}," for i in range(1, 20_000)] + ["last}.txt"]
    status, lines, log = run_main(words)
    assert log[1] == ("create_files", [" ".join(words)])
    assert lines[1] == "1/20001 file(s) created successfully" and status == 1


# conftest's autouse fixture resets argv and the environment per test, which
# is all these examples need.
HYPOTHESIS = settings(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

# Mostly the characters that the two algorithms look at, some letters, and a
# few that only a careless text conversion would get wrong.
CHARS = st.sampled_from(
    list("{{{}}},,,///\\   \t")
    + list("abc")
    + ["\n", "\u3000", "\x85", "\x1f", "\xa0", "é", "😀", "\x00"]
)


@settings(HYPOTHESIS, max_examples=3000)
@given(text=st.text(CHARS, max_size=24))
def test_expansion_matches_reference(expand, text):
    assert expand(text) == reference.expand(text)


# argv holds no NUL, but may hold surrogate escapes; with no "-" in the
# alphabet no word is taken for an option.
WORD = st.text(CHARS.filter(lambda c: c != "\x00") | st.just("\udcff"), max_size=12)


@settings(HYPOTHESIS, max_examples=2000)
@given(words=st.lists(WORD, min_size=1, max_size=6))
def test_regrouping_matches_reference(words):
    check_regrouping(words)
