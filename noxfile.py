"""The project's jobs, one nox session each. `./dev.sh <session> [arguments]` runs one (dev.sh finds CPython
3.9 and keeps the pinned nox in .venv-nox); `./dev.sh` lists them. The arguments go to pytest where a session
runs the suite (`./dev.sh test behaviour/test_dates.py -x`).

nox makes no environment here: each session makes (or reuses) its own where it always was (.venv, .venv-3.13,
.venv-asan, ...), installs the pinned tools of a group of pyproject.toml's [dependency-groups] when the
group changed, then the stand-in host (tests/host/) and then the extension into it, as a deployment has
them. Every step prints one line (and pip its own progress).
"""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile
from pathlib import Path

import nox
import nox.project

nox.needs_version = ">=2025.2.9"
nox.options.default_venv_backend = "none"

ROOT = Path(__file__).resolve().parent
TESTS = ROOT / "tests"
HOST = TESTS / "host"
SANITIZER = TESTS / "reliability" / "sanitizer"
DEPLOYMENT_TEST = "packaging/test_deployment.py"  # relative to tests/, as pytest is run from there
SOAK_TESTS = ("reliability/test_soak.py", "reliability/test_threads.py")
TYPING_SAMPLE = "packaging/typing_sample.py"
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
PIP = "pip==24.3.1"
# The CPython versions the module is built and tested for, oldest (the target) first.
SUPPORTED = ("3.9", "3.10", "3.11", "3.12", "3.13")
VENV = Path(os.environ.get("AC_VENV") or ROOT / ".venv")
CROSS_VENV = Path(os.environ.get("AC_CROSS_VENV") or ROOT / ".venv-cross")
CROSS_SH = ROOT / "tools" / "cross.sh"
CROSS_PY = "3.11"  # the aarch64 interpreter's version (Debian 12's python3), see tools/cross.sh
# What installs from the package index: the four of `./dev.sh latest`.
LATEST = ("numpy", "pandas", "pytest", "hypothesis")


def say(text):
    print("dev.sh: " + text, flush=True)


def rel(path):
    return os.path.relpath(path, ROOT) if str(path).startswith(str(ROOT)) else str(path)


def run(session, *cmd, cwd=None, env=None, pip=False):
    """Runs a command, its output as it comes (pip's notes about unused local index locations left out);
    its failure ends the session with the command's exit code in the message. pytest's "no tests ran"
    (exit code 5) is a failure too."""
    cmd = [str(c) for c in cmd]
    env = dict(os.environ, **(env or {}))
    if not pip:
        rc = subprocess.call(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL)
    else:
        p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for line in p.stdout:
            if not line.startswith(("WARNING: Location '", "WARNING: Skipping")):
                print(line, end="", flush=True)
        rc = p.wait()
    if rc == 5 and Path(cmd[0]).name == "pytest":
        session.error("pytest ran no test (exit code 5)")
    if rc:
        session.error("exit code %d: %s" % (rc, " ".join(cmd)))


def pip(session, venv, *args):
    run(session, Path(venv) / "bin" / "python", "-m", "pip", "--disable-pip-version-check", *args, pip=True)


