# Shell functions that several scripts here use; sourced, not run.

# python_for WANT prints the path of the interpreter that a PYTHON setting
# names: a version that pyenv has (3.12, 3.13: pyenv's newest of that series;
# 3.13.0), a pythonX.Y on PATH (3.14 finds python3.14, as Debian installs
# it), or the path of a python executable.  Otherwise it says in one line
# what it looked for, and fails.
python_for() {
  local want=$1 prefix has
  if [[ $want == */* ]]; then
    [ -x "$want" ] && { echo "$want"; return 0; }
    echo "PYTHON=$want: no such executable" >&2
    return 1
  fi
  if prefix=$(pyenv prefix "$want" 2>/dev/null) && [ -x "$prefix/bin/python3" ]; then
    echo "$prefix/bin/python3"; return 0
  fi
  command -v "python$want" 2>/dev/null && return 0
  has=$(pyenv versions --bare 2>/dev/null | grep '^3' | paste -sd ' ' || true)
  echo "PYTHON=$want names no interpreter here: pyenv has no $want (it has:" \
       "${has:-nothing}) and there is no python$want on PATH; set PYTHON to a pyenv" \
       "version (3.12, 3.13.0), a version X.Y with pythonX.Y on PATH, or a path" >&2
  return 1
}

# meson before 1.2 asks the target interpreter for distutils, which 3.12 and
# later only have through setuptools: Debian ships that as a wheel
# (python3-setuptools-whl).  meson_needs_setuptools is true for such a meson.
meson_needs_setuptools() {
  dpkg --compare-versions "$(dpkg-query -W -f='${Version}' meson)" lt 1.2
}

# add_setuptools VENV puts that wheel into the environment VENV, unless it
# has setuptools already.
add_setuptools() {
  local site
  site=$("$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  [ -d "$site/setuptools" ] ||
    "$1/bin/pip" install -q --no-index --find-links /usr/share/python-wheels setuptools
}
