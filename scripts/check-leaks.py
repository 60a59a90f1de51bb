"""Leak check: every entry of tessel.tessel and every error path, in loops.

Run with the project's interpreter:  .venv/bin/python -P scripts/check-leaks.py

Each case calls one entry the same way, again and again (200,000 times by
default), after a warm-up.  It fails when the resident set grows by 1 MiB or
more over the loop, or when the reference count of any object passed in
differs afterwards from what it was before the first call.  Every case also
checks on each call that it took the path it is named after (the result or
the exception class), so a leak test of an error path cannot silently turn
into one of the ordinary path.

Each case runs in a fresh interpreter, as many at a time as there are CPUs;
a case whose interpreter crashes fails.  Options:
  --iterations N   calls per case (default 200000)
  --jobs N         cases at a time (default: the number of CPUs); 1 runs them
                   all in this process, one after the other
  -k TEXT          only the cases whose name contains TEXT
  --no-rss         no RSS bar (for runs under valgrind)
  --list           print the case names and exit
scripts/check-valgrind runs this script with a handful of iterations as its
workload.
"""
import argparse
import concurrent.futures
import contextlib
import gc
import json
import os
import subprocess
import sys
import tempfile
import types
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# The stand-ins make the import take the clipboard and notification branches;
# the loops then use the lighter fakes below, which record nothing.
sys.path.insert(0, str(REPO / "tests" / "standins"))

import tessel.tessel as tt  # noqa: E402

if Path(tt.__file__).resolve().is_relative_to(REPO / "tessel"):
    sys.exit(f"check-leaks: {tt.__file__} is the source tree, not an installed build")

MiB = 1 << 20
DELETE = object()

# Fakes for the optional packages.  FAULTS maps a call name to the exception
# class that the call raises.
FAULTS = {}


def fault(where):
    exc = FAULTS.get(where)
    if exc is not None:
        raise exc("injected")


def fake_copy(text):
    fault("copy")


class FakeNotifier:
    def __init__(self, **kwargs):
        fault("GrowlNotifier")

    def register(self):
        fault("register")

    def notify(self, **kwargs):
        fault("notify")


fake_gntp = types.ModuleType("gntp")
fake_gntp.notifier = types.SimpleNamespace(GrowlNotifier=FakeNotifier)
fake_clipboard = types.SimpleNamespace(copy=fake_copy)
# The stand-ins that the import found, replaced by the fakes for the loops.
FAKES = {"clipboard": fake_clipboard, "HAS_CLIPBOARD": True, "gntp": fake_gntp,
         "HAS_GROWL": True}


class Failure(Exception):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class RaisingContains:
    def __contains__(self, item):
        raise Failure("no membership")


class Unprintable(Exception):
    def __str__(self):
        raise Failure("no text")


def text(s):
    """A new str object equal to s, not shared with any literal."""
    return "".join(list(s))


@contextlib.contextmanager
def patched(globals_=None, argv=None, env=None, faults=None):
    """Module globals rebound (or DELETEd), sys.argv, environment variables
    and faults, all put back on exit."""
    saved = {}
    for name, value in (globals_ or {}).items():
        saved[name] = getattr(tt, name, DELETE)
        if value is DELETE:
            if hasattr(tt, name):
                delattr(tt, name)
        else:
            setattr(tt, name, value)
    saved_argv = sys.argv
    saved_env = {k: os.environ.get(k) for k in (env or {})}
    if argv is not None:
        sys.argv = argv
    os.environ.update(env or {})
    FAULTS.update(faults or {})
    try:
        yield
    finally:
        FAULTS.clear()
        for k, v in saved_env.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        sys.argv = saved_argv
        for name, value in saved.items():
            if value is DELETE:
                if hasattr(tt, name):
                    delattr(tt, name)
            else:
                setattr(tt, name, value)


class Case:
    def __init__(self, name, call, expect, watch=(), **patches):
        self.name = name
        self.call = call          # no arguments
        self.expect = expect      # a result to compare with ==, or an exception class
        self.watch = watch        # objects passed in whose refcounts must not change
        self.patches = patches


