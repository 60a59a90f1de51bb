"""The ``tessel`` command around the module's main(), loaded by
``tessel/__main__.py``.

The command behaves as a Unix tool around the module's main():

- each report line is written as soon as it is printed, so that a run that
  is killed or interrupted has listed every file it made, except at most the
  one in progress;
- the first write to standard output that fails ends the run: a reader that
  went away ends it as SIGPIPE ends a Unix tool (on Windows, quietly with
  status 1), any other failure with one line on standard error and status 1;
- no program that an optional package starts keeps the user's standard
  output or standard error open after tessel has ended (xclip stays in the
  background to serve the clipboard): `x=$(tessel a.txt)` and
  `tessel a.txt | cat` return when tessel does;
- Ctrl-C ends it as SIGINT does (on Windows, with the status of a console
  program that Ctrl-C ended), with no traceback unless --debug is given;
- any output encoding works: a character that it cannot represent is written
  as a backslash escape, and a name that arrived as bytes undecodable in the
  locale is written back as those bytes where the encoding is ASCII-compatible
  (as a \\xNN escape where it is not, as in UTF-16); a Windows console gets
  the interpreter's own console stream, which writes through the console's
  Unicode output.

It imports only modules that are built in or that the interpreter loads
before it runs any file (typing is for type checkers alone): nothing here can
be shadowed by a file in the current folder, and nothing slow runs before
run() handles a Ctrl-C.
"""

import _thread
import codecs
import errno
import io
import os
import stat
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Callable, Iterable
    from typing import NoReturn, TextIO

WINDOWS = os.name == "nt"
# The exit status of a Windows console program that Ctrl-C ended
# (STATUS_CONTROL_C_EXIT, as a signed int): cmd.exe knows it.
CONTROL_C_EXIT = 0xC000013A - 2**32

# The encoding error handlers of the report, by whether its encoding writes
# a lone byte as that byte.
ERRORS = "tessel.output"
ERRORS_ESCAPED = "tessel.output.escaped"


class OutputGone(BaseException):
    """Standard output can no longer be written.  Not an Exception, so that
    no handler of a single file takes it for that file's failure: it ends
    the whole run."""

    def __init__(self, error: OSError, fd: int) -> None:
        super().__init__(error)
        self.error, self.fd = error, fd


class _Output:
    """A file descriptor, written whole at each call (as a buffered stream's
    write promises), failing with OutputGone.

    A write-only binary stream, registered as an io.BufferedIOBase but not
    derived from io's classes: their `closed` and `flush`, which the text
    stream above calls at every write, cost a tenth of each report line."""

    # Attributes and weak references as io's streams take them; `closed` a
    # slot, the cheapest attribute that the text stream can read.
    __slots__ = ("_fd", "closed", "__dict__", "__weakref__")  # pyright: ignore[reportUninitializedInstanceVariable]

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self.closed = False

    def readable(self) -> bool:
        return False

    def read(self, size: int = -1, /) -> bytes:
        raise io.UnsupportedOperation("read")

    def truncate(self, size: "int | None" = None, /) -> int:
        raise io.UnsupportedOperation("truncate")

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def isatty(self) -> bool:
        return False

    def fileno(self) -> int:
        return self._fd

    @property
    def name(self) -> int:
        return self._fd

    def close(self) -> None:
        self.closed = True  # the descriptor is not this stream's to close

    def flush(self) -> None:
        # Every write is already out.
        if self.closed:
            raise ValueError("I/O operation on closed file.")

    def write(self, data: "Buffer") -> int:
        # What the text stream passes is bytes, written whole by one call
        # unless a pipe or a signal cuts it short; any other buffer is
        # taken as its bytes.
        if type(data) is not bytes:
            data = memoryview(data).cast("B")
        try:
            written = os.write(self._fd, data)
            while written < len(data):
                written += os.write(self._fd, data[written:])
        except OSError as error:
            raise OutputGone(error, self._fd) from None
        return written

    def writelines(self, lines: "Iterable[Buffer]") -> None:
        for data in lines:
            self.write(data)


io.BufferedIOBase.register(_Output)


_ASCII = bytes(range(128))


def _is_ascii_compatible(encoding: str) -> bool:
    """Whether the encoding writes ASCII as ASCII, so that a lone byte in its
    output stays that byte (not so in UTF-16, UTF-32, EBCDIC or UTF-7)."""
    try:
        return _ASCII.decode("ascii").encode(encoding) == _ASCII
    except (LookupError, UnicodeError):
        return False


