"""The checks that are an environment and a run of the test suite, as nox
sessions: `nox -l` lists them, `nox` runs all but the benchmark and the
ThreadSanitizer run (which needs its own interpreter).

Interpreters: TESSEL_PYTHONS (default "3.12 3.13"), found as the scripts
find them (scripts/lib.sh's python_for: a version that pyenv has, pythonX.Y
on PATH, or a path).  Compilers, by their ids: the suite runs against
builds of gcc and clang, the warning check against those of
TESSEL_COMPILERS (default all of COMPILERS).  Arguments after `--` go to
pytest.  The system tools (compilers, Xvfb, xclip, valgrind, hyperfine,
man) are Debian's; every Python package comes from the index.
"""

import os
import shutil
import subprocess
import tarfile
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any

import nox

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"
nox.options.reuse_venv = "yes"

PYPROJECT = nox.project.load_toml("pyproject.toml")
TEST = nox.project.dependency_groups(PYPROJECT, "test")
RELEASE = nox.project.dependency_groups(PYPROJECT, "release")
FORMAT = nox.project.dependency_groups(PYPROJECT, "format")
PYTHONS = os.environ.get("TESSEL_PYTHONS", "3.12 3.13").split()
HERE = Path(__file__).resolve().parent


def python_for(want: str) -> str | None:
    """The interpreter that want names, found by the scripts' own finder
    (scripts/lib.sh); None where there is none."""
    found = subprocess.run(
        ["bash", "-c", '. "$0" && python_for "$1"', str(HERE / "scripts/lib.sh"), want],
        capture_output=True,
        text=True,
    )
    return found.stdout.strip() if found.returncode == 0 else None


# Each interpreter of PYTHONS, as the scripts find it.  Their folders go
# first on PATH, where nox looks for a session's interpreter: nox then runs
# the ones that the scripts run.  One that cannot be found is left to nox to
# report.
FOUND = {want: python_for(want) for want in PYTHONS}
os.environ["PATH"] = os.pathsep.join(
    [*(os.path.dirname(python) for python in FOUND.values() if python), os.environ.get("PATH", "")]
)
# The compilers, by id: the command and its flags.  libcxx is clang++ with
# LLVM's libc++ (as on macOS).
COMPILERS = {
    "gcc": "g++",
    "clang": "clang++",
    "clang19": "clang++-19",
    "libcxx": "clang++ -stdlib=libc++",
}
CHECKED = os.environ.get("TESSEL_COMPILERS", " ".join(COMPILERS)).split()
# The test files that valgrind runs, their tests that start no process
# (not marked starts_processes): every entry with its argument errors, every
# handler, lookups at each use, the version file, creation and notification.
VALGRIND_FILES = [
    "tests/test_calling.py",
    "tests/test_handlers.py",
    "tests/test_lookups.py",
    "tests/test_version.py",
    "tests/test_file_creator.py",
    "tests/test_notify.py",
]


def install(
    session: nox.Session, target: str = ".", *pip_args: str, env: dict[str, str] | None = None
) -> None:
    """tessel (the checkout, or a wheel) with its extras and the suite's
    dependencies, built by pip with build isolation."""
    session.install(
        f"{target}[clipboard,notify]", *TEST, *wheels_first(session, "mypy<2"), *pip_args, env=env
    )


def wheels_first(session: nox.Session, *free_threaded_pins: str) -> tuple[str, ...]:
    """pip's arguments for a free-threaded interpreter, and the pins given;
    none elsewhere.  There pip must take the newest release of each
    dependency that has a wheel for it, since building the others needs
    Rust, which the index does not serve (the newest hypothesis, mypy 2 and
    what it needs), and pydantic-core (for check-wheel-contents) only as a
    wheel, or pip would build the one that the newest pydantic pins."""
    if not abi_tag(session).endswith("t"):
        return ()
    return ("--prefer-binary", "--only-binary", "pydantic-core", *free_threaded_pins)


# The suite's command line, quiet and leaving no cache in the checkout.
PYTEST = ("python", "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider")


def pytest(session: nox.Session, *args: str, env: dict[str, str] | None = None) -> None:
    session.run(*PYTEST, *args, *session.posargs, env=env)


