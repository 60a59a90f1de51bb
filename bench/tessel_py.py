"""The tessel command written in pure Python, as the baseline of its start-up
and per-file costs: the same imports, probes, version lookup, argument
parsing, regrouping, host calls and report, run by `bench/tessel-py` (a
console script's three lines).  Its output is tessel's for every command
line that the benchmark runs (run.py checks that)."""

import argparse
import os  # noqa: F401  (imported as tessel imports it)
import re
import sys
import traceback
from pathlib import Path
from typing import List, Optional, Tuple  # noqa: F401  (as tessel)

try:
    from quorlin import CustomRichHelpFormatter  # noqa: F401  (probed as tessel does)
except BaseException:
    CustomRichHelpFormatter = argparse.RawTextHelpFormatter
try:
    import clipboard

    HAS_CLIPBOARD = True
except ImportError:
    HAS_CLIPBOARD = False
    print("Warning: clipboard module not available. Install with: pip install clipboard")
try:
    import gntp.notifier  # noqa: F401  (probed as tessel does)

    HAS_GROWL = True
except ImportError:
    HAS_GROWL = False
    print("Warning: gntp module not available. Install with: pip install gntp")
NAME = "tessel"


def get_version():
    try:
        version_file = Path(__file__).parent / "__version__.py"
        if not version_file.is_file():
            version_file = Path(__file__).parent / NAME / "__version__.py"
        if version_file.is_file():
            with open(version_file, "r") as lines:
                for line in lines:
                    if line.strip().startswith("version"):
                        parts = line.split("=")
                        if len(parts) == 2:
                            return parts[1].strip().strip('"').strip("'")
    except Exception as e:
        print(f"ERROR: {e}")
    return "2.0"


__version__ = get_version()
__filename__ = Path(__file__).name
EPILOG = "\nExamples:\n  tessel file.txt    # Create single file\n"


class FileCreator:
    def __init__(self):
        self.icon_path = Path(__file__).parent / "tessel.jpg"
        self.growl = None

    def _notify(self, filepath):
        if not self.growl or not HAS_GROWL:
            return

    def parse_brace_expansion(self, text):
        match = re.search(r"([^{]*)\{([^}]+)\}([^{]*)", text)
        if not match:
            return [text]
        prefix, items_str, suffix = match.group(1), match.group(2), match.group(3)
        if prefix and not prefix.endswith(("/", "\\")):
            prefix = prefix + "/"
        items = []
        for part in items_str.split(","):
            items.extend(part.strip().split())
        return [prefix + item + suffix for item in items]

    def create_file(self, filepath):
        try:
            file_path = Path(filepath)
            file_path.parent.mkdir(parents=True, exist_ok=True)
            file_path.touch(exist_ok=True)
            if HAS_CLIPBOARD:
                clipboard.copy(str(file_path.absolute()))
            self._notify(str(file_path))
            print(f'\u2713 File created: "{file_path.absolute()}"')
            return True
        except Exception as e:
            print(f'\u2717 Error creating file "{filepath}": {e}')
            if "--debug" in sys.argv:
                print(traceback.format_exc())
            return False

    def create_files(self, files):
        all_files = []
        for file_arg in files:
            if "{" in file_arg and "}" in file_arg:
                all_files.extend(self.parse_brace_expansion(file_arg))
            else:
                all_files.append(file_arg)
        return sum(1 for f in all_files if self.create_file(f))


def main():
    parser = argparse.ArgumentParser(
        description="Create blank files with notification support",
        formatter_class=CustomRichHelpFormatter,
        epilog=EPILOG,
    )
    parser.add_argument(
        "files", metavar="FILE", nargs="*", help="File(s) to create. Supports brace expansion."
    )
    parser.add_argument(
        "--version", action="version", version=f"tessel v{__version__} by the tessel developers"
    )
    parser.add_argument("--debug", action="store_true", help="Show detailed error messages")
    if len(sys.argv) == 1:
        parser.print_help()
        return 0
    args = parser.parse_args()
    if not args.files:
        parser.print_help()
        return 0
    file_list, current, in_braces = [], [], False
    for char in " ".join(args.files):
        if char == "{":
            in_braces = True
        elif char == "}":
            in_braces = False
        elif char == " " and not in_braces:
            if current:
                file_list.append("".join(current))
                current = []
            continue
        current.append(char)
    if current:
        file_list.append("".join(current))
    creator = FileCreator()
    success_count = creator.create_files(file_list)
    total_expected = sum(
        len(creator.parse_brace_expansion(f)) if "{" in f and "}" in f else 1 for f in file_list
    )
    print(f"\n{success_count}/{total_expected} file(s) created successfully")
    return 0 if success_count == total_expected else 1
