"""Leak check over the suite's own tests: ``pytest --leak-check``.

Each test that runs in this process is run several times in a row before its
reported run: a few warm-up runs fill the interpreter's caches, then the
measured runs.  The test fails when, over the measured runs,

- the objects of some type that the garbage collector tracks (instances,
  lists, dicts, exceptions, ...) grew by one or more per run, in most runs:
  a reference that is never released keeps its object alive;
- the reference count of an object that the module ``tessel.tessel`` holds
  (its functions, the FileCreator type and its methods) rose: a missing
  decrement on an object that lives for the whole process allocates nothing;
- or the resident set grew by ``--leak-rss-kib`` or more.

Strings and numbers are not tracked by the collector, and counting raw
memory blocks instead reads pytest's and the standard library's own caches
as leaks; a lost string is what the valgrind session finds.  Tests that
draw examples with hypothesis run once, as usual, and so do tests marked
``starts_processes``: their work is not done in this process.  An unmarked
test that starts a process fails, so that the mark stays true (valgrind
leaves the marked tests out too).
"""

import collections
import gc
import shutil
import sys

import pytest

# pytest's private API, in this one place, where it has no public one:
# - runtestprotocol runs a test's setup, call and teardown as pytest itself
#   does (plugins that rerun tests use it too);
# - a test item's _report_sections hold what each run captured, which the
#   quiet runs must drop, or every run's output is kept.
from _pytest.runner import runtestprotocol


def _drop_captured_output(item):
    item._report_sections.clear()


WARMUP_RUNS = 3
PAGE_KIB = 4
LEAK_FOUND = pytest.StashKey[str]()


def pytest_configure(config):
    # An audit hook stays for the life of the process: it only reads a flag.
    if config.getoption("leak_check"):
        sys.addaudithook(_audit)


def pytest_addoption(parser):
    group = parser.getgroup("leak check")
    group.addoption(
        "--leak-check",
        action="store_true",
        help="repeat every in-process test and fail it when it leaks",
    )
    group.addoption(
        "--leak-runs", type=int, default=8, metavar="N", help="measured runs per test (default 8)"
    )
    group.addoption(
        "--leak-rss-kib",
        type=int,
        default=1024,
        metavar="KIB",
        help="resident-set growth over the measured runs that fails a test",
    )


def _repeatable(item):
    return (
        isinstance(item, pytest.Function)
        and not getattr(item.obj, "is_hypothesis_test", False)
        and item.get_closest_marker("starts_processes") is None
    )


def _rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KIB


def _population(earlier):
    """How many objects of each type the garbage collector tracks, apart
    from the earlier counts themselves."""
    own = {id(counts) for counts in earlier}
    return collections.Counter(
        type(obj).__qualname__ for obj in gc.get_objects() if id(obj) not in own
    )


def _held_objects():
    """What the module holds for the whole process: a reference that one of
    its functions takes and never gives back shows in these counts."""
    module = sys.modules["tessel.tessel"]
    held = [module, *vars(module).values()]
    held += vars(module.FileCreator).values()
    return {id(obj): obj for obj in held}.values()


def _refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


class _SameTmpPath:
    """Hands every run of one test the same emptied tmp_path.  pytest numbers
    a fresh directory per run, and pathlib interns each new name for good
    (interned strings are immortal since 3.12), which would read as a leak."""

    def __init__(self):
        self._made = {}
        self._mktemp = pytest.TempPathFactory.mktemp
        self._patch = pytest.MonkeyPatch()

    def __enter__(self):
        made, mktemp = self._made, self._mktemp

        def same_each_run(factory, basename, numbered=True):
            if not numbered:
                return mktemp(factory, basename, numbered)
            if basename not in made:
                made[basename] = mktemp(factory, basename, numbered)
            path = made[basename]
            shutil.rmtree(path)
            path.mkdir()
            return path

        self._patch.setattr(pytest.TempPathFactory, "mktemp", same_each_run)
        return self

    def __exit__(self, *exc):
        self._patch.undo()


def _quiet_run(item):
    """One run of item, reported to nobody; True when every phase passed
    (a skipped test is not measured).
    Everything is torn down after it: pytest adds a finalizer of each
    module and session fixture to its node at every request."""
    reports = runtestprotocol(item, nextitem=None, log=False)
    _drop_captured_output(item)
    return all(report.passed for report in reports)


class _ProcessWatch:
    """Tells whether a child process was started while it was entered: every
    way that subprocess offers raises the audit event subprocess.Popen."""

    active = None

    def __enter__(self):
        self.started = False
        _ProcessWatch.active = self
        return self

    def __exit__(self, *exc):
        _ProcessWatch.active = None


def _audit(event, args):
    if event == "subprocess.Popen" and _ProcessWatch.active is not None:
        _ProcessWatch.active.started = True


def _measure(item, runs, rss_bar):
    """What the runs of item leaked, as text, or None (also when a run failed:
    the reported run then shows that failure)."""
    with _SameTmpPath():
        with _ProcessWatch() as watch:
            if not _quiet_run(item):
                return None
        if watch.started:
            return "the test starts a process: mark it starts_processes"
        for _ in range(WARMUP_RUNS - 1):
            if not _quiet_run(item):
                return None
        held = list(_held_objects())
        gc.collect()
        counts, rss = _refcounts(held), _rss_kib()
        populations = []
        for run in range(runs + 1):
            if run > 0 and not _quiet_run(item):
                return None
            gc.collect()
            populations.append(_population(populations))
        counts_after, rss_after = _refcounts(held), _rss_kib()
    found = []
    for kind in populations[-1]:
        sizes = [population[kind] for population in populations]
        grew = sum(b > a for a, b in zip(sizes, sizes[1:], strict=False))  # neighbours
        if sizes[-1] - sizes[0] >= runs and grew * 3 > runs * 2:
            found.append(f"{kind} objects grew from {sizes[0]} to {sizes[-1]} over {runs} runs")
    found += [
        f"reference count of {obj!r} went from {a} to {b} over {runs} runs"
        for obj, a, b in zip(held, counts, counts_after, strict=True)
        if b > a
    ]
    if rss_after - rss >= rss_bar:
        found.append(f"resident set grew by {rss_after - rss} KiB over {runs} runs")
    return "\n".join(found) or None


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    config = item.config
    if not config.getoption("leak_check") or not _repeatable(item):
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    found = _measure(item, config.getoption("leak_runs"), config.getoption("leak_rss_kib"))
    if found:
        item.stash[LEAK_FOUND] = found
    runtestprotocol(item, nextitem=nextitem, log=True)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    found = item.stash.get(LEAK_FOUND, None)
    if found and report.when == "call" and report.passed:
        report.outcome = "failed"
        report.longrepr = f"leak check: {found}"