def output(session: nox.Session, *args: str, **kwargs: Any) -> str:
    """What a command prints, run without showing it."""
    out = session.run(*args, silent=True, **kwargs)
    if not isinstance(out, str):
        session.error(f"no output from {args[0]}")
    return out


def ask(session: nox.Session, expression: str, python: str = "python") -> str:
    """The value of an expression over platform, sys and sysconfig, as the
    session's interpreter (or python) prints it."""
    code = f"import platform, sys, sysconfig; print({expression})"
    return output(session, python, "-c", code, external=python != "python").strip()


def python_version(session: nox.Session) -> str:
    """The session interpreter's version, X.Y.Z."""
    return ask(session, "platform.python_version()")


# The ABI tag of an interpreter's wheels: cp313, or cp313t for a
# free-threaded build.
ABI_TAG = (
    "'cp%d%d%s' % (*sys.version_info[:2], "
    "'t' if sysconfig.get_config_var('Py_GIL_DISABLED') else '')"
)


def abi_tag(session: nox.Session) -> str:
    """The ABI tag of the session interpreter's wheels, asked of the
    interpreter once per session."""
    if session.bin not in ABI_TAGS:
        ABI_TAGS[session.bin] = ask(session, ABI_TAG)
    return ABI_TAGS[session.bin]


ABI_TAGS: dict[str, str] = {}


def compilers(*ids: str) -> list[nox.param]:
    return [nox.param(COMPILERS[i], id=i) for i in ids]


@nox.session(python=PYTHONS)
@nox.parametrize("cxx", compilers("gcc", "clang"))
def tests(session: nox.Session, cxx: str) -> None:
    """The whole suite against a build with this compiler."""
    install(session, env={"CXX": cxx})
    pytest(session, "tests")


def dist_folder(session: nox.Session) -> Path:
    """Where this interpreter's distributions go: dist/3.13, dist/3.13t."""
    digits = abi_tag(session)[2:]
    return Path("dist", f"{digits[0]}.{digits[1:]}")


@nox.session(python=PYTHONS)
def dist(session: nox.Session) -> None:
    """The distributions as an index takes them, made and checked."""
    # The sdist and, from it, the wheel (python -m build), the sdist's
    # contents, auditwheel's repair to the lowest manylinux policy the
    # symbols allow, twine and check-wheel-contents.
    abi = abi_tag(session)
    # twine needs cryptography (through keyring), which has no wheel for a
    # free-threaded 3.13 and cannot be built there (cffi refuses it).
    twine = not abi.endswith("t")
    session.install(
        *[r for r in RELEASE if twine or not r.startswith("twine")], *wheels_first(session)
    )
    dist = dist_folder(session)
    shutil.rmtree(dist, ignore_errors=True)
    session.run("python", "-m", "build", "--outdir", str(dist), ".", silent=True)
    (sdist,), (built,) = dist.glob("*.tar.gz"), dist.glob("*.whl")
    with tarfile.open(sdist) as archive:
        listing = {name.split("/", 1)[-1] for name in archive.getnames()}
    for needed in [
        "LICENSE",
        "man/tessel.1.in",
        "tessel/__version__.py.in",
        "tessel/tessel.pyi",
        "tessel/py.typed",
    ]:
        if needed not in listing:
            session.error(f"{needed} is missing from {sdist}")
    session.log(f"built {sdist.name} ({len(listing)} files) and {built.name}")

    session.run("auditwheel", "show", str(built))
    session.run(
        "auditwheel", "repair", "--wheel-dir", str(dist / "repaired"), str(built), silent=True
    )
    (repaired,) = (dist / "repaired").glob("*.whl")
    if not repaired.name.split("-", 2)[2].startswith(f"{abi.rstrip('t')}-{abi}-manylinux"):
        session.error(f"the repaired wheel is not a manylinux wheel of {abi}: {repaired.name}")
    session.log(f"repaired: {repaired.name}")
    if twine:
        session.run("twine", "check", "--strict", str(sdist), str(repaired))
    else:
        session.log("no twine here; the metadata is the same as the other wheels', which it checks")
    session.run("check-wheel-contents", str(repaired))


