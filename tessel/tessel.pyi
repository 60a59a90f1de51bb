"""tessel's native module: create blank files, with brace expansion,
clipboard copy and desktop notifications."""

import argparse as argparse
import os as os
import re as re
import sys as sys
import traceback as traceback
from pathlib import Path as Path
from typing import Any
from typing import List as List
from typing import Optional as Optional
from typing import Tuple as Tuple

# True when the optional package (clipboard, gntp) could be imported; the
# package itself is then bound as the global clipboard or gntp.
HAS_CLIPBOARD: bool
HAS_GROWL: bool
NAME: str
CustomRichHelpFormatter: type[argparse.HelpFormatter]
__version__: str
__filename__: str
__test__: dict[str, Any]

def get_version() -> str: ...
def main() -> int: ...

class FileCreator:
    icon_path: Path
    # The registered gntp notifier, or None when notifications are off.
    growl: Any
    def __init__(self) -> None: ...
    def _init_growl(self) -> None: ...
    def parse_brace_expansion(self, text: str) -> List[str]: ...
    def create_file(self, filepath: str) -> bool: ...
    def _notify(self, filepath: str) -> None: ...
    def create_files(self, files: List[str]) -> int: ...