def cases(work):
    """The cases, for a fresh working directory `work` (the current one)."""
    fc = tt.FileCreator()
    quiet = tt.FileCreator()
    quiet.growl = None
    (work / "lk").mkdir()
    (work / "lk" / "old.txt").write_text("kept")
    (work / "lk" / "plain.txt").write_text("")
    (work / "file.txt").write_text("")
    (work / "lk" / "dangling").symlink_to(work / "missing" / "x")
    (work / "vbad").mkdir()
    (work / "vbad" / "__version__.py").write_bytes(b"version = '\xff\xfe'\n")
    (work / "vnone").mkdir()
    bad_version_file = str(work / "vbad" / "tessel.so")
    no_version_file = str(work / "vnone" / "tessel.so")

    new = text("lk/new/n.txt")

    def create_new():
        ok = fc.create_file(new)
        os.remove(new)
        os.rmdir("lk/new")
        return ok

    old = text("lk/old.txt")
    slash = text("lk/")
    brace_list = [text("lk/{a, b}.txt"), text("lk/plain.txt"), text("lk/{,}")]
    braced = text("dir/{a, b,c}.txt")
    no_group = text("a{}b")
    empty_group = text("x{ , }")
    notify_arg = text("lk/old.txt")
    strsub = StrSub("lk/old.txt")
    listsub = ListSub(["lk/old.txt"])
    a_tuple = (text("lk/old.txt"),)
    raw_bytes = b"lk/old.txt"
    in_file = text("file.txt/x")
    nul = text("lk/a\0b")
    missing_dir = text("lkmissing/")
    empty = text("")
    dangling = text("lk/dangling")
    int_list = [text("lk/old.txt"), 7]
    raising_list = [RaisingContains()]
    list_element = [["lk/old.txt"]]
    kw_value = text("lk/old.txt")

    return [
        # Public entries
        Case("create_file new path", create_new, True, (fc, new)),
        Case("create_file existing file", lambda: fc.create_file(old), True, (fc, old)),
        Case("create_file existing dir/", lambda: fc.create_file(slash), True, (fc, slash)),
        Case("create_file by keyword", lambda: fc.create_file(filepath=kw_value), True,
             (fc, kw_value)),
        Case("create_files", lambda: fc.create_files(brace_list), 3, (fc, brace_list, *brace_list)),
        Case("parse_brace_expansion group", lambda: fc.parse_brace_expansion(braced),
             ["dir/a.txt", "dir/b.txt", "dir/c.txt"], (fc, braced)),
        Case("parse_brace_expansion no group", lambda: fc.parse_brace_expansion(no_group),
             ["a{}b"], (fc, no_group)),
        Case("parse_brace_expansion empty group", lambda: fc.parse_brace_expansion(empty_group),
             [], (fc, empty_group)),
        Case("get_version", tt.get_version, "2.0"),
        Case("get_version without a version file", tt.get_version, "2.0",
             globals_={"__file__": no_version_file}),
        Case("main with help", tt.main, 0, argv=["tessel"]),
        Case("main with files", tt.main, 0, argv=["tessel", "lk/m{a,", "b}.txt", "lk/old.txt"]),
        Case("main --version", tt.main, SystemExit, argv=["tessel", "--version"]),
        Case("FileCreator() registering", tt.FileCreator, tt.FileCreator),
        Case("FileCreator() without growl", tt.FileCreator, tt.FileCreator,
             globals_={"HAS_GROWL": False}),
        Case("_init_growl", lambda: fc._init_growl(), None, (fc,)),
        Case("_notify", lambda: fc._notify(notify_arg), None, (fc, notify_arg)),
        Case("_notify, notifications off", lambda: quiet._notify(notify_arg), None,
             (quiet, notify_arg)),

        # Argument rules
        Case("create_file() too few", lambda: fc.create_file(), TypeError, (fc,)),
        Case("create_file() too many", lambda: fc.create_file(old, old), TypeError, (fc, old)),
        Case("create_file() unexpected keyword", lambda: fc.create_file(x=old), TypeError,
             (fc, old)),
        Case("create_file() keyword given twice", lambda: fc.create_file(old, filepath=old),
             TypeError, (fc, old)),
        Case("create_file(None)", lambda: fc.create_file(None), TypeError, (fc,)),
        Case("create_file(bytes)", lambda: fc.create_file(raw_bytes), TypeError, (fc, raw_bytes)),
        Case("create_file(str subclass) with note", lambda: fc.create_file(strsub), TypeError,
             (fc, strsub)),
        Case("create_files(tuple)", lambda: fc.create_files(a_tuple), TypeError, (fc, a_tuple)),
        Case("create_files(list subclass) with note", lambda: fc.create_files(listsub),
             TypeError, (fc, listsub)),
        Case("parse_brace_expansion(bytes)", lambda: fc.parse_brace_expansion(raw_bytes),
             TypeError, (fc, raw_bytes)),
        Case("_notify(None)", lambda: fc._notify(None), TypeError, (fc,)),
        Case("FileCreator(1)", lambda: tt.FileCreator(old), TypeError, (old,)),
        Case("unbound create_file()", lambda: tt.FileCreator.create_file(), TypeError),
        Case("main(1)", lambda: tt.main(old), TypeError, (old,)),
        Case("main(x=1)", lambda: tt.main(x=old), TypeError, (old,)),
        Case("get_version(1)", lambda: tt.get_version(old), TypeError, (old,)),
        Case("get_version(x=1)", lambda: tt.get_version(x=old), TypeError, (old,)),

        # Deleted globals
        Case("no re: parse_brace_expansion", lambda: fc.parse_brace_expansion(braced),
             NameError, (fc, braced), globals_={"re": DELETE}),
        Case("no re: create_files", lambda: fc.create_files(brace_list), NameError,
             (fc, brace_list), globals_={"re": DELETE}),
        Case("no Path: create_file handles it", lambda: fc.create_file(old), False, (fc, old),
             globals_={"Path": DELETE}),
        Case("no HAS_CLIPBOARD: create_file handles it", lambda: fc.create_file(old), False,
             (fc, old), globals_={"HAS_CLIPBOARD": DELETE}),
        Case("no HAS_GROWL: FileCreator()", tt.FileCreator, NameError,
             globals_={"HAS_GROWL": DELETE}),
        Case("no HAS_GROWL: _notify", lambda: fc._notify(notify_arg), NameError,
             (fc, notify_arg), globals_={"HAS_GROWL": DELETE}),
        Case("no HAS_GROWL: create_file handles _notify's error", lambda: fc.create_file(old),
             False, (fc, old), globals_={"HAS_GROWL": DELETE}),
        Case("no gntp: _init_growl warns", lambda: fc._init_growl(), None, (fc,),
             globals_={"gntp": DELETE}),
        Case("no __file__: get_version reports", tt.get_version, "2.0",
             globals_={"__file__": DELETE}),
        Case("no sys: main", tt.main, NameError, globals_={"sys": DELETE}),
        Case("no sys: failing create_file", lambda: fc.create_file(in_file), NameError,
             (fc, in_file), globals_={"sys": DELETE}),

        # Handled and propagated exceptions
        Case("mkdir fails (file as directory)", lambda: fc.create_file(in_file), False,
             (fc, in_file)),
        Case("touch fails (NUL in name)", lambda: fc.create_file(nul), False, (fc, nul)),
        Case("touch fails (dangling link)", lambda: fc.create_file(dangling), False,
             (fc, dangling)),
        Case("utime fails (missing dir/)", lambda: fc.create_file(missing_dir), False,
             (fc, missing_dir)),
        Case("utime fails (empty name)", lambda: fc.create_file(empty), False, (fc, empty)),
        Case("failure with --debug: traceback", lambda: fc.create_file(in_file), False,
             (fc, in_file), argv=["tessel", "--debug"]),
        Case("clipboard copy raises Exception", lambda: fc.create_file(old), True, (fc, old),
             faults={"copy": Failure}),
        Case("clipboard copy raises unprintable", lambda: fc.create_file(old), False, (fc, old),
             faults={"copy": Unprintable}),
        Case("clipboard copy raises KeyboardInterrupt", lambda: fc.create_file(old),
             KeyboardInterrupt, (fc, old), faults={"copy": KeyboardInterrupt}),
        Case("clipboard is not a module", lambda: fc.create_file(old), True, (fc, old),
             globals_={"clipboard": 42}),
        Case("notify raises Exception", lambda: fc._notify(notify_arg), None, (fc, notify_arg),
             faults={"notify": Failure}),
        Case("notify raises Exception, --debug", lambda: fc._notify(notify_arg), None,
             (fc, notify_arg), faults={"notify": Failure}, argv=["tessel", "--debug"]),
        Case("notify raises SystemExit: create_file", lambda: fc.create_file(old), SystemExit,
             (fc, old), faults={"notify": SystemExit}),
        Case("register raises: _init_growl warns", lambda: fc._init_growl(), None, (fc,),
             faults={"register": Failure}),
        Case("GrowlNotifier raises: FileCreator() warns", tt.FileCreator, tt.FileCreator,
             faults={"GrowlNotifier": OSError}),
        Case("register raises KeyboardInterrupt: FileCreator()", tt.FileCreator,
             KeyboardInterrupt, faults={"register": KeyboardInterrupt}),
        Case("undecodable version file", tt.get_version, "2.0",
             globals_={"__file__": bad_version_file}),
        Case("undecodable version file, TRACEBACK=1", tt.get_version, "2.0",
             globals_={"__file__": bad_version_file}, env={"TRACEBACK": "1"}),
        Case("create_files: int element", lambda: fc.create_files(int_list), TypeError,
             (fc, int_list, *int_list)),
        Case("create_files: __contains__ raises", lambda: fc.create_files(raising_list),
             Failure, (fc, raising_list, *raising_list)),
        Case("create_files: list element", lambda: fc.create_files(list_element), TypeError,
             (fc, list_element, *list_element)),
    ]


