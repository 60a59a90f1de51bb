"""Stand-in for the optional help-formatter package."""

import argparse


class CustomRichHelpFormatter(argparse.RawTextHelpFormatter):
    pass
