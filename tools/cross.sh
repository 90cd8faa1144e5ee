#!/usr/bin/env bash
# The shell steps of the portable wheels and the cross checks, which noxfile.py's sessions wheels, wheel and
# cross call one at a time (the environments they need are made there):
#   tools/cross.sh apt-need <package...>             Debian packages, installed with apt-get when missing
#   tools/cross.sh zig-wheel <arch> <python>         a manylinux2014 wheel; its path in .cache/cross/wheel-<arch>
#   tools/cross.sh aarch64-sysroot                   Debian's arm64 CPython under qemu, in .cache/cross
#   tools/cross.sh aarch64-suite <wheel> <requirements> [pytest arguments]
#   tools/cross.sh mingw                             every source compiled and linked into a Windows .pyd
# What they fetch (Debian's arm64 packages and CPython's source package, the aarch64 wheels from the package
# index) and what they build stays under .cache/cross (ignored by git), so a rerun fetches and compiles only
# what changed. CROSS_VENV (default .venv-cross) holds the pinned cross tools.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
CROSS=${AC_CROSS_CACHE:-$ROOT/.cache/cross}
CROSS_VENV=${AC_CROSS_VENV:-$ROOT/.venv-cross}
VENV=$CROSS_VENV
# Debian 12's python3: the aarch64 interpreter the suite runs on under qemu, and the version of CPython's
# Windows headers. The cross builds run from a CPython of the same version here (in .venv-cross).
CROSS_PY=3.11
CROSS_PY_NODOT=${CROSS_PY/./}

say() { echo "dev.sh: $*"; }

# pip, with the notes about unused local index locations left out of the output.
pip_quiet() {
  "$VENV/bin/python" -m pip --disable-pip-version-check "$@" 2>&1 | { grep -v "^WARNING: Location '" || true; }
  return "${PIPESTATUS[0]}"
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

# The aarch64 wheel under qemu: the aarch64 wheels of the requirements given (the test dependencies) from
# the package index, the stand-in host, then the extension, into .cache/cross/site-aarch64 (made anew each
# run); the suite (or the pytest arguments given) with it on PYTHONPATH.
wheel_suite_aarch64() {  # <wheel> <requirements file> <pytest arguments...>
  local wheel=$1 req=$2 site=$CROSS/site-aarch64 dl=$CROSS/wheels-aarch64 rc=0
  local py=$CROSS/sysroot-aarch64/usr/bin/python3-qemu
  local -a plat=(--platform manylinux2014_aarch64 --python-version "$CROSS_PY" --implementation cp
                 --abi "cp$CROSS_PY_NODOT" --only-binary=:all:)
  shift 2
  say "fetching the aarch64 wheels of the test dependencies (into ${dl#"$ROOT"/})"
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

what=${1:-}
shift || true
case "$what" in
  apt-need) apt_need "$@" ;;
  zig-wheel) mkdir -p "$CROSS"; zig_wrappers; zig_wheel "$@"; echo "$WHEEL" >"$CROSS/wheel-$1" ;;
  aarch64-sysroot) aarch64_sysroot ;;
  aarch64-suite) wheel_suite_aarch64 "$@" ;;
  mingw) cross_mingw ;;
  *) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