def outcome_ok(case, result=None, error=None):
    if isinstance(case.expect, type) and issubclass(case.expect, BaseException):
        return error is not None and isinstance(error, case.expect)
    if error is not None:
        return False
    if isinstance(case.expect, type):
        return isinstance(result, case.expect)
    return result == case.expect


def loop(case, n):
    call = case.call
    for _ in range(n):
        try:
            result = call()
        except BaseException as error:  # the case says which are expected
            if not outcome_ok(case, error=error):
                raise
        else:
            if not outcome_ok(case, result):
                raise AssertionError(f"{case.name}: unexpected result {result!r}")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_case(index, iterations):
    """Runs case `index`; returns (growth in bytes, refcount changes), or
    raises."""
    with tempfile.TemporaryDirectory(prefix="tessel-leaks-") as work:
        cwd = os.getcwd()
        os.chdir(work)
        devnull = open(os.devnull, "w")
        saved = sys.stdout, sys.stderr
        try:
            with patched(globals_=FAKES):
                case = cases(Path(work))[index]
                with patched(**case.patches):
                    sys.stdout = sys.stderr = devnull
                    counts = [sys.getrefcount(o) for o in case.watch]
                    loop(case, min(2000, iterations))
                    gc.collect()
                    before = rss()
                    loop(case, iterations)
                    gc.collect()
                    growth = rss() - before
                    after = [sys.getrefcount(o) for o in case.watch]
        finally:
            sys.stdout, sys.stderr = saved
            devnull.close()
            os.chdir(cwd)
    changed = [(type(o).__name__, c, d) for o, c, d in zip(case.watch, counts, after) if c != d]
    return growth, changed


