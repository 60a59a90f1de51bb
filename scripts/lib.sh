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

# need_debs PACKAGE... installs the Debian packages named that are not
# installed yet.
need_debs() {
  local missing=() d
  for d in "$@"; do
    dpkg-query -W -f='${Status}' "$d" 2>/dev/null | grep -q 'install ok installed' || missing+=("$d")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# make_venv PYTHON DIR makes DIR a virtual environment of PYTHON with a pip
# that knows dependency groups (25.1 and later); one made with another
# interpreter is made anew.
make_venv() {
  local py=$1 venv=$2
  if [ -x "$venv/bin/python" ] &&
     [ "$("$venv/bin/python" -c 'import sys; print(sys.version)')" != "$("$py" -c 'import sys; print(sys.version)')" ]; then
    rm -rf "$venv"
  fi
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade 'pip>=25.1'
}
