#!/usr/bin/env bash
# One entry point for every job on this project. Each job creates (or reuses) the virtual environment,
# installs the pinned dependencies, then the stand-in host (tests/host/) and then the extension into it,
# as a deployment has them, and runs. Every step prints one line (and pip its own progress).
#   ./dev.sh demo        the demo: a host API module whose calls are checked
#   ./dev.sh test        the whole test suite (the slow deployment test excepted)
#   ./dev.sh deploy      the deployment test: the README's packaging commands, the minimal host of
#                        docs/host-contract.md and the extension in a new environment, uninstall
#   ./dev.sh build       the set-up alone: the environment, the stand-in host, the extension built into it
#   ./dev.sh lint        no compiler-specific spelling outside runtime/portable.h, then clang-format and
#                        clang-tidy over every source and pyright on the typing sample (fails on any finding)
#   ./dev.sh latest      the suite on the newest CPython here with the newest NumPy, pandas, pytest and
#                        hypothesis from the package index (in .venv-latest)
#   ./dev.sh sanitize    the suite against an AddressSanitizer/UBSan build
#   ./dev.sh bench       the benchmarks (ratios measured side by side)
#   ./dev.sh soak        the long leak soak
#   ./dev.sh versions    the suite on CPython 3.9 to 3.13, each found here ("versions 3.13", "versions newest")
#   ./dev.sh dist        the wheel and the sdist into dist/, and what each holds
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

# CPython 3.9, the target: $PYTHON when set, else as find_python_version finds it.
find_python39() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  local p
  p=$(find_python_version 3.9)
  if [ -z "$p" ]; then
    echo "no CPython 3.9 found: set PYTHON to a python3.9 interpreter" >&2
    exit 1
  fi
  echo "$p"
}

VENV=${AC_VENV:-$ROOT/.venv}
PY_BASE=""   # the interpreter a new environment is made from (default: CPython 3.9)
REQUIREMENTS=$ROOT/requirements-dev.txt
REQUIREMENTS_LABEL=requirements-dev.txt

# One line per step, so a first run that takes minutes shows where it is.
say() { echo "dev.sh: $*"; }

# pip, with the notes about unused local index locations left out of the output. pip's own progress
# stays, so a first set-up step that takes minutes is seen to move.
pip_quiet() {
  "$VENV/bin/python" -m pip --disable-pip-version-check "$@" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  return "${PIPESTATUS[0]}"
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    [ -n "$PY_BASE" ] || PY_BASE=$(find_python39)
    say "creating the environment ${VENV#"$ROOT"/} ($("$PY_BASE" -c 'import platform; print("CPython", platform.python_version())'))"
    "$PY_BASE" -m venv "$VENV"
  fi
  local stamp="$VENV/.requirements-stamp"
  if [ ! -f "$stamp" ] || ! cmp -s "$REQUIREMENTS" "$stamp"; then
    say "installing the pinned dependencies ($REQUIREMENTS_LABEL)"
    pip_quiet install pip==24.3.1
    pip_quiet install -r "$REQUIREMENTS"
    cp "$REQUIREMENTS" "$stamp"
  fi
  ensure_host
}

# The stand-in host, a distribution of its own (tests/host/, velmora-standin), installed before the
# extension as a real host is; reinstalled when one of its files changed. The extension is removed
# first and installed again by the build step, so it always merges into the host last (and an older
# build of this repository, whose distribution held the stand-in too, cannot take host files with it).
ensure_host() {
  local stamp="$VENV/.host-stamp" sum
  sum=$(cd "$ROOT/tests/host" && find . -type f ! -path '*/__pycache__/*' ! -path './build/*' | LC_ALL=C sort |
        xargs sha1sum | sha1sum)
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
    say "installing the stand-in host (tests/host, velmora-standin)"
    pip_quiet uninstall -y velmora-argchecker | { grep -v "^WARNING: Skipping" || true; }
    pip_quiet install --no-build-isolation --no-deps --force-reinstall "$ROOT/tests/host"
    echo "$sum" >"$stamp"
  fi
}