def _escape(error: UnicodeError, raw: bool = True) -> tuple[str | bytes, int]:
    """Encoding errors, one character at a time: a surrogate escape of an
    undecodable byte becomes that byte again if raw, else a \\xNN escape;
    anything else a backslash escape.  (UTF-16 and UTF-32 take neither a lone
    byte nor a non-ASCII replacement.)"""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    char = error.object[error.start]
    if "\udc80" <= char <= "\udcff":
        byte = ord(char) - 0xDC00
        return (bytes([byte]) if raw else f"\\x{byte:02x}"), error.start + 1
    return char.encode("ascii", "backslashreplace").decode("ascii"), error.start + 1


codecs.register_error(ERRORS, _escape)
codecs.register_error(ERRORS_ESCAPED, lambda error: _escape(error, raw=False))


def _line_output(stream: "TextIO", fd: int) -> "TextIO":
    """A line-buffered text stream on fd, in stream's encoding; in a Windows
    console, stream itself made line-buffered (its console I/O writes
    through the console's Unicode output, which bytes would bypass)."""
    if WINDOWS and isinstance(stream, io.TextIOWrapper) and stream.isatty():
        stream.reconfigure(line_buffering=True)
        return stream
    stream.flush()
    errors = ERRORS if _is_ascii_compatible(stream.encoding) else ERRORS_ESCAPED
    return io.TextIOWrapper(
        _Output(fd), encoding=stream.encoding, errors=errors, line_buffering=True
    )


class _Relay:
    """Passes on what arrives on a pipe to a descriptor, in a thread of its
    own, as it arrives.  Once the descriptor cannot be written, what arrives
    is dropped, so that no writer ever waits on a full pipe."""

    def __init__(self, source: int, target: int) -> None:
        os.set_blocking(source, False)
        self._source, self._target = source, target
        self._lock = _thread.allocate_lock()
        self._broken = False
        _thread.start_new_thread(self._run, ())

    def pass_on(self) -> bool:
        """Passes on what the pipe holds now; False at its end (every writer
        gone).  Under the lock, so that what was read is also written before
        anyone else reads."""
        with self._lock:
            while True:
                try:
                    data = os.read(self._source, 65536)
                except BlockingIOError:
                    return True
                if not data:
                    return False
                while data and not self._broken:
                    try:
                        data = data[os.write(self._target, data) :]
                    except OSError:
                        self._broken = True

    def _run(self) -> None:
        import select  # only in this thread: the run does not wait for it

        while self.pass_on():
            select.select([self._source], [], [])


def _keep_from_children() -> "tuple[int, Callable[[], None], set[int]]":
    """Keeps the user's standard output and standard error from the programs
    that optional packages start: such a program (xclip, which stays in the
    background to serve the clipboard) would hold them open after tessel
    has ended, and whoever reads them would wait for it.  Descriptors 1 and
    2, which children inherit, become a pipe whose contents a thread passes
    on to the user's standard error as they come (nothing a child writes
    can mix into the report); sys.stdout and sys.stderr move to copies of
    the user's descriptors, which no child inherits.  Returns the descriptor
    of the user's standard output, what gives descriptors 1 and 2 back, with
    what the pipe still holds passed on, and the descriptors it holds open.
    POSIX only: on Windows no child gets the standard handles unasked."""
    if WINDOWS:
        return 1, lambda: None, set()
    for stream in (sys.stdout, sys.stderr):  # what they hold goes where it was meant
        if stream is not None:
            stream.flush()
    # A closed standard descriptor would be the first one opened below:
    # /dev/null takes its place.
    while (fd := os.open(os.devnull, os.O_RDWR)) <= 2:
        pass
    os.close(fd)
    out, err = os.dup(1), os.dup(2)  # not inherited, as os.dup makes them
    if sys.stderr is not None:
        sys.stderr = io.TextIOWrapper(
            io.FileIO(err, "w", closefd=False),
            encoding=sys.stderr.encoding,
            errors=sys.stderr.errors,
            line_buffering=True,
        )
    source, sink = os.pipe()
    os.dup2(sink, 1)
    os.dup2(sink, 2)
    os.close(sink)
    relay = _Relay(source, err)

    def give_back() -> None:
        os.dup2(out, 1)
        os.dup2(err, 2)
        relay.pass_on()

    return out, give_back, {out, err, source}


def _reader_gone(error: OSError, fd: int) -> bool:
    """Whether a failed write of the report to fd means that its reader went
    away: EPIPE, or on Windows EINVAL on a pipe (its C runtime's word for a
    pipe with no reader)."""
    if error.errno == errno.EPIPE:
        return True
    try:
        return WINDOWS and error.errno == errno.EINVAL and stat.S_ISFIFO(os.fstat(fd).st_mode)
    except OSError:
        return False


