"""Command-line entry: ``tessel`` and ``python -m tessel``."""
import sys


def run():
    from tessel.tessel import main
    sys.exit(main())


if __name__ == "__main__":
    run()
