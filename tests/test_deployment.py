"""The deployment, as a host team meets it: an sdist, a wheel built from it, and that wheel installed into
a new environment that already has a host package (a small fake one, not the stand-in), then removed.

Slow: it compiles the extension from the sdist and installs NumPy and pandas into a new environment.
`./dev.sh deploy` runs it (and CI); `./dev.sh test` skips it.
"""
import hashlib
import importlib.machinery
import json
import os
import re
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import pytest

pytestmark = pytest.mark.slow

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
UTILS = "velmora/tframe/utils/"
SO_SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[0]  # .cpython-39-x86_64-linux-gnu.so
EXTENSION_FILES = {UTILS + "argchecker" + SO_SUFFIX, UTILS + "argchecker.pyi", UTILS + "py.typed"}


def project_version():
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        return re.search(r'^version = "([^"]+)"$', f.read(), re.M).group(1)


# A host with files of its own in every folder the extension touches, and a marker file: it provides the
# names the module imports at load, with behaviour unlike the stand-in's, so the test sees which is used.
FAKE_HOST = {
    "pyproject.toml": """
        [build-system]
        requires = ["scikit-build-core"]
        build-backend = "scikit_build_core.build"

        [project]
        name = "fake-velmora-host"
        version = "7.0"

        [tool.scikit-build]
        wheel.cmake = false
        wheel.packages = ["velmora"]
        wheel.license-files = []
    """,
    "velmora/__init__.py": "WHO = 'the fake host'\n",
    "velmora/setting.py": "def get_setting(name, default=None):\n    return default\n",
    "velmora/tframe/__init__.py": "",
    "velmora/tframe/language/__init__.py": """
        class _Text:
            def __getattr__(self, key):
                return "fake host: " + key + " {0} {1}"

        text = _Text()
    """,
    "velmora/tframe/utils/__init__.py": "HOST_UTILS = True\n",
    "velmora/tframe/utils/HOST_MARKER.txt": "this file belongs to the host\n",
    "velmora/tframe/utils/exceptions.py": "class InvalidParamError(Exception):\n    pass\n",
    "velmora/tframe/utils/datetimefunc.py": "def to_datetime(value):\n    return value\n",
    "velmora/tframe/utils/logger.py": """
        LOG = []

        def write_userlog(text, level="info", console=None):
            LOG.append((level, text))
    """,
    "velmora/tframe/utils/utilfunc.py": """
        def unwrapper(func):
            while hasattr(func, "__wrapped__"):
                func = func.__wrapped__
            return func
    """,
}

# Run inside the new environment, from a folder that holds no velmora: what the deployed module is.
PROBE = """
import importlib.metadata, json, os, sys
import velmora
import velmora.tframe.utils.argchecker as ac
from velmora.tframe.utils import exceptions, logger

side = ac.verify_that("side").is_instance_of(str).is_in(["buy", "sell"])

@ac.apply_rule(side)
def order(side):
    return side

refused = None
try:
    order("hold")
except exceptions.InvalidParamError as e:
    refused = str(e)
with open(os.path.join(os.path.dirname(ac.__file__), "argchecker.pyi")) as f:
    stub_head = f.readline()
print(json.dumps({
    "velmora": velmora.__file__, "WHO": velmora.WHO, "ac": ac.__file__, "passed": order("buy"),
    "refused": refused, "logged": len(logger.LOG), "version": importlib.metadata.version("velmora-argchecker"),
    "stub_head": stub_head, "error_is_the_hosts": ac.InvalidParamError is exceptions.InvalidParamError,
}))
"""


def run(*cmd, cwd=None):
    r = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=900)
    assert r.returncode == 0, "%s\n%s\n%s" % (" ".join(map(str, cmd)), r.stdout[-3000:], r.stderr[-3000:])
    return r.stdout


def pip(python, *args):
    return run(python, "-m", "pip", "--disable-pip-version-check", *args)