@nox.session(python=PYTHONS, requires=["dist-{python}"])
def wheel(session: nox.Session) -> None:
    """The repaired wheel as a user gets it: run, refused, tested."""
    # Installed as a user would (not the checkout) and run on an example,
    # the other interpreters of TESSEL_PYTHONS refusing it, and the whole
    # suite against it.
    abi = abi_tag(session)
    (repaired,) = (dist_folder(session) / "repaired").glob("*.whl")
    install(session, str(repaired))
    # A reused environment may hold an earlier build of the same version,
    # which pip would keep: this one replaces it, and only it.
    session.install("--force-reinstall", "--no-deps", str(repaired))
    with tempfile.TemporaryDirectory() as demo, session.chdir(demo):
        out = output(session, "tessel", "demo/{a,b,c}.txt")
        made = sorted(os.listdir("demo"))
    if (
        made != ["a.txt", "b.txt", "c.txt"]
        or out.splitlines()[-1] != "3/3 file(s) created successfully"
    ):
        session.error(f"tessel from the wheel did not work:\n{out}")

    for other in PYTHONS:
        found = FOUND[other]
        if found is None:
            session.error(f"no interpreter {other}")
        if ask(session, ABI_TAG, found) == abi:
            continue
        # This pip, run by the other interpreter (which may have no pip of
        # its own), into a folder that stays empty.
        refusal = output(
            session,
            "pip",
            "--python",
            found,
            "install",
            "--dry-run",
            "--no-deps",
            "--target",
            str(repaired.parent.parent / "refused"),
            str(repaired),
            success_codes=[1],
        )
        if "is not a supported wheel on this platform" not in refusal:
            session.error(f"{found} failed for another reason:\n{refusal}")
        session.log(f"refused by {found}, as it must be")

    # The suite, with the wheel for the test that installs it with pipx.
    pytest(session, "tests", env={"TESSEL_WHEEL": str(repaired.resolve())})


@nox.session(python=PYTHONS)
@nox.parametrize("cxx", compilers(*CHECKED))
def warnings(session: nox.Session, cxx: str) -> None:
    """No warning under this compiler."""
    # The module through meson itself, so that the compiler sees the build's
    # own command lines (its -O level, -DNDEBUG, visibility, C++20 without
    # exceptions, warning level 3), with warnings as errors and deprecated
    # declarations reported, against this interpreter's headers.  The
    # module must need no C++ runtime.  A compiler that is not installed is
    # reported and skipped.
    compiler, *flags = cxx.split()
    if shutil.which(compiler) is None:
        session.skip(f"no {compiler}")
    if "-stdlib=libc++" in flags and not any(Path("/usr/lib").glob("llvm-*/include/c++/v1")):
        session.skip("no libc++ (Debian's libc++-dev)")
    session.install(*[r for r in RELEASE if r.startswith(("meson", "ninja"))])
    with tempfile.TemporaryDirectory() as work:
        native = Path(work, "native.ini")
        native.write_text(f"[binaries]\npython = '{session.virtualenv.bin}/python'\n")
        build = str(Path(work, "build"))
        session.run(
            "meson",
            "setup",
            build,
            "--native-file",
            str(native),
            "-Dwerror=true",
            f"-Dcpp_args={' '.join(['-Wdeprecated-declarations', *flags])}",
            f"-Dcpp_link_args={' '.join(flags)}",
            env={"CXX": compiler},
            silent=True,
        )
        session.run("meson", "compile", "-C", build, silent=True)
        (module,) = Path(build).glob("tessel.*.so")
        needed = output(session, "readelf", "-d", str(module), external=True)
        if any(lib in needed for lib in ("libstdc++", "libc++", "libgcc_s")):
            session.error(f"{module.name} needs a C++ runtime:\n{needed}")
    version = output(session, compiler, "--version", external=True).splitlines()[0]
    session.log(
        f"{' '.join([version, *flags])}, CPython {python_version(session)}: "
        "no warnings, no C++ runtime needed"
    )