def in_child(index, iterations):
    """Runs case `index` in a fresh interpreter, so that a crash is reported
    as the case's failure and each case starts from the same memory."""
    p = subprocess.run([sys.executable, "-P", __file__, "--case", str(index),
                        "--iterations", str(iterations)], capture_output=True, text=True)
    if p.returncode != 0:
        tail = (p.stdout + p.stderr).strip().splitlines()[-3:]
        return None, [], f"exit status {p.returncode}: " + " | ".join(tail)
    growth, changed = json.loads(p.stdout)
    return growth, changed, None


def in_process(index, iterations):
    try:
        growth, changed = run_case(index, iterations)
    except Exception as e:
        return None, [], f"{type(e).__name__}: {e}"
    return growth, changed, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=200_000)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("-k", default="")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--no-rss", action="store_true",
                        help="skip the RSS bar (under valgrind, whose own memory shows in RSS)")
    parser.add_argument("--case", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()

    if options.case is not None:
        print(json.dumps(run_case(options.case, options.iterations)))
        return 0

    with tempfile.TemporaryDirectory() as work, patched(globals_=FAKES):
        cwd = os.getcwd()
        os.chdir(work)
        names = [c.name for c in cases(Path(work))]
        os.chdir(cwd)
    if options.list:
        print("\n".join(names))
        return 0
    chosen = [i for i, name in enumerate(names) if options.k in name]
    # main() builds an argument parser at every call, which makes its cases
    # the slow ones: they go first, so that the others fill the gaps.
    chosen.sort(key=lambda i: "main" not in names[i])
    limit = float("inf") if options.no_rss else MiB

    print(f"{len(chosen)} cases, {options.iterations} calls each"
          + ("" if options.no_rss else ", RSS growth limit 1 MiB"))
    if options.jobs > 1:
        pool = concurrent.futures.ThreadPoolExecutor(options.jobs)
        results = pool.map(lambda i: in_child(i, options.iterations), chosen)
    else:
        pool = contextlib.nullcontext()
        results = (in_process(i, options.iterations) for i in chosen)
    failures = 0
    worst = 0
    with pool:
        for index, (growth, changed, error) in zip(chosen, results):
            name = names[index]
            if error:
                failures += 1
                print(f"FAIL  {name}: {error}")
                continue
            worst = max(worst, growth)
            bad = growth >= limit or changed
            failures += bool(bad)
            note = f"  refcounts changed (type, before, after): {changed}" if changed else ""
            print(f"{'FAIL' if bad else 'ok  '}  {growth / 1024:8.1f} KiB  {name}{note}",
                  flush=True)
    print(f"check-leaks: {len(chosen) - failures}/{len(chosen)} cases passed; "
          f"largest RSS growth {worst / 1024:.1f} KiB")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
