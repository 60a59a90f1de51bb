"""Threads: callers sharing one FileCreator, and each with one of its own,
call every function of the module at once, while other threads rebind and
delete the globals and attributes that those calls look up, binding fresh
objects that die when they are replaced.  A lookup that kept a borrowed
reference would use a freed object.  On a free-threaded build the calls
truly overlap; with the GIL they interleave at every switch."""

import builtins
import pathlib
import sys
import sysconfig
import threading
import types

import pytest
import record
from support import ok, summary

CALLERS = 6
ROUNDS = 30
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class Lines:
    """A sys.stdout that keeps each thread's lines apart, so that every
    caller's report can be checked whole however the threads interleave.
    Kept by thread object: an ident is reused by a thread started after
    another has ended."""

    def __init__(self):
        self.by_thread = {}

    def write(self, text):
        self.by_thread.setdefault(threading.current_thread(), []).append(text)
        return len(text)

    def flush(self):
        pass

    def of(self, thread):
        return "".join(self.by_thread.get(thread, [])).splitlines()


def notifier():
    return types.SimpleNamespace(
        register=lambda: None, notify=lambda **kw: record.record("notify", (), kw)
    )


def churn(done, rebind, fresh):
    """Until done: rebind each name to a fresh object, then delete it, so
    that lookups meet the fallback (the built-ins, the class)."""
    while not done.is_set():
        for name, make in fresh.items():
            rebind(name, make())
        for name in fresh:
            rebind(name, None)


def test_threads_share_the_module_and_an_instance(tt, tmp_path, monkeypatch, calls):
    # Each churned global has the same meaning in the built-ins, where a
    # lookup lands while the module has none.
    globals_fresh = {
        "Path": lambda: lambda *a: pathlib.Path(*a),
        "HAS_CLIPBOARD": lambda: [True],
        "HAS_GROWL": lambda: [True],
        "clipboard": lambda: types.SimpleNamespace(copy=sys.modules["clipboard"].copy),
        "re": lambda: types.SimpleNamespace(search=sys.modules["re"].search),
    }
    for name in globals_fresh:
        monkeypatch.setattr(builtins, name, getattr(tt, name), raising=False)
        monkeypatch.setattr(tt, name, getattr(tt, name))  # restored afterwards

    def rebind_global(name, value):
        if value is None:
            vars(tt).pop(name, None)
        else:
            setattr(tt, name, value)

    class Shared(tt.FileCreator):
        growl = notifier()
        icon_path = tmp_path / "no-icon.jpg"

    shared = Shared()
    attributes_fresh = {"growl": notifier, "icon_path": lambda: tmp_path / "no-icon.jpg"}

    def rebind_attribute(name, value):
        if value is None:
            vars(shared).pop(name, None)
        else:
            setattr(shared, name, value)

    lines = Lines()
    monkeypatch.setattr(sys, "stdout", lines)
    main_dir = tmp_path / "main"
    monkeypatch.setattr(sys, "argv", ["tessel", f"{main_dir}/{{a,b}}.txt"])
    version = tt.get_version()
    errors, expected, made = [], {}, set()

    def caller(n):
        try:
            own = tt.FileCreator()
            lines_wanted = expected[threading.current_thread()] = []
            for r in range(ROUNDS):
                creator = shared if r % 2 else own
                base = tmp_path / f"t{n}" / f"r{r}"
                assert creator.parse_brace_expansion("d{a, b,c}.txt") == [
                    "d/a.txt",
                    "d/b.txt",
                    "d/c.txt",
                ]
                assert creator.create_file(f"{base}/one.txt") is True
                assert creator._notify(f"{base}/one.txt") is None
                assert creator.create_files([f"{base}/{{x,y}}.txt", f"{base}/z.txt"]) == 3
                creator._init_growl()
                assert tt.get_version() == version
                assert tt.main() == 0
                files = [base / f for f in ("one.txt", "x.txt", "y.txt", "z.txt")]
                made.update(files)
                lines_wanted += [ok(f) for f in files]
                lines_wanted += [ok(main_dir / "a.txt"), ok(main_dir / "b.txt"), *summary(2, 2)]
        except BaseException as e:  # reported by the test, not lost in the thread
            errors.append(e)

    done = threading.Event()
    churners = [
        threading.Thread(target=churn, args=(done, rebind_global, globals_fresh)),
        threading.Thread(target=churn, args=(done, rebind_attribute, attributes_fresh)),
    ]
    callers = [threading.Thread(target=caller, args=(n,)) for n in range(CALLERS)]
    calls.clear()
    for t in churners + callers:
        t.start()
    for t in callers:
        t.join()
    done.set()
    for t in churners:
        t.join()

    assert errors == []
    for t in callers:
        assert lines.of(t) == expected[t]
    assert all(f.is_file() for f in made) and len(made) == CALLERS * ROUNDS * 4
    # One notification for each file made, one for each _notify().
    notified = sum(c["call"] == "notify" for c in calls)
    assert notified == CALLERS * ROUNDS * (4 + 2 + 1)


@pytest.mark.skipif(not FREE_THREADED, reason="a build with the GIL")
def test_the_import_leaves_the_gil_off(run_py):
    p = run_py("import sys, tessel.tessel; print(sys._is_gil_enabled())")
    assert (p.stdout, p.stderr) == ("False\n", "")