@nox.session(python="3.12")
def sanitizers(session: nox.Session) -> None:
    """AddressSanitizer and UndefinedBehaviorSanitizer over the whole suite."""
    # CPython itself is not instrumented, so the runtimes are preloaded into
    # it; PYTHONMALLOC=malloc sends every Python object through ASan's
    # allocator.  Leak detection is off: the interpreter keeps much of its
    # memory until exit by design (leaks and valgrind look at leaks).  Every
    # report goes to a log directory; the check fails on any, also one from
    # a child process whose exit status a test did not look at.
    install(
        session, ".", "-Csetup-args=-Db_sanitize=address,undefined", "-Csetup-args=-Db_lundef=false"
    )
    # Found without importing it: that needs the runtimes preloaded.
    platlib = ask(session, "sysconfig.get_path('platlib')")
    (module,) = Path(platlib, "tessel").glob("tessel.cpython-*.so")
    linked = output(session, "ldd", str(module), external=True)
    for lib in ["libasan", "libubsan"]:
        if lib not in linked:
            session.error(f"{module} is not linked with {lib}")
    runtimes = [
        output(session, "g++", f"-print-file-name={lib}.so", external=True).strip()
        for lib in ["libasan", "libubsan"]
    ]
    with tempfile.TemporaryDirectory() as logs:
        env = {
            "LD_PRELOAD": " ".join(runtimes),
            "PYTHONMALLOC": "malloc",
            "ASAN_OPTIONS": f"detect_leaks=0:log_path={logs}/asan",
            "UBSAN_OPTIONS": f"halt_on_error=1:print_stacktrace=1:log_path={logs}/ubsan",
        }
        # The runtime must really be watching: an overflow of a malloc'd
        # buffer made through ctypes has to be reported.
        session.run(
            "python",
            "-P",
            "-c",
            "import ctypes; b = ctypes.create_string_buffer(8); ctypes.memmove(b, b'x' * 64, 64)",
            env=env,
            silent=True,
            success_codes=range(-128, 256),
        )
        if not any("heap-buffer-overflow" in p.read_text() for p in Path(logs).iterdir()):
            session.error("AddressSanitizer is not active in the interpreter")
        for report in Path(logs).iterdir():
            report.unlink()
        try:
            pytest(session, "tests", env=env)
        finally:
            reports = [p.read_text() for p in Path(logs).iterdir()]
        if reports:
            session.error("sanitizer reports:\n" + "\n".join(reports))
    session.log("no sanitizer reports")


@nox.session(python="3.12")
def leaks(session: nox.Session) -> None:
    """The whole suite with --leak-check (tests/leakcheck.py)."""
    # Every test that does its work in this process is repeated, and fails
    # when its runs leave more live objects of a type behind, raise the
    # reference count of anything the module holds, or grow the resident set.
    install(session)
    pytest(session, "--leak-check")


@nox.session(python="3.12")
def valgrind(session: nox.Session) -> None:
    """The in-process test files under valgrind's memcheck."""
    # With PYTHONMALLOC=malloc every Python object is a block that memcheck
    # watches.  Fails on any memory error anywhere in the process, and on
    # blocks definitely lost that tessel's own code allocated: CPython
    # itself loses some at exit by design (interned strings and code
    # constants made while importing), so a lost block counts as tessel's
    # when a frame of the module lies between the allocation and any frame
    # that runs Python code.  Blocks that Python code tessel called
    # allocated are the interpreter's, and so are the strings tessel has the
    # interpreter intern (3.12 makes them immortal, so they outlive their
    # release at finalisation).  memcheck's own mistakes are suppressed in
    # scripts/valgrind.supp, each with why.
    install(session)
    with tempfile.TemporaryDirectory() as out:
        xml = Path(out, "memcheck.xml")
        session.run(
            "valgrind",
            "--tool=memcheck",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--errors-for-leak-kinds=definite",
            "--num-callers=50",
            "--suppressions=scripts/valgrind.supp",
            "--xml=yes",
            f"--xml-file={xml}",
            *PYTEST,
            "-m",
            "not starts_processes",
            *VALGRIND_FILES,
            *session.posargs,
            env={"PYTHONMALLOC": "malloc"},
            external=True,
        )
        reports, ignored = memcheck_reports(xml)
    for report in reports:
        session.log(report)
    session.log(
        f"{len(reports)} reports against tessel "
        f"({ignored} definitely lost blocks of the interpreter itself ignored)"
    )
    if reports:
        session.error("memcheck found errors in tessel")