def tree(folder):
    """{path relative to the folder that holds velmora/: sha256} of every file under velmora/."""
    out = {}
    for base, dirs, files in os.walk(os.path.join(folder, "velmora")):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in files:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder).replace(os.sep, "/")] = hashlib.sha256(f.read()).hexdigest()
    return out


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """(sdist, extension wheel built from that sdist, fake host wheel), built with the pinned build tools
    of the environment running the tests."""
    out = tmp_path_factory.mktemp("dist")
    sdist = run(sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; "
                "print(build_sdist(sys.argv[1]))", str(out), cwd=ROOT).strip().splitlines()[-1]
    sdist = os.path.join(out, sdist)
    pip(sys.executable, "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(out), sdist)

    host = tmp_path_factory.mktemp("fake-host")
    for name, text in FAKE_HOST.items():
        path = host / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip())
    pip(sys.executable, "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(out), str(host))

    def one(pattern):
        found = [os.path.join(out, n) for n in os.listdir(out) if re.fullmatch(pattern, n)]
        assert len(found) == 1, os.listdir(out)
        return found[0]
    return sdist, one(r"velmora_argchecker-.*\.whl"), one(r"fake_velmora_host-.*\.whl")


@pytest.fixture(scope="module")
def deployment(dist, tmp_path_factory):
    """The whole scenario in a new environment, each observation kept for the tests below: the host, then
    the extension (with NumPy and pandas, at the pinned versions), then the extension removed."""
    _, wheel, host_wheel = dist
    env = tmp_path_factory.mktemp("env")
    run(sys.executable, "-m", "venv", str(env / "venv"))
    python = str(env / "venv" / "bin" / "python")
    site = run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").strip()
    constraints = os.path.join(ROOT, "requirements-dev.txt")
    seen = {}

    pip(python, "install", "-q", host_wheel)
    seen["host"] = tree(site)
    pip(python, "install", "-q", "-c", constraints, wheel)
    seen["deployed"] = tree(site)
    seen["probe"] = json.loads(run(python, "-c", PROBE, cwd=str(env)))
    seen["check"] = pip(python, "check")
    seen["show"] = pip(python, "show", "-f", "velmora-argchecker")

    pip(python, "uninstall", "-y", "velmora-argchecker")
    seen["removed"] = tree(site)
    seen["check_after"] = pip(python, "check")
    seen["list_after"] = json.loads(pip(python, "list", "--format", "json"))
    seen["site"] = site
    return seen


def test_sdist_holds_what_builds_and_checks_the_extension(dist):
    with tarfile.open(dist[0]) as t:
        names = {m.name.split("/", 1)[1] for m in t.getmembers() if m.isfile()}
    tops = {n.split("/")[0] for n in names}
    assert tops == {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md",
                    "dev.sh", "requirements-dev.txt", "requirements-lint.txt", "requirements-wheels.txt",
                    ".clang-format", ".clang-tidy", "src", "stub", "tests", "docs"}
    sources = {os.path.relpath(os.path.join(b, f), ROOT) for b, _, fs in os.walk(os.path.join(ROOT, "src"))
               for f in fs}
    assert {n for n in names if n.startswith("src/")} == sources
    assert {"stub/argchecker.pyi", "stub/py.typed", "tests/host/pyproject.toml",
            "tests/host/velmora/__init__.py"} <= names
    # The stand-in travels as test data only: nothing would install it from here.
    assert not [n for n in names if "__pycache__" in n or n.endswith(".so") or n.startswith("velmora/")]


def test_wheel_holds_only_the_extension_its_stub_and_py_typed(dist):
    with zipfile.ZipFile(dist[1]) as z:
        names = set(z.namelist())
        meta = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    info = {n for n in names if ".dist-info/" in n}
    assert names - info == EXTENSION_FILES
    assert {n.split(".dist-info/")[1] for n in info} <= {"METADATA", "WHEEL", "RECORD", "LICENSE",
                                                        "licenses/LICENSE"}
    for line in ("Name: velmora-argchecker", "Version: " + project_version(), "Requires-Python: >=3.9",
                 "License: BSD-3-Clause", "Requires-Dist: numpy", "Requires-Dist: pandas"):
        assert line in meta.splitlines(), line


def test_the_extension_merges_into_the_host_and_leaves_its_files_alone(deployment):
    host, deployed = deployment["host"], deployment["deployed"]
    assert UTILS + "HOST_MARKER.txt" in host and not EXTENSION_FILES & set(host)
    assert {k: v for k, v in deployed.items() if k in host} == host
    assert set(deployed) - set(host) == EXTENSION_FILES


def test_the_deployed_module_is_imported_from_inside_the_host(deployment):
    p, site = deployment["probe"], deployment["site"]
    assert p["velmora"] == os.path.join(site, "velmora", "__init__.py") and p["WHO"] == "the fake host"
    assert p["ac"] == os.path.join(site, UTILS, "argchecker" + SO_SUFFIX)
    # The host's own names are the ones used: its exception, its message table, its user log.
    assert p["passed"] == "buy" and p["error_is_the_hosts"]
    assert p["refused"].startswith("fake host: ARGCHECKER_INVALID_PARAM_EXPECT_VALID_ERROR order side")
    assert p["logged"] == 1


def test_the_deployed_build_is_identified(deployment):
    version = project_version()
    assert deployment["probe"]["version"] == version
    assert deployment["probe"]["stub_head"].startswith("# velmora-argchecker %s: " % version)
    listed = {line.strip() for line in deployment["show"].split("Files:")[1].splitlines()}
    assert EXTENSION_FILES <= listed


def test_pip_check_is_clean_with_and_without_the_extension(deployment):
    assert "No broken requirements found" in deployment["check"]
    assert "No broken requirements found" in deployment["check_after"]


def test_uninstalling_removes_the_extension_files_and_nothing_of_the_host(deployment):
    assert deployment["removed"] == deployment["host"]
    names = {d["name"] for d in deployment["list_after"]}
    assert "fake-velmora-host" in names and "velmora-argchecker" not in names
