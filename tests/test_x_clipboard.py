"""The real X clipboard: under Xvfb, `tessel x/a.txt` leaves the absolute path
of x/a.txt on the clipboard, read back with xclip."""
import os
import shutil
from pathlib import Path

import pytest

from conftest import GNTP_MISSING, TESSEL, TESTS, child_env, ok, run_tessel, summary

# Debian's python3-pyperclip, pure Python, made importable by 3.12 alone.
PYPERCLIP = Path("/usr/lib/python3/dist-packages/pyperclip")

pytestmark = pytest.mark.skipif(not (shutil.which("xvfb-run") and shutil.which("xclip")),
                                reason="needs xvfb-run and xclip (Debian: xvfb xclip)")


def test_path_lands_on_the_x_clipboard(tmp_path):
    assert PYPERCLIP.is_dir(), "needs Debian's python3-pyperclip"
    links = tmp_path / "links"
    links.mkdir()
    (links / "pyperclip").symlink_to(PYPERCLIP)
    work = tmp_path / "work"
    work.mkdir()
    env = child_env(False, PYTHONPATH=os.pathsep.join([str(TESTS / "standins_x"), str(links)]),
                    DISPLAY=None, WAYLAND_DISPLAY=None)
    p = run_tessel(work, "-a", "sh", "-c",
                   '"$0" x/a.txt > tessel.out; echo $? > status; xclip -o -selection clipboard > clip',
                   TESSEL, command=("xvfb-run",), env=env)
    assert p.returncode == 0, p.stderr
    made = os.path.join(os.path.realpath(work), "x", "a.txt")
    assert (work / "status").read_text() == "0\n"
    assert (work / "tessel.out").read_text().splitlines() == [
        GNTP_MISSING,
        ok(made), *summary(1, 1)]
    assert (work / "clip").read_text() == made
    assert os.path.isfile(made)