def memcheck_reports(xml: Path) -> tuple[list[str], int]:
    """The reports of memcheck's XML that concern tessel, and the number of
    lost blocks that are the interpreter's."""
    reports, ignored = [], 0
    for error in ET.parse(xml).getroot().iter("error"):
        kind = error.findtext("kind") or "?"
        frames = [(f.findtext("fn") or "?", f.findtext("obj") or "?") for f in error.iter("frame")]
        if kind.startswith("Leak_"):
            first = next((i for i, (_, obj) in enumerate(frames) if "/tessel/tessel." in obj), None)
            if first is None or any(
                fn.startswith(("_PyEval_EvalFrame", "PyUnicode_Intern")) for fn, _ in frames[:first]
            ):
                ignored += 1
                continue
        what = error.findtext("what") or error.findtext("xwhat/text")
        stack = "\n".join(f"    {fn}  ({obj.rsplit('/', 1)[-1]})" for fn, obj in frames[:20])
        reports.append(f"{kind}: {what}\n{stack}")
    return reports, ignored


@nox.session(python=os.environ.get("TESSEL_TSAN_PYTHON", "3.13t-tsan"), default=False)
def threads(session: nox.Session) -> None:
    """The threads test under ThreadSanitizer, on a free-threaded CPython
    built with it (TESSEL_TSAN_PYTHON: scripts/build-freethreaded --tsan)."""
    # The module is built by clang, as the interpreter is, so that both use
    # the one runtime that the interpreter carries.  CPython's own list of
    # its known races is applied.  The interpreter's remaining reports are
    # its own optimistic reads racing the reuse of freed memory: logged and
    # counted, while a report in which either racing access is made by
    # tessel's code fails the check.
    config = ask(session, "sysconfig.get_config_var('CONFIG_ARGS')")
    if "--with-thread-sanitizer" not in config or "--disable-gil" not in config:
        session.error("not a free-threaded CPython built with ThreadSanitizer")
    # Only what the test needs: everything runs slowly under the sanitizer.
    session.install(
        ".[clipboard,notify]",
        *[r for r in TEST if r.startswith("pytest")],
        "--force-reinstall",
        "-Csetup-args=-Db_sanitize=thread",
        "-Csetup-args=-Db_lundef=false",
        env={"CXX": "clang++"},
    )
    suppressions = Path(
        ask(session, "sys.base_prefix"),
        "share",
        "tsan-suppressions.txt",
    )
    with tempfile.TemporaryDirectory() as logs:
        env = {"TSAN_OPTIONS": f"suppressions={suppressions}:log_path={logs}/tsan:exitcode=0"}
        pytest(session, "tests/test_threads.py", env=env)
        reports = [
            r
            for log in Path(logs).iterdir()
            for r in log.read_text().split("WARNING: ThreadSanitizer:")[1:]
        ]
    ours = [r for r in reports if any("(tessel.cpython-" in first for first in racing_frames(r))]
    for report in ours:
        session.log("WARNING: ThreadSanitizer:" + report)
    session.log(
        f"{len(ours)} reports against tessel ({len(reports) - len(ours)} of the "
        "interpreter's own ignored)"
    )
    if ours:
        session.error("ThreadSanitizer found races in tessel")


def racing_frames(report: str) -> list[str]:
    """The innermost frame of each of the two racing accesses of a
    ThreadSanitizer report."""
    frames, in_access = [], False
    for line in report.splitlines():
        if line.startswith("  ") and not line.startswith("   ") and " of size " in line:
            in_access = True
        elif in_access and line.strip().startswith("#0 "):
            frames.append(line)
            in_access = False
    return frames


@nox.session
def format(session: nox.Session) -> None:
    """The sources as their formatters write them, and ruff's lint of the
    Python files (`-- fix` rewrites what can be)."""
    # clang-format and ruff are the versions that the group format pins,
    # from the index; ruff reads its settings from pyproject.toml.
    session.install(*FORMAT)
    sources = sorted(str(p) for p in Path("src").glob("*.[ch]pp"))
    fix = session.posargs == ["fix"]
    session.run("clang-format", "-i", *([] if fix else ["--dry-run", "--Werror"]), *sources)
    session.run("ruff", "format", *([] if fix else ["--check"]), ".")
    session.run("ruff", "check", *(["--fix"] if fix else []), ".")


@nox.session(python="3.12", default=False, reuse_venv=False)
def bench(session: nox.Session) -> None:
    """The benchmark, in an environment of tessel without its optional
    packages (made anew each time, so that none is left from elsewhere);
    arguments after `--` go to bench/run.py (CI: --quick)."""
    session.install(".")
    session.run("python", "-P", "bench/run.py", *session.posargs)
