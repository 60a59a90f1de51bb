"""Command-line entry: the ``tessel`` command (``run``) and ``python -m
tessel``.  The command itself is in ``tessel/_command.py``; this file only
makes loading it safe: the current folder leaves sys.path first, and a Ctrl-C
while it loads ends the process as one during the run does."""

import os
import sys

if __name__ == "__main__":
    # `python -m` puts the current folder first on sys.path: a file made
    # there, such as typing.py or clipboard.py, must not shadow the modules
    # that tessel imports.
    if not sys.flags.safe_path and sys.path and sys.path[0] in ("", os.getcwd()):
        del sys.path[0]

try:
    from tessel._command import run as run
except KeyboardInterrupt:
    if "--debug" in sys.argv:
        raise
    # As _command._die("SIGINT") does, written here: loading _command again
    # to call it would open a second window for the same Ctrl-C.
    if os.name == "nt":
        sys.exit(0xC000013A - 2**32)  # STATUS_CONTROL_C_EXIT
    import signal

    signal.signal(signal.SIGINT, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGINT)
    raise  # only if the signal could not end the process

if __name__ == "__main__":
    # The usage line names the program after argv[0], which here would be
    # this file's name.
    sys.argv[0] = "python -m tessel"
    run()
