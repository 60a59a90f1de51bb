"""Command-line entry: the ``tessel`` command and ``python -m tessel``."""
import sys


def run():
    """Run tessel's main() and exit with its status."""
    # A file name that is not valid in the locale's encoding reaches us with
    # surrogate escapes; write it back as the bytes it was given as, rather
    # than failing on the line that reports it.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    from tessel.tessel import main
    sys.exit(main())


if __name__ == "__main__":
    # The usage line names the program after argv[0], which here would be
    # this file's name.
    sys.argv[0] = "python -m tessel"
    run()
