"""The ``tessel`` command around the module's main(), loaded by
``tessel/__main__.py``.

The command behaves as a Unix tool around the module's main():

- each report line is written as soon as it is printed, so that a run that
  is killed or interrupted has listed every file it made, except at most the
  one in progress;
- the first write to standard output that fails ends the run: a reader that
  went away ends it as SIGPIPE ends a Unix tool, any other failure with one
  line on standard error and status 1;
- Ctrl-C ends it as SIGINT does, with no traceback unless --debug is given;
- any output encoding works: a character that it cannot represent is written
  as a backslash escape, and a name that arrived as bytes undecodable in the
  locale is written back as those bytes where the encoding is ASCII-compatible
  (as a \\xNN escape where it is not, as in UTF-16).

It imports only modules that are built in or that the interpreter loads
before it runs any file (typing is for type checkers alone): nothing here can
be shadowed by a file in the current folder, and nothing slow runs before
run() handles a Ctrl-C.
"""
import codecs
import errno
import io
import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer
    from typing import NoReturn, TextIO

# The encoding error handlers of the report, by whether its encoding writes
# a lone byte as that byte.
ERRORS = "tessel.output"
ERRORS_ESCAPED = "tessel.output.escaped"


class OutputGone(BaseException):
    """Standard output can no longer be written.  Not an Exception, so that
    no handler of a single file takes it for that file's failure: it ends
    the whole run."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _Output(io.BufferedIOBase):
    """A file descriptor, written whole at each call (as a buffered stream's
    write promises), failing with OutputGone."""

    def __init__(self, fd: int) -> None:
        super().__init__()
        self._fd = fd

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._fd

    @property
    def name(self) -> int:
        return self._fd

    def write(self, data: "Buffer") -> int:
        view = memoryview(data).cast("B")
        size = view.nbytes
        try:
            while view:
                view = view[os.write(self._fd, view):]
        except OSError as error:
            raise OutputGone(error) from None
        return size


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


def _line_output(stream: "TextIO") -> "TextIO":
    """A line-buffered text stream on stream's descriptor, in its encoding;
    stream itself if it has no descriptor."""
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):
        return stream
    stream.flush()
    errors = ERRORS if _is_ascii_compatible(stream.encoding) else ERRORS_ESCAPED
    return io.TextIOWrapper(_Output(fd), encoding=stream.encoding, errors=errors,
                            line_buffering=True)


def _die(name: str) -> "NoReturn":
    """Ends the process as the default action of the signal named does."""
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


def run() -> "NoReturn":
    """Run tessel's main() and exit with its status."""
    try:
        # With no standard output at all (`tessel ... >&-`), print() writes
        # nothing and the run goes on.
        if sys.stdout is not None:
            sys.stdout = _line_output(sys.stdout)
        from tessel.tessel import main  # may print warnings already
        status = main()
    except OutputGone as gone:
        # The files made so far stay; nothing more is written, also not at
        # exit.
        sys.stdout = None
        if gone.error.errno == errno.EPIPE:
            _die("SIGPIPE")
        print(f"tessel: cannot write to standard output: {gone.error}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        _flush()
        if "--debug" in sys.argv:
            raise  # the host prints the traceback and ends with SIGINT
        _die("SIGINT")
    sys.exit(status)