def python_version(python):
    return subprocess.run([str(python), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                          capture_output=True, text=True).stdout.strip()


def find_python(version):
    """The interpreter of CPython <version>: for 3.9 $PYTHON when set, or the one dev.sh found; else
    pythonX.Y on the PATH, pyenv's, or one under the pyenv root. None when this machine has none."""
    for name in ("PYTHON", "AC_PYTHON39") if version == "3.9" else ():
        if os.environ.get(name):
            return os.environ[name]
    candidates = [shutil.which("python" + version)]
    if shutil.which("pyenv"):
        prefix = subprocess.run(["pyenv", "prefix", version], capture_output=True, text=True).stdout.strip()
        candidates.append(prefix and os.path.join(prefix, "bin", "python" + version))
    for root in (os.environ.get("PYENV_ROOT"), os.path.expanduser("~/.pyenv")):
        if root:
            candidates += sorted(glob.glob(os.path.join(root, "versions", version + ".*", "bin", "python" + version)))
    return next((c for c in candidates if c and python_version(c) == version), None)


def newest_version():
    """The newest supported CPython version installed here (3.9 when there is no other)."""
    return next(v for v in reversed(SUPPORTED) if v == "3.9" or find_python(v))


def group(name, leave_out=()):
    """The pins of a dependency group, those of the packages named in leave_out left out."""
    return [r for r in nox.project.dependency_groups(PYPROJECT, name)
            if re.split(r"[\[=<>; ]", r, maxsplit=1)[0] not in leave_out]


def install_group(session, venv, name, pins, stamp_name=".requirements-stamp"):
    """The pins into the environment, unless they are the ones installed last."""
    stamp = Path(venv) / stamp_name
    text = "\n".join([PIP] + pins) + "\n"
    if stamp.exists() and stamp.read_text() == text:
        return
    say("installing the pinned dependencies (the %s group of pyproject.toml)" % name)
    requirements = Path(venv) / ("requirements-%s.txt" % name)
    requirements.write_text(text)
    pip(session, venv, "install", PIP)
    pip(session, venv, "install", "-r", requirements)
    stamp.write_text(text)


def ensure_env(session, venv=VENV, version="3.9", pins_of="dev", leave_out=(), host=True):
    """The environment <venv> of CPython <version>, made when missing, with the pins of a group and the
    stand-in host. Skips the session when this machine has no CPython <version> to make it from."""
    venv = Path(venv)
    python = venv / "bin" / "python"
    if not python.exists():
        base = find_python(version)
        if not base:
            if version == "3.9":
                session.error("no CPython 3.9 found: set PYTHON to a python3.9 interpreter")
            session.skip("no CPython %s found here" % version)
        say("creating the environment %s (CPython %s)" % (rel(venv), version))
        run(session, base, "-m", "venv", venv)
    if python_version(python) != version:
        session.error("%s is not a CPython %s environment; remove it" % (rel(venv), version))
    install_group(session, venv, pins_of, group(pins_of, leave_out))
    if host:
        ensure_host(session, venv)
    return venv


def ensure_host(session, venv):
    """The stand-in host, a distribution of its own (velmora-standin), installed before the extension as a
    real host is; again when one of its files changed. The extension is removed first and installed again
    by the build step, so it always merges into the host last (and an older build of this repository, whose
    distribution held the stand-in too, cannot take host files with it)."""
    digest = hashlib.sha1()
    for path in sorted(p for p in HOST.rglob("*") if p.is_file() and "__pycache__" not in p.parts
                       and p.relative_to(HOST).parts[0] != "build"):
        digest.update(str(path.relative_to(HOST)).encode() + b"\0" + path.read_bytes())
    stamp = venv / ".host-stamp"
    if stamp.exists() and stamp.read_text() == digest.hexdigest():
        return
    say("installing the stand-in host (tests/host, velmora-standin)")
    pip(session, venv, "uninstall", "-y", "-q", "velmora-argchecker")
    pip(session, venv, "install", "--no-build-isolation", "--no-deps", "--force-reinstall", HOST)
    stamp.write_text(digest.hexdigest())


def build(session, venv=VENV, *settings):
    """The extension into the environment. No build isolation: the pinned build tools come from the
    environment, and the build directory stays, so a rebuild compiles only what changed."""
    say("building the extension (velmora-argchecker into %s)" % rel(venv))
    pip(session, venv, "install", "--no-build-isolation", "--no-deps", "--config-settings=build-dir=%s/build" % venv,
        *settings, ROOT)


def installed_module(venv):
    """The extension's .so in the environment's host tree, or None."""
    return next(iter(glob.glob("%s/lib/*/site-packages/velmora/tframe/utils/argchecker*.so" % venv)), None)


def pytest(session, venv, *args, env=None):
    say("running the tests")
    run(session, Path(venv) / "bin" / "pytest", "-p", "no:cacheprovider", "-q", *args, cwd=TESTS, env=env)


def needs_clone(session):
    # An unpacked sdist holds what builds and tests the extension, not the demo or the benchmarks.
    if not (ROOT / "bench").is_dir():
        session.error("%s needs examples/ and bench/ of a clone" % session.name)


@nox.session
def demo(session):
    """The demo: a host API module whose calls are checked."""
    needs_clone(session)
    build(session, ensure_env(session))
    say("running the demo")
    run(session, VENV / "bin" / "python", "demo.py", *session.posargs, cwd=ROOT / "examples")


@nox.session
def test(session):
    """The whole test suite (the slow deployment test excepted)."""
    build(session, ensure_env(session))
    pytest(session, VENV, *session.posargs)


@nox.session
def deploy(session):
    """The deployment test (slow): the README's packaging commands, the minimal host, uninstall.

    The minimal host of docs/host-contract.md and the extension go into a new environment. It builds its
    wheels from a new sdist with the pinned build tools of this environment; the suite's own build is not
    used."""
    ensure_env(session)
    pytest(session, VENV, "-m", "slow", DEPLOYMENT_TEST, *session.posargs)


@nox.session(name="build")
def build_only(session):
    """The set-up alone: the environment, the stand-in host, the extension built into it."""
    build(session, ensure_env(session))


@nox.session
def lint(session):
    """Compiler-specific spellings, clang-format, clang-tidy, pyright; fails on any finding.

    No compiler-specific spelling outside runtime/portable.h, then clang-format and clang-tidy over every
    source, with a compilation database of the extension's own build settings, and pyright on the typing
    sample against the installed stub."""
    venv = ensure_env(session)
    build(session, venv)
    # Compiler-specific spellings live in runtime/portable.h, whose macros have an MSVC branch; the array
    # scan's GNU vector code keeps its own three (vector_size, target("avx2"), the -Wpsabi pragma).
    say("compiler-specific spellings outside runtime/portable.h")
    sources = subprocess.run(["git", "ls-files", "src/*.cpp", "src/*.h"], cwd=ROOT, capture_output=True,
                             text=True).stdout.split() or sorted(
        rel(p) for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".h"))
    spelled = []
    for source in sources:
        for n, line in enumerate((ROOT / source).read_text().splitlines(), 1):
            if (re.search(r'__attribute__|__builtin_|\[\[gnu::|#pragma (GCC|clang)|__declspec|__forceinline|__assume',
                          line) and not source.endswith("runtime/portable.h")
                    and not (source.endswith("validators/ndarray_scan.cpp")
                             and re.search(r'vector_size\(|target\("avx2"\)|"-Wpsabi"', line))):
                spelled.append("%s:%d:%s" % (source, n, line))
    if spelled:
        print("\n".join(spelled), file=sys.stderr)
        session.error("compiler-specific spelling outside src/argchecker/runtime/portable.h: use its AC_ macros "
                      "(AC_NOINLINE, AC_COLD, AC_ALWAYS_INLINE, AC_LIKELY, cpu_has_avx2, ...) or add one there "
                      "with an MSVC branch (docs/platforms.md)")
    install_group(session, venv, "lint", group("lint"), ".lint-stamp")
    say("configuring a compilation database")
    db = venv / "lint-build"
    with open("%s.log" % db, "w") as log:
        if subprocess.call(["cmake", "-S", ROOT, "-B", db, "-G", "Ninja", "-DPython_EXECUTABLE=%s/bin/python" % venv,
                            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"], stdout=log, stderr=subprocess.STDOUT,
                           env=dict(os.environ, PATH="%s/bin:%s" % (venv, os.environ["PATH"]))):
            session.error("cmake failed: %s.log" % db)
    say("clang-format: %d files" % len(sources))
    run(session, venv / "bin" / "clang-format", "--dry-run", "-Werror", *sources, cwd=ROOT)
    say("clang-tidy")
    tidy = subprocess.run([str(venv / "bin" / "clang-tidy"), "-p", str(db), "--quiet",
                           *[s for s in sources if s.endswith(".cpp")]], cwd=ROOT, capture_output=True, text=True)
    if tidy.returncode:
        print("\n".join(line for line in (tidy.stdout + tidy.stderr).splitlines()
                        if not re.search(r"warnings? generated|^\[\d+/\d+\] Processing file", line)), file=sys.stderr)
        session.error("clang-tidy found something")
    # The typing sample, an API module using every public feature, against the installed stub, as pyright
    # reads it (PYRIGHT_PYTHON_IGNORE_WARNINGS: no look-up of a newer pyright).
    say("pyright: tests/%s against the installed stub" % TYPING_SAMPLE)
    run(session, venv / "bin" / "pyright", "--pythonpath", venv / "bin" / "python", TYPING_SAMPLE, cwd=TESTS,
        env={"PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"})
    say("lint: no findings")


@nox.session
def sanitize(session):
    """The suite against an AddressSanitizer/UBSan build (.venv-asan); fails on any finding.

    Its own environment and build directory (AC_ASAN_VENV, default .venv-asan), so the normal build stays
    as it is.

    Every allocation goes through malloc, the ASan runtime is loaded first, and each process writes its
    reports under <venv>/sanitizer-logs. ASan errors abort the process; leaks are reported at exit. Two
    passes: the whole suite (or the pytest arguments given), with frame-pointer unwinding (fast, but an
    allocation's stack stops at the first interpreter frame, which has no frame pointer); then the leak soak
    and the thread tests, which between them run every path of the module, with full (DWARF) unwinding, so
    every leak report shows whether the module is on its allocation stack. scan_logs.py then fails the job
    on any ASan or UBSan report and on any leak with a frame in the module. AC_PROFILE (default short) sizes
    the heavy tests."""
    venv = ensure_env(session, Path(os.environ.get("AC_ASAN_VENV") or ROOT / ".venv-asan"))
    build(session, venv, "--config-settings=cmake.define.ARGCHECKER_SANITIZE=ON",
          "--config-settings=install.strip=false")
    so = installed_module(venv)
    # A build without the sanitizers would pass silently: make sure this one has them.
    if not so or "libasan" not in subprocess.run(["ldd", so], capture_output=True, text=True).stdout:
        session.error("%s holds no sanitizer build of the module (%s)" % (rel(venv), so or "not found"))
    runtime = []
    for lib in ("libasan.so", "libubsan.so"):
        path = subprocess.run(["g++", "-print-file-name=" + lib], capture_output=True, text=True).stdout.strip()
        if not os.path.exists(path):
            session.error("%s not found (g++ -print-file-name=%s)" % (lib, lib))
        runtime.append(path)
    logs = venv / "sanitizer-logs"
    shutil.rmtree(logs, ignore_errors=True)
    passes = [("the suite", "suite", "fast_unwind_on_malloc=1:malloc_context_size=30", session.posargs)]
    if not session.posargs:
        passes.append(("every path again, with full allocation stacks", "paths",
                       "fast_unwind_on_malloc=0:malloc_context_size=24", SOAK_TESTS))
    failed = []
    for label, folder, unwind, args in passes:
        say("sanitize: " + label)
        at = logs / folder
        at.mkdir(parents=True)
        env = dict(os.environ, AC_PROFILE=os.environ.get("AC_PROFILE", "short"), AC_SANITIZE="1",
                   PYTHONMALLOC="malloc", LD_PRELOAD=" ".join(runtime),
                   ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:exitcode=0:log_path=%s/asan:%s" % (at, unwind),
                   LSAN_OPTIONS="suppressions=%s/lsan.supp:print_suppressions=0:exitcode=0" % SANITIZER,
                   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0:log_path=%s/ubsan" % at)
        if subprocess.call([str(venv / "bin" / "pytest"), "-p", "no:cacheprovider", "-q", *args], cwd=TESTS, env=env):
            failed.append(label)
    run(session, venv / "bin" / "python", SANITIZER / "scan_logs.py", logs)
    if failed:
        session.error("sanitize: failed: " + ", ".join(failed))


def version_env(session, version, base=VENV):
    """The environment and build of CPython <version>: 3.9's is <base> ($AC_VENV or .venv), any other
    version X's "<base>-X" (.venv-3.13). Skips the session when this machine has no CPython <version>."""
    venv = ensure_env(session, base if version == "3.9" else Path("%s-%s" % (base, version)), version)
    build(session, venv)
    return venv


def versions_session(version):
    """The suite on CPython <version> in its own environment and build, skipped when this machine has none;
    `./dev.sh versions` runs the sessions of every version (their tag), `./dev.sh versions-3.13` one."""
    @nox.session(name="versions-" + version, tags=["versions"])
    def suite(session):
        pytest(session, version_env(session, version), *session.posargs)
    suite.__doc__ = "The suite on CPython %s (.venv%s)." % (version, "" if version == "3.9" else "-" + version)
    return suite


for _version in SUPPORTED:
    versions_session(_version)


@nox.session
def latest(session):
    """The suite on the newest CPython here with the newest NumPy, pandas, pytest and hypothesis.

    They come from the package index, into an environment of its own (<venv>-latest), so the pinned ones
    stay as they are. The other tools (mypy, the build tools) stay pinned."""
    version = newest_version()
    venv = ensure_env(session, Path("%s-latest" % VENV), version, leave_out=LATEST)
    say("installing the newest NumPy, pandas, pytest and hypothesis for CPython %s" % version)
    pip(session, venv, "install", "--upgrade", *LATEST)
    run(session, venv / "bin" / "python", "-c", "from importlib.metadata import version as v; import platform\n"
        "print('dev.sh: CPython %%s, ' %% platform.python_version() + ', '.join('%%s %%s' %% (n, v(n)) for n in %r))"
        % (LATEST,))
    build(session, venv)
    pytest(session, venv, *session.posargs)


@nox.session
def bench(session):
    """The benchmarks (ratios measured side by side)."""
    needs_clone(session)
    build(session, ensure_env(session))
    for script in sorted(glob.glob(str(ROOT / "bench" / "bench_*.py"))):
        run(session, VENV / "bin" / "python", script, *session.posargs, cwd=ROOT / "bench")


@nox.session
def peers(session):
    """The P1 call against beartype and pydantic by instructions: `./dev.sh peers 3.9 3.12 3.13`.

    bench/peers.py, one callgrind run, on each CPython version given (default 3.9), in the environments and
    builds of the versions sessions. The peers (the peers group) go into .bench-peers/X with `pip install
    --target`, again when the group changed, never into an environment; the child that counts puts them on
    its search path."""
    needs_clone(session)
    for version in session.posargs or ["3.9"]:
        if version not in SUPPORTED:
            session.error("peers: %s is not one of %s" % (version, " ".join(SUPPORTED)))
        venv = version_env(session, version)
        target = ROOT / ".bench-peers" / version
        pins = "\n".join(group("peers")) + "\n"
        if not (target / ".requirements-stamp").exists() or (target / ".requirements-stamp").read_text() != pins:
            say("installing the peers (the peers group into %s)" % rel(target))
            shutil.rmtree(target, ignore_errors=True)
            target.mkdir(parents=True)
            (target / "requirements.txt").write_text(pins)
            pip(session, venv, "install", "--target", target, "-r", target / "requirements.txt")
            (target / ".requirements-stamp").write_text(pins)
        say("counting instructions (bench/peers.py, one callgrind run)")
        run(session, venv / "bin" / "python", "peers.py", "--peers", target, cwd=ROOT / "bench")


@nox.session
def soak(session):
    """The long leak soak: the soak tests with the long profile, then a million rounds of every path."""
    needs_clone(session)
    build(session, ensure_env(session))
    pytest(session, VENV, SOAK_TESTS[0], env={"AC_PROFILE": "long"})
    run(session, VENV / "bin" / "python", ROOT / "bench" / "soak.py", *session.posargs)


@nox.session
def dist(session):
    """The wheel and the sdist into dist/, and the files each holds.

    As a user builds them (`pip wheel` with build isolation; the sdist by the build backend), into
    $AC_DIST_DIR (default dist/)."""
    venv = ensure_env(session)
    out = Path(os.environ.get("AC_DIST_DIR") or ROOT / "dist")
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("velmora_argchecker-*"):
        old.unlink()
    say("building the wheel (pip wheel, build isolation)")
    pip(session, venv, "wheel", "-q", "--no-deps", "-w", out, ROOT)
    say("building the sdist")
    run(session, venv / "bin" / "python", "-c", "import sys; from scikit_build_core.build import build_sdist\n"
        "build_sdist(sys.argv[1])", out, cwd=ROOT)
    for path in sorted(out.glob("velmora_argchecker-*")):
        if path.suffix == ".whl":
            names = zipfile.ZipFile(path).namelist()
        else:
            names = [m.name for m in tarfile.open(path).getmembers() if m.isfile()]
        print("%s: %d files" % (path, len(names)))
        print("".join("  %s\n" % n for n in sorted(names)), end="")


# ---- The portable wheels and the cross checks: their shell steps are tools/cross.sh's ----

def timed(label, step, *args):
    start = time.monotonic()
    result = step(*args)
    say("%s: %d s" % (label, time.monotonic() - start))
    return result


def cross(session, *args):
    run(session, "bash", CROSS_SH, *args, env={"AC_CROSS_VENV": str(CROSS_VENV)})


def cross_env(session):
    """The tools of the cross builds (the wheels group) in .venv-cross (AC_CROSS_VENV), from CPython 3.11."""
    return ensure_env(session, CROSS_VENV, CROSS_PY, pins_of="wheels", host=False)


def zig_wheel(session, arch, python):
    """A manylinux2014 wheel for <arch>, built by Zig against glibc 2.17 and checked by auditwheel (into
    dist/manylinux/, AC_WHEELHOUSE); its path."""
    cross(session, "zig-wheel", arch, python)
    return (Path(os.environ.get("AC_CROSS_CACHE") or ROOT / ".cache" / "cross") / ("wheel-" + arch)).read_text().strip()


def wheel_suite_x86_64(session, wheel):
    """The x86-64 wheel in a new environment (.venv-wheels-test, made anew each run, CPython 3.9): the pinned
    dependencies, the stand-in host, then the wheel; the whole suite."""
    venv = Path(os.environ.get("AC_WHEELS_TEST_VENV") or ROOT / ".venv-wheels-test")
    shutil.rmtree(venv, ignore_errors=True)
    ensure_env(session, venv)
    say("installing " + os.path.basename(wheel))
    pip(session, venv, "install", "--no-deps", wheel)
    run(session, venv / "bin" / "python", "-c", "import velmora.tframe.utils.argchecker as ac; "
        "print('dev.sh: module: ' + ac.__file__)", cwd="/")
    pytest(session, venv, *session.posargs)


def wheel_suite_aarch64(session, wheel):
    """The aarch64 wheel under qemu, with the aarch64 wheels of the test group (tools/cross.sh)."""
    requirements = ROOT / ".cache" / "cross" / "requirements-aarch64.txt"
    requirements.write_text("\n".join(group("test")) + "\n")
    cross(session, "aarch64-suite", wheel, requirements, *session.posargs)


def build_wheels(session, arches):
    cross_env(session)
    for arch in arches:
        start = time.monotonic()
        print("== " + arch, flush=True)
        if arch == "x86_64":
            ensure_env(session)
            wheel = timed("x86_64 wheel", zig_wheel, session, "x86_64", VENV / "bin" / "python")
            timed("x86_64 suite", wheel_suite_x86_64, session, wheel)
        else:
            timed("aarch64 interpreter", cross, session, "aarch64-sysroot")
            wheel = timed("aarch64 wheel", zig_wheel, session, "aarch64", CROSS_VENV / "bin" / "python")
            timed("aarch64 suite under qemu", wheel_suite_aarch64, session, wheel)
        say("%s: %d s in all" % (arch, time.monotonic() - start))


@nox.session
def wheels(session):
    """manylinux2014 wheels, checked by auditwheel, each through the suite: `wheels [x86_64|aarch64]`.

    For x86-64 (CPython 3.9) and aarch64 (CPython 3.11) into dist/manylinux/, checked by auditwheel, each
    through the suite (aarch64 under qemu): `./dev.sh wheels [x86_64|aarch64] [pytest arguments]`."""
    arches = ["x86_64", "aarch64"]
    if session.posargs[:1] in (["x86_64"], ["aarch64"]):
        arches = [session.posargs.pop(0)]
    build_wheels(session, arches)


@nox.session
def wheel(session):
    """The wheel to deploy: the x86-64 manylinux2014 wheel of `wheels`, into dist/, without the suite.

    For the CPython of .venv (AC_VENV; 3.9, or $PYTHON's when the environment is made); AC_WHEELHOUSE
    names another folder."""
    cross_env(session)
    ensure_env(session)
    os.environ.setdefault("AC_WHEELHOUSE", str(ROOT / "dist"))
    timed("x86_64 wheel", zig_wheel, session, "x86_64", VENV / "bin" / "python")


@nox.session(name="cross")
def cross_checks(session):
    """A cross check (docs/platforms.md): `./dev.sh cross clang|mingw|aarch64`.

    `cross clang` (Clang + libc++ build with -Werror, the suite, in .venv-clang), `cross mingw` (Windows
    x86-64 .pyd), `cross aarch64` (the aarch64 wheel and the suite under qemu)."""
    what = session.posargs.pop(0) if session.posargs else ""
    start = time.monotonic()
    if what == "clang":
        cross(session, "apt-need", "clang", "libc++-dev", "libc++abi-dev")
        venv = ensure_env(session, Path(os.environ.get("AC_CLANG_VENV") or ROOT / ".venv-clang"))
        say("compiler: %s, libc++, -Werror" % subprocess.run(["clang++", "--version"], capture_output=True,
                                                              text=True).stdout.splitlines()[0])
        timed("clang build", build, session, venv, "--config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++",
              "--config-settings=cmake.define.CMAKE_CXX_FLAGS=-stdlib=libc++ -Werror",
              "--config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++")
        so = installed_module(venv)
        ldd = subprocess.run(["ldd", so], capture_output=True, text=True).stdout if so else ""
        linked = re.search(r"libc\+\+\.so\S*", ldd)
        if not linked:
            session.error("cross clang: %s is not linked against libc++" % so)
        say("built: %s, linked against %s, 0 warnings" % (os.path.basename(so), linked.group(0)))
        timed("clang suite", pytest, session, venv, *session.posargs)
    elif what == "mingw":
        cross_env(session)
        cross(session, "mingw")
    elif what == "aarch64":
        build_wheels(session, ["aarch64"])
    else:
        session.error("cross: clang, mingw or aarch64")
    say("cross %s: %d s" % (what, time.monotonic() - start))


# CI, on a fresh clone: each step a session. The steps run in this order, but for the cross checks, which run
# one after another beside the rest once the deployment step is done: they use their own environments
# (.venv-clang, .venv-cross, .venv-wheels-test, which the deployment step has made), apt and .cache/cross,
# which no other step touches, and the two streams of mostly single-threaded suites share the machine's two
# cores. The first step that fails ends the run with the table of the steps' times.
CI = [
    ("test", ["test"], "the pinned dependencies on CPython 3.9 (in .venv)"),
    ("lint", ["lint"], "GCC-only spellings outside the portability header, clang-format, clang-tidy, pyright"),
    ("deployment", ["deploy"], "host, then the extension's wheel, in a new environment; uninstall"),
    ("sanitize", ["sanitize"], "ASan/UBSan build (in .venv-asan); fails on any finding"),
    ("newest-python", ["versions-newest"], "the pinned dependencies on the newest CPython (.venv-3.13)"),
    ("latest-deps", ["latest"], "the newest NumPy, pandas, pytest, hypothesis there (.venv-latest)"),
    ("cross-clang", ["cross", "clang"], "Clang + libc++ build with -Werror, the suite (.venv-clang)"),
    ("cross-mingw", ["cross", "mingw"], "every source compiled and linked into a Windows x86-64 .pyd by mingw-w64"),
    ("wheels", ["wheels"], "manylinux2014 wheels, auditwheel; the suite on x86-64 and under qemu on aarch64"),
]
CI_BESIDE = ("cross-clang", "cross-mingw", "wheels")  # the cross checks, started after CI_BESIDE_AFTER
CI_BESIDE_AFTER = "deployment"


class CIStep:
    """One step of CI, run as `./dev.sh <step>` runs it, in a process group of its own."""

    def __init__(self, name, args, what):
        if args[0] == "versions-newest":
            args = ["versions-" + newest_version()]
        self.name, self.args, self.what, self.rc, self.seconds, self.proc = name, args, what, None, 0, None

    def run(self, out=None):
        print("ci: == %s: ./dev.sh %s  (%s)" % (self.name, " ".join(self.args), self.what), file=out or sys.stdout,
              flush=True)
        began = time.monotonic()
        self.proc = subprocess.Popen([sys.executable, "-m", "nox", "--noxfile", str(ROOT / "noxfile.py"), "-s",
                                      self.args[0], "--", *self.args[1:]], stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT if out else None, start_new_session=True)
        self.rc = self.proc.wait()
        self.seconds = time.monotonic() - began
        print("ci: %s took %d s" % (self.name, self.seconds), file=out or sys.stdout, flush=True)
        return self.rc

    def stop(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, 15)

    def row(self):
        state = "not run" if self.rc is None else "FAILED (exit %d)" % self.rc if self.rc else "ok"
        return "ci: %-16s %4d s  %s" % (self.name, self.seconds, state)


@nox.session
def ci(session):
    """The CI sequence (.ci/run), with the table of its steps' times at the end.

    The README's test command, the deployment test, the sanitizer build, the newest CPython installed here,
    the newest NumPy/pandas/pytest/hypothesis from the package index, and the cross checks of
    docs/platforms.md (beside the others, their output in .cache/ci-cross.log, printed when they are done).
    Each step runs as `./dev.sh <step>` would and prints its time."""
    import threading

    steps, start = [CIStep(*step) for step in CI], time.monotonic()
    beside = [s for s in steps if s.name in CI_BESIDE]
    log_path = ROOT / ".cache" / "ci-cross.log"

    def run_beside():
        with open(log_path, "w") as log:
            for step in beside:
                if stopping or step.run(log):
                    return

    stopping, thread = False, threading.Thread(target=run_beside)
    failed = None
    for step in steps:
        if step in beside:
            continue
        if step.run():
            failed = step
            break
        if any(s.rc for s in beside):  # a cross check failed: the run ends here
            break
        if step.name == CI_BESIDE_AFTER:
            log_path.parent.mkdir(exist_ok=True)
            print("ci: the cross checks run beside the rest from now on (%s)" % rel(log_path), flush=True)
            thread.start()
    if failed:
        stopping = True
        for step in beside:
            step.stop()
    if thread.ident:
        thread.join()
        print("ci: == the cross checks' output (%s)" % rel(log_path), flush=True)
        print(log_path.read_text(), end="", flush=True)
    failed = failed or next((s for s in beside if s.rc), None)
    print("".join(s.row() + "\n" for s in steps), end="")
    if failed:
        session.error("step '%s' failed with exit code %d" % (failed.name, failed.rc))
    print("ci: every step passed in %d s" % (time.monotonic() - start))