def _die(name: str) -> "NoReturn":
    """Ends the process as the default action of the signal named does; on
    Windows, which has no SIGPIPE and whose SIGINT has no default action of
    that kind, with the status that the host gives its own such ends."""
    if sys.platform == "win32":  # (as type checkers read platforms)
        sys.exit(CONTROL_C_EXIT if name == "SIGINT" else 1)
    import signal  # only here: building its enums costs 2 % of start-up

    signum = getattr(signal, name)
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    while True:  # the signal is pending until the kill is delivered
        signal.pause()


def _flush() -> None:
    """Writes out a line that is still being printed, if it can be written."""
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OutputGone, OSError):
        pass


def _nothing_open(kept: "set[int]") -> bool:
    """Whether this process opened no descriptor but those kept, so that no
    file can have anything left to write; False where the system does not
    list a process's descriptors.  What the process opened is not inherited
    by the programs it starts (Python opens everything so): an inheritable
    descriptor came from the parent, with nothing of this process's in it;
    and one past the process's limit is a debugger's (valgrind keeps its own
    there)."""
    if sys.platform == "win32":  # (as type checkers read platforms)
        return False
    for listing in ("/proc/self/fd", "/dev/fd"):
        try:
            found = {int(name) for name in os.listdir(listing)}
            limit = os.sysconf("SC_OPEN_MAX")
        except (OSError, ValueError):
            continue
        for fd in found - kept - {0, 1, 2}:
            if fd >= limit > 0:
                continue
            try:
                if not os.get_inheritable(fd):
                    return False
            except OSError:  # the listing's own descriptor, closed by now
                pass
        return True
    return False


def _exit(status: "str | int | None", kept: "set[int] | None") -> "NoReturn":
    """Exits with status.  The interpreter's teardown costs a tenth of a
    short run; it is skipped where it has nothing left to do but free
    memory: when run() is the program itself (kept is then the descriptors
    that the command holds), the status is a plain one, no optional package
    is loaded (its objects may have work left for their finalizers), no
    thread is left that the interpreter would wait for, and, once the exit
    handlers have run as at any exit, no other descriptor is open and the
    standard streams are flushed.  Otherwise, and on Windows, by sys.exit."""
    if (
        kept is not None
        and not WINDOWS
        and (status is None or (type(status) is int and 0 <= status <= 255))
        and not (sys.flags.inspect or os.environ.get("PYTHONINSPECT"))
        and not any(name in sys.modules for name in ("clipboard", "gntp", "quorlin"))
        and not _threads_to_wait_for()
    ):
        import atexit

        atexit._run_exitfuncs()  # and forgets them: they cannot run twice
        if _nothing_open(kept) and _flushed():
            os._exit(status or 0)
    sys.exit(status)


def _threads_to_wait_for() -> bool:
    """Whether a thread is alive that the interpreter waits for at exit."""
    threading = sys.modules.get("threading")
    if threading is None:
        return False
    main = threading.main_thread()
    return any(t is not main and not t.daemon and t.is_alive() for t in threading.enumerate())


def _flushed() -> bool:
    """Flushes the standard streams; whether all of them could be."""
    try:
        for stream in {sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__}:
            if stream is not None:
                stream.flush()
    except (OutputGone, Exception):
        return False
    return True


def run() -> "NoReturn":
    """Run tessel's main() and exit with its status."""
    # Called by the program's own top level (the tessel script, or
    # `python -m tessel`), nothing but the exit comes after this call.
    caller = sys._getframe(1)
    ends_program = (
        caller.f_code.co_name == "<module>" and caller.f_globals.get("__name__") == "__main__"
    )
    kept = None
    status: "str | int | None"
    try:
        out, give_back, kept = _keep_from_children()
        # With no standard output at all (`tessel ... >&-`), sys.stdout
        # stays None: print() writes nothing and the run goes on.
        if sys.stdout is not None:
            sys.stdout = _line_output(sys.stdout, out)
        try:
            from tessel.tessel import main  # may print warnings already

            status = main()
        finally:
            give_back()
    except SystemExit as exit:  # argparse's help, version and usage errors
        status = exit.code
    except OutputGone as gone:
        # The files made so far stay; nothing more is written, also not at
        # exit.
        sys.stdout = None
        if _reader_gone(gone.error, gone.fd):
            _die("SIGPIPE")
        print(f"tessel: cannot write to standard output: {gone.error}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        _flush()
        if "--debug" in sys.argv:
            raise  # the host prints the traceback and ends with SIGINT
        _die("SIGINT")
    _exit(status, kept if ends_program else None)