build() {
  say "building the extension (velmora-argchecker into ${VENV#"$ROOT"/})"
  # No build isolation: the pinned build tools come from the environment, and the build directory
  # stays, so a rebuild compiles only what changed.
  pip_quiet install --no-build-isolation --no-deps --config-settings=build-dir="$VENV/build" "$@" "$ROOT"
}

# The suite against the sanitizer build. Every allocation goes through malloc, the ASan runtime is loaded
# first, and each process writes its reports under $VENV/sanitizer-logs. ASan errors abort the process;
# leaks are reported at exit. Two passes:
#  1. the whole suite (or the pytest arguments given), with frame-pointer unwinding: fast, but an
#     allocation's stack stops at the first interpreter frame, which has no frame pointer;
#  2. the leak soak and the thread tests, which between them run every path of the module, with full
#     (DWARF) unwinding, so every leak report shows whether the module is on its allocation stack.
# tests/sanitizer/scan_logs.py then fails the job on any ASan or UBSan report and on any leak with a
# frame in the module. AC_PROFILE (default short) sizes the heavy tests.
sanitizer_pass() {  # <log dir> <extra ASAN_OPTIONS> <pytest arguments...>
  local logs=$1 unwind=$2 runtime="" lib path
  shift 2
  for lib in libasan.so libubsan.so; do
    path=$(g++ -print-file-name=$lib)
    [ -e "$path" ] || { echo "sanitize: $lib not found (g++ -print-file-name=$lib)" >&2; exit 1; }
    runtime="$runtime${runtime:+ }$path"
  done
  mkdir -p "$logs"
  ( cd "$ROOT/tests" && \
    AC_PROFILE=${AC_PROFILE:-short} AC_SANITIZE=1 PYTHONMALLOC=malloc LD_PRELOAD="$runtime" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:exitcode=0:log_path=$logs/asan:$unwind" \
    LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0:exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0:log_path=$logs/ubsan" \
    "$VENV/bin/pytest" -p no:cacheprovider -q "$@" )
}

