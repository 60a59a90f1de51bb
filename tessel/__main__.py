"""Command-line entry: the ``tessel`` command and ``python -m tessel``."""
import os
import sys


def run():
    """Run tessel's main() and exit with its status."""
    # A file name that is not valid in the locale's encoding reaches us with
    # surrogate escapes; write it back as the bytes it was given as, rather
    # than failing on the line that reports it.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    try:
        from tessel.tessel import main  # may print warnings already
        status = main()
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        # The reader of our output has gone (`tessel ... | head`): the files
        # made so far stay, the run counts as failed, and nothing more is
        # written, also not by the flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        sys.exit(1)
    sys.exit(status)


if __name__ == "__main__":
    # The usage line names the program after argv[0], which here would be
    # this file's name.
    sys.argv[0] = "python -m tessel"
    run()
