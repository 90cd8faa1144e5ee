#!/usr/bin/env bash
# One entry point for every job on this project. Each job creates (or reuses) the virtual environment,
# installs the pinned dependencies, builds the extension into it and runs.
#   ./dev.sh demo        the demo: a host API module whose calls are checked
#   ./dev.sh test        the whole test suite
#   ./dev.sh sanitize    the suite against an AddressSanitizer/UBSan build
#   ./dev.sh bench       the benchmarks (ratios measured side by side)
#   ./dev.sh soak        the long leak soak
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

find_python39() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if command -v python3.9 >/dev/null 2>&1 && python3.9 -c 'import sys; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
    command -v python3.9; return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local p; p=$(pyenv prefix 3.9 2>/dev/null || true)
    if [ -n "$p" ] && [ -x "$p/bin/python3.9" ]; then echo "$p/bin/python3.9"; return; fi
  fi
  local root
  for root in "${PYENV_ROOT:-}" "$HOME/.pyenv"; do
    [ -n "$root" ] || continue
    local c
    for c in "$root"/versions/3.9*/bin/python3.9; do
      [ -x "$c" ] && { echo "$c"; return; }
    done
  done
  echo "no CPython 3.9 found: set PYTHON to a python3.9 interpreter" >&2
  exit 1
}

VENV=${AC_VENV:-$ROOT/.venv}
PY_BASE=""

# pip, with the notes about unused local index locations left out of the output.
pip_quiet() {
  "$VENV/bin/python" -m pip -q --disable-pip-version-check "$@" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  return "${PIPESTATUS[0]}"
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    PY_BASE=$(find_python39)
    "$PY_BASE" -m venv "$VENV"
  fi
  local stamp="$VENV/.requirements-stamp"
  if [ ! -f "$stamp" ] || ! cmp -s "$ROOT/requirements-dev.txt" "$stamp"; then
    pip_quiet install pip==24.3.1
    pip_quiet install -r "$ROOT/requirements-dev.txt"
    cp "$ROOT/requirements-dev.txt" "$stamp"
  fi
}

build() {
  # No build isolation: the pinned build tools come from the environment, and the build directory
  # stays, so a rebuild compiles only what changed.
  pip_quiet install --no-build-isolation --no-deps --config-settings=build-dir="$VENV/build" \
    --config-settings=cmake.define.ARGCHECKER_ONLY_DIRS="${AC_ONLY_DIRS:-}" "$@" "$ROOT"
}

# Runs the suite (or the pytest arguments given) against the sanitizer build: every allocation goes
# through malloc, the ASan runtime is loaded first, and each process writes its reports under
# $VENV/sanitizer-logs. ASan errors abort the process; leaks are reported at exit and judged afterwards
# by tests/sanitizer/scan_logs.py, which fails on any ASan or UBSan report and on any leak with a frame in
# the module. AC_PROFILE (default short) sizes the heavy tests.
sanitizer_suite() {
  local logs="$VENV/sanitizer-logs" runtime="" lib path
  for lib in libasan.so libubsan.so; do
    path=$(g++ -print-file-name=$lib)
    [ -e "$path" ] || { echo "sanitize: $lib not found (g++ -print-file-name=$lib)" >&2; exit 1; }
    runtime="$runtime${runtime:+ }$path"
  done
  rm -rf "$logs"; mkdir -p "$logs"
  local supp="$ROOT/tests/sanitizer/lsan.supp" rc=0
  ( cd "$ROOT/tests" && \
    AC_PROFILE=${AC_PROFILE:-short} AC_SANITIZE=1 PYTHONMALLOC=malloc LD_PRELOAD="$runtime" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:exitcode=0:log_path=$logs/asan:fast_unwind_on_malloc=0:malloc_context_size=20:${AC_ASAN_EXTRA:-}" \
    LSAN_OPTIONS="suppressions=$supp:print_suppressions=0:exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0:log_path=$logs/ubsan" \
    "$VENV/bin/pytest" -p no:cacheprovider -q "$@" ) || rc=$?
  "$VENV/bin/python" "$ROOT/tests/sanitizer/scan_logs.py" "$logs" || { [ "$rc" -ne 0 ] || rc=1; }
  exit "$rc"
}

job=${1:-}
shift || true
case "$job" in
  demo)
    ensure_venv; build
    cd "$ROOT/examples" && exec "$VENV/bin/python" demo.py "$@"
    ;;
  test)
    ensure_venv; build
    cd "$ROOT/tests" && exec "$VENV/bin/pytest" -p no:cacheprovider -q "$@"
    ;;
  bench)
    ensure_venv; build
    cd "$ROOT/bench"
    for b in bench_*.py; do "$VENV/bin/python" "$b" "$@"; done
    ;;
  build)
    ensure_venv; build
    ;;
  sanitize)
    # Its own environment and build directory (AC_ASAN_VENV), so the normal build stays as it is.
    VENV=${AC_ASAN_VENV:-$ROOT/.venv-asan}
    ensure_venv; build --config-settings=cmake.define.ARGCHECKER_SANITIZE=ON
    sanitizer_suite "$@"
    ;;
  soak)
    # The long leak soak: the soak tests with the long profile, then a million rounds of every path.
    ensure_venv; build
    (cd "$ROOT/tests" && AC_PROFILE=long "$VENV/bin/pytest" -p no:cacheprovider -q test_soak.py)
    exec "$VENV/bin/python" "$ROOT/bench/soak.py" "$@"
    ;;
  *)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