sanitizer_suite() {
  local logs="$VENV/sanitizer-logs" rc=0 so
  so=$(find "$VENV/lib" -name 'argchecker*.so' -path '*velmora/tframe/utils*' | head -1)
  # A build without the sanitizers would pass silently: make sure this one has them.
  if [ -z "$so" ] || ! ldd "$so" | grep libasan >/dev/null; then
    echo "sanitize: $VENV holds no sanitizer build of the module (${so:-not found})" >&2; exit 1
  fi
  rm -rf "$logs"
  echo "sanitize: the suite"
  sanitizer_pass "$logs/suite" "fast_unwind_on_malloc=1:malloc_context_size=30" "$@" || rc=$?
  if [ $# -eq 0 ]; then
    echo "sanitize: every path again, with full allocation stacks"
    sanitizer_pass "$logs/paths" "fast_unwind_on_malloc=0:malloc_context_size=24" test_soak.py test_threads.py \
      || rc=$?
  fi
  "$VENV/bin/python" "$ROOT/tests/sanitizer/scan_logs.py" "$logs" || { [ "$rc" -ne 0 ] || rc=1; }
  exit "$rc"
}

# The CPython versions the module is built and tested for, oldest (the target) first.
SUPPORTED_VERSIONS="3.9 3.10 3.11 3.12 3.13"

# The interpreter of CPython $1 (for example 3.13): pythonX.Y on the PATH, pyenv's, or one under the
# pyenv root. Prints nothing when this machine has none.
find_python_version() {
  local v=$1 p root c
  if command -v "python$v" >/dev/null 2>&1 &&
     "python$v" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$v'" 2>/dev/null; then
    command -v "python$v"; return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    p=$(pyenv prefix "$v" 2>/dev/null || true)
    if [ -n "$p" ] && [ -x "$p/bin/python$v" ]; then echo "$p/bin/python$v"; return; fi
  fi
  for root in "${PYENV_ROOT:-}" "$HOME/.pyenv"; do
    [ -n "$root" ] || continue
    for c in "$root"/versions/"$v".*/bin/python"$v"; do
      [ -x "$c" ] && { echo "$c"; return; }
    done
  done
  return 0
}

# The newest supported CPython version installed here (3.9 when there is no other).
newest_version() {
  local v newest=3.9
  for v in $SUPPORTED_VERSIONS; do [ -z "$(find_python_version "$v")" ] || newest=$v; done
  echo "$newest"
}

# pytest in tests/ with the arguments given. No test run is a failure too (pytest's exit code 5), with
# a line that says so.
run_pytest() {
  local rc=0
  ( cd "$ROOT/tests" && "$VENV/bin/pytest" -p no:cacheprovider -q "$@" ) || rc=$?
  [ "$rc" -ne 5 ] || echo "dev.sh: pytest ran no test" >&2
  return "$rc"
}

# Runs the suite on several CPython versions, each in its own environment and build: 3.9 in the usual
# one ($AC_VENV or .venv), any other version X in "<that path>-X" (.venv-3.13). Arguments: versions
# (default: every supported one; "newest": the newest one installed here), then pytest arguments.
# A version this machine does not have is reported and skipped. Ends with one line of totals.
versions_suite() {
  local base=$VENV v py newest="" line rc=0 passed=0 failed=0 n
  local -a wanted=() args=() results=()
  for a in "$@"; do
    case "$a" in
      3.[0-9]|3.[0-9][0-9])
        [[ " $SUPPORTED_VERSIONS " == *" $a "* ]] || { echo "versions: $a is not one of $SUPPORTED_VERSIONS" >&2; exit 2; }
        wanted+=("$a") ;;
      newest)
        wanted+=("$(newest_version)") ;;
      *) args+=("$a") ;;
    esac
  done
  [ ${#wanted[@]} -gt 0 ] || read -r -a wanted <<<"$SUPPORTED_VERSIONS"
  for v in "${wanted[@]}"; do
    if [ "$v" = 3.9 ]; then VENV=$base; else VENV=$base-$v; fi
    # The 3.9 environment is the usual one, made by ensure_venv ($PYTHON honoured).
    PY_BASE=""
    if [ ! -x "$VENV/bin/python" ] && [ "$v" != 3.9 ]; then
      PY_BASE=$(find_python_version "$v")
      if [ -z "$PY_BASE" ]; then results+=("$v: not installed here, skipped"); continue; fi
    fi
    echo "== CPython $v ($VENV)"
    ensure_venv
    if ! "$VENV/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$v'"; then
      echo "versions: $VENV is not a CPython $v environment; remove it" >&2; exit 1
    fi
    build
    say "running the tests"
    run_pytest ${args[@]+"${args[@]}"} | tee "$VENV/versions-last.log" || rc=1
    line=$(tail -n 1 "$VENV/versions-last.log")
    results+=("$v: ${line//=/}")
    n=$(grep -o '[0-9]* passed' <<<"$line" | cut -d' ' -f1 || true); passed=$((passed + ${n:-0}))
    n=$(grep -o '[0-9]* failed' <<<"$line" | cut -d' ' -f1 || true); failed=$((failed + ${n:-0}))
    n=$(grep -o '[0-9]* error' <<<"$line" | cut -d' ' -f1 || true); failed=$((failed + ${n:-0}))
  done
  echo "== versions"
  printf '  %s\n' "${results[@]}"
  echo "versions: $passed passed, $failed failed"
  return $rc
}

# The suite on the newest CPython installed here with the newest NumPy, pandas, pytest and hypothesis the
# package index offers for it, in its own environment ($AC_VENV or .venv, with "-latest"), so the
# pinned ones stay as they are. The other tools (mypy, the build tools) stay pinned.
latest_suite() {
  local v
  v=$(newest_version)
  local latest="numpy pandas pytest hypothesis"
  VENV=$VENV-latest
  if [ ! -x "$VENV/bin/python" ]; then PY_BASE=$(find_python_version "$v"); fi
  # The pinned requirements without the four, so a new environment does not fetch the pinned ones too.
  mkdir -p "$VENV"
  REQUIREMENTS=$VENV/requirements-pinned-rest.txt
  grep -v -E "^($(tr ' ' '|' <<<"$latest"))[=; <>]" "$ROOT/requirements-dev.txt" >"$REQUIREMENTS.new"
  cmp -s "$REQUIREMENTS.new" "$REQUIREMENTS" || mv "$REQUIREMENTS.new" "$REQUIREMENTS"
  rm -f "$REQUIREMENTS.new"
  REQUIREMENTS_LABEL="requirements-dev.txt but for $latest"
  ensure_venv
  say "installing the newest NumPy, pandas, pytest and hypothesis for CPython $v"
  # shellcheck disable=SC2086
  pip_quiet install --upgrade $latest
  say "$("$VENV/bin/python" -c 'from importlib.metadata import version as v; import platform
print("CPython %s, " % platform.python_version() + ", ".join("%s %s" % (n, v(n)) for n in ("numpy", "pandas", "pytest", "hypothesis")))')"
  build
  say "running the tests"
  run_pytest "$@"
}

# The wheel and the sdist, as a user builds them (`pip wheel .` with build isolation; the sdist by the
# build backend), into $AC_DIST_DIR (default dist/), and the files each holds.
dist_build() {
  local out=${AC_DIST_DIR:-$ROOT/dist}
  mkdir -p "$out"
  rm -f "$out"/velmora_argchecker-*
  say "building the wheel (pip wheel, build isolation)"
  "$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$out" "$ROOT" 2>&1 |
    { grep -v "^WARNING: Location '" || true; }
  say "building the sdist"
  ( cd "$ROOT" && "$VENV/bin/python" -c 'import sys; from scikit_build_core.build import build_sdist
build_sdist(sys.argv[1])' "$out" >/dev/null )
  "$VENV/bin/python" - "$out" <<'PY'
import glob, os, sys, tarfile, zipfile
for path in sorted(glob.glob(os.path.join(sys.argv[1], "velmora_argchecker-*"))):
    if path.endswith(".whl"):
        names = zipfile.ZipFile(path).namelist()
    else:
        names = [m.name for m in tarfile.open(path).getmembers() if m.isfile()]
    print("%s: %d files" % (path, len(names)))
    for n in sorted(names):
        print("  " + n)
PY
}

# No compiler-specific spelling outside runtime/portable.h, then `.clang-format` and `.clang-tidy` over
# every source, with the pinned tools of requirements-lint.txt and a compilation database of the
# extension's own build settings. Fails on any finding.
lint_sources() {
  local stamp="$VENV/.lint-stamp" db="$VENV/lint-build" sources spelled
  # Compiler-specific spellings live in runtime/portable.h, whose macros have an MSVC branch; the array
  # scan's GNU vector code keeps its own three (vector_size, target("avx2"), the -Wpsabi pragma).
  say "compiler-specific spellings outside runtime/portable.h"
  spelled=$(cd "$ROOT" && grep -rnE '__attribute__|__builtin_|\[\[gnu::|#pragma (GCC|clang)|__declspec|__forceinline|__assume' src |
    grep -v '^src/argchecker/runtime/portable\.h:' |
    grep -vE '^src/argchecker/validators/ndarray_scan\.cpp:[0-9]+:.*(vector_size\(|target\("avx2"\)|"-Wpsabi")' || true)
  if [ -n "$spelled" ]; then
    printf '%s\n' "$spelled" >&2
    echo "lint: compiler-specific spelling outside src/argchecker/runtime/portable.h: use its AC_ macros" \
      "(AC_NOINLINE, AC_COLD, AC_ALWAYS_INLINE, AC_LIKELY, cpu_has_avx2, ...) or add one there with an MSVC" \
      "branch (docs/platforms.md)" >&2
    exit 1
  fi
  if [ ! -f "$stamp" ] || ! cmp -s "$ROOT/requirements-lint.txt" "$stamp"; then
    say "installing the lint tools (requirements-lint.txt)"
    pip_quiet install -r "$ROOT/requirements-lint.txt"
    cp "$ROOT/requirements-lint.txt" "$stamp"
  fi
  say "configuring a compilation database"
  PATH="$VENV/bin:$PATH" cmake -S "$ROOT" -B "$db" -G Ninja -DPython_EXECUTABLE="$VENV/bin/python" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$db.log" 2>&1 || { cat "$db.log" >&2; exit 1; }
  mapfile -t sources < <(cd "$ROOT" && git ls-files 'src/*.cpp' 'src/*.h' 2>/dev/null || find src -name '*.cpp' -o -name '*.h')
  say "clang-format: ${#sources[@]} files"
  (cd "$ROOT" && "$VENV/bin/clang-format" --dry-run -Werror "${sources[@]}")
  say "clang-tidy"
  local out
  if ! out=$(cd "$ROOT" && "$VENV/bin/clang-tidy" -p "$db" --quiet $(printf '%s\n' "${sources[@]}" | grep '\.cpp$') 2>&1); then
    grep -v -E "warnings? generated|^\[[0-9]+/[0-9]+\] Processing file" <<<"$out" >&2
    exit 1
  fi
  # The typing sample, an API module using every public feature, against the installed stub, as
  # pyright reads it (PYRIGHT_PYTHON_IGNORE_WARNINGS: no look-up of a newer pyright).
  say "pyright: tests/typing_sample.py against the installed stub"
  (cd "$ROOT/tests" && PYRIGHT_PYTHON_IGNORE_WARNINGS=1 "$VENV/bin/pyright" --pythonpath "$VENV/bin/python" typing_sample.py)
  say "lint: no findings"
}

job=${1:-}
shift || true
# An unpacked sdist holds what builds and tests the extension, not the demo or the benchmarks.
case "$job" in demo|bench|soak)
  [ -d "$ROOT/examples" ] && [ -d "$ROOT/bench" ] || { echo "dev.sh: $job needs examples/ and bench/ of a clone" >&2; exit 2; } ;;
esac
case "$job" in
  demo)
    ensure_venv; build
    say "running the demo"
    cd "$ROOT/examples" && exec "$VENV/bin/python" demo.py "$@"
    ;;
  test)
    ensure_venv; build
    say "running the tests"
    run_pytest "$@"
    ;;
  deploy)
    # The deployment test builds its wheels from a new sdist with the pinned build tools of this
    # environment, and installs them into a new one; the suite's own build is not used.
    ensure_venv
    say "running the deployment test"
    run_pytest -m slow test_deployment.py "$@"
    ;;
  latest)
    latest_suite "$@"
    ;;
  lint)
    ensure_venv; build
    lint_sources "$@"
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
    ensure_venv; build --config-settings=cmake.define.ARGCHECKER_SANITIZE=ON --config-settings=install.strip=false
    sanitizer_suite "$@"
    ;;
  soak)
    # The long leak soak: the soak tests with the long profile, then a million rounds of every path.
    ensure_venv; build
    (cd "$ROOT/tests" && AC_PROFILE=long "$VENV/bin/pytest" -p no:cacheprovider -q test_soak.py)
    exec "$VENV/bin/python" "$ROOT/bench/soak.py" "$@"
    ;;
  versions)
    versions_suite "$@"
    ;;
  dist)
    ensure_venv
    dist_build
    ;;
  *)
    sed -n '2,/^[^#]/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 2
    ;;
esac
