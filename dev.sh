#!/usr/bin/env bash
# One entry point for every job on this project: finds CPython 3.9, keeps the pinned nox in .venv-nox
# (made on first use) and runs the nox session named, with the arguments after it (noxfile.py holds the jobs;
# `./dev.sh` lists them). Each session makes or reuses its environment, installs the pinned tools, the
# stand-in host (tests/host/) and then the extension into it, and runs; every step prints one line.
#   ./dev.sh demo              the demo: a host API module whose calls are checked
#   ./dev.sh test [pytest args] the whole test suite (the slow deployment test excepted)
#   ./dev.sh deploy            the deployment test
#   ./dev.sh lint | sanitize | versions | versions-3.13 | latest | bench | peers 3.9 3.12 | soak | dist
#   ./dev.sh wheel | wheels [x86_64|aarch64] | cross clang|mingw|aarch64 | ci
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
NOX=nox==2026.4.10
NOX_VENV=${AC_NOX_VENV:-$ROOT/.venv-nox}

# The interpreter of CPython 3.9, the target: $PYTHON when set, else python3.9 on the PATH, pyenv's, or one
# under the pyenv root.
find_python39() {
  local p root c
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if command -v python3.9 >/dev/null 2>&1 &&
     python3.9 -c "import sys; assert sys.version_info[:2] == (3, 9)" 2>/dev/null; then
    command -v python3.9; return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    p=$(pyenv prefix 3.9 2>/dev/null || true)
    if [ -n "$p" ] && [ -x "$p/bin/python3.9" ]; then echo "$p/bin/python3.9"; return; fi
  fi
  for root in "${PYENV_ROOT:-}" "$HOME/.pyenv"; do
    [ -n "$root" ] || continue
    for c in "$root"/versions/3.9.*/bin/python3.9; do
      [ -x "$c" ] && { echo "$c"; return; }
    done
  done
  echo "dev.sh: no CPython 3.9 found: set PYTHON to a python3.9 interpreter" >&2
  exit 1
}

AC_PYTHON39=$(find_python39)
export AC_PYTHON39
if [ ! -x "$NOX_VENV/bin/python" ]; then
  echo "dev.sh: creating the environment of nox ${NOX_VENV#"$ROOT"/} ($("$AC_PYTHON39" -c \
    'import platform; print("CPython", platform.python_version())'))"
  "$AC_PYTHON39" -m venv "$NOX_VENV"
fi
if [ "$(cat "$NOX_VENV/.nox-stamp" 2>/dev/null || true)" != "$NOX" ]; then
  echo "dev.sh: installing $NOX"
  "$NOX_VENV/bin/python" -m pip install -q --disable-pip-version-check "$NOX" 2>&1 |
    { grep -v "^WARNING: Location '" || true; }
  [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
  echo "$NOX" >"$NOX_VENV/.nox-stamp"
fi

session=${1:-}
if [ -z "$session" ]; then
  sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'
  exec "$NOX_VENV/bin/python" -m nox --noxfile "$ROOT/noxfile.py" --list
fi
shift
# `versions` is the tag of the sessions versions-3.9 to versions-3.13.
select=(--sessions "$session")
[ "$session" != versions ] || select=(--tags versions)
exec "$NOX_VENV/bin/python" -m nox --noxfile "$ROOT/noxfile.py" "${select[@]}" -- "$@"
