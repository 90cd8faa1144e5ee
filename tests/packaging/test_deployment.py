"""The deployment, as a host team meets it: the README's packaging and install commands run as written (an
sdist, a wheel built from that sdist, installed into a new environment that already holds the minimal host
of docs/host-contract.md, then removed), the demo's calls and every message key through that host, the
README's own code, and what installing the extension does to the host's typedness.

Slow: it compiles the extension from the sdist and installs NumPy and pandas into a new environment.
`./dev.sh deploy` runs it (and CI); `./dev.sh test` skips it.
"""
import hashlib
import importlib.machinery
import json
import os
import re
import shutil
import string
import subprocess
import sys
import tarfile
import zipfile

import pytest

pytestmark = pytest.mark.slow

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
UTILS = "velmora/tframe/utils/"
SO_SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[0]  # .cpython-39-x86_64-linux-gnu.so
EXTENSION_FILES = {UTILS + "argchecker" + SO_SUFFIX, UTILS + "argchecker.pyi"}
CLONE = os.path.isfile(os.path.join(ROOT, ".ci", "run"))  # not an unpacked sdist, which has no CI or demo

# The README's commands, each run below as written: the set-up (`./dev.sh test` is CI's first step), the
# packaging (in a copy of the clone, then in the unpacked sdist) and the install into the host's
# environment (from the unpacked sdist).
SETUP = ["./dev.sh demo", "./dev.sh test"]
PACKAGING = ["pip install build", "python -m build --sdist", "./dev.sh wheel"]
INSTALL, CHECK, SHOW, UNINSTALL = ("pip install --find-links dist velmora-argchecker", "pip check",
                                   "pip show -f velmora-argchecker", "pip uninstall -y velmora-argchecker")
# `./dev.sh wheel` with this environment, and the cross tools and Zig's cache of the clone (CI's wheels step
# reuses them).
WHEEL_ENV = {"AC_VENV": sys.prefix, "AC_CROSS_VENV": os.path.join(ROOT, ".venv-cross"),
             "AC_NOX_VENV": os.path.join(ROOT, ".venv-nox"),
             "AC_ZIG_CACHE": os.path.join(ROOT, ".cache", "cross", "zig-cache")}
# The fields the minimal host's InvalidParamError makes of a message (docs/host-contract.md, "Structured
# errors"): key -> [func, arg, repr(value)], for the first refusal of the probe with that key.
FIELDS = {
    "ARGCHECKER_INVALID_PARAM_EXPECT_GREATER_ERROR": ["place_order", "amount", "0"],
    "ARGCHECKER_INVALID_PARAM_EXPECT_NONEMPTY_ERROR": ["place_order", "target", "''"],
    "ARGCHECKER_INVALID_PARAM_EXPECT_ERROR": ["place_order", "target", "5"],
    "ARGCHECKER_INVALID_PARAM_EXPECT_FQ_ERROR": ["get_history", "fq", "3"],
    "ARGCHECKER_INVALID_PARAM_NDARRAYIDX_NDARRAY_ERROR": ["pick_rows", "rows", "None"],
}

# A small host module that uses the host's untyped facilities: mypy --strict must say the same of it with
# and without the extension installed.
HOST_MODULE = """
import velmora.setting
from velmora.tframe.utils import logger, utilfunc
from velmora.tframe.utils.exceptions import InvalidParamError


def report(text: str) -> None:
    if velmora.setting.get_setting("ALLOW_ARG_CHECK", True):
        logger.write_userlog(text, "error")
    raise InvalidParamError(utilfunc.unwrapper(report))
"""


def dependency_group(name):
    """The pins of a group of pyproject.toml's [dependency-groups], the groups it includes expanded."""
    try:
        import tomllib
    except ImportError:  # before 3.11: pytest's own dependency
        import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        groups = tomllib.load(f)["dependency-groups"]

    def expand(n):
        return [p for item in groups[n] for p in (expand(item["include-group"]) if isinstance(item, dict) else [item])]
    return expand(name)


@pytest.fixture(scope="module")
def constraints(tmp_path_factory):
    """The pins of the suite's environment, as a constraints file for the README's commands."""
    path = tmp_path_factory.mktemp("constraints") / "constraints.txt"
    path.write_text("\n".join(dependency_group("dev")) + "\n")
    os.environ["PIP_CONSTRAINT"] = str(path)
    yield path
    del os.environ["PIP_CONSTRAINT"]


def project_version():
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        return re.search(r'^version = "([^"]+)"$', f.read(), re.M).group(1)


def readme_blocks():
    """(command lines of the README's plain fenced blocks, in order, by block; its Python blocks)."""
    with open(os.path.join(ROOT, "README.md")) as f:
        blocks = re.findall(r"^```(\w*)\n(.*?)^```", f.read(), re.M | re.S)
    commands = [[line.split("  #")[0].strip() for line in body.splitlines() if line.strip()]
                for lang, body in blocks if not lang]
    return commands, [body for lang, body in blocks if lang == "python"]


def run(*cmd, cwd=None, env=None):
    r = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=1200)
    assert r.returncode == 0, "%s\n%s\n%s" % (" ".join(map(str, cmd)), r.stdout[-3000:], r.stderr[-3000:])
    return r.stdout


def shell(command, bindir, cwd, **extra):
    """A document's command (or block, stopping at the first failure), as written, with `python` and `pip`
    those of the environment in bindir, CMake that of this one, and the variables in `extra`."""
    path = os.pathsep.join((bindir, os.path.dirname(sys.executable), os.environ["PATH"]))
    env = dict(os.environ, PATH=path, PIP_DISABLE_PIP_VERSION_CHECK="1", **extra)
    env.pop("PYTHONPATH", None)
    return run("bash", "-ec", command, cwd=cwd, env=env)


def mypy(*args, cwd):
    """mypy's report (the tests' own mypy, on another environment's packages), with no cache."""
    r = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, *args],
                       cwd=cwd, capture_output=True, text=True, timeout=600)
    return r.stdout + r.stderr


def contract_blocks():
    """The shell blocks of docs/host-contract.md, in order."""
    with open(os.path.join(ROOT, "docs", "host-contract.md")) as f:
        return re.findall(r"^```sh\n(.*?)^```", f.read(), re.M | re.S)


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
def dist(tmp_path_factory, constraints):
    """(sdist, extension wheel built from that sdist, the unpacked sdist, minimal host wheel): the README's
    packaging commands, run with this environment's python and pip (build isolation, the pinned tools)."""
    bindir = os.path.dirname(sys.executable)
    clone = tmp_path_factory.mktemp("clone") / "argchecker"
    shutil.copytree(ROOT, clone, ignore=shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__",
                                                              ".pytest_cache", ".hypothesis", "*.so"))
    shell(PACKAGING[0], bindir, clone)
    shell(PACKAGING[1], bindir, clone)
    (sdist,) = [os.path.join(clone, "dist", n) for n in os.listdir(clone / "dist")]
    unpacked = tmp_path_factory.mktemp("sdist")
    with tarfile.open(sdist) as t:
        t.extractall(unpacked)
    (unpacked,) = [os.path.join(unpacked, n) for n in os.listdir(unpacked)]
    shell(PACKAGING[2], bindir, unpacked, **WHEEL_ENV)
    (wheel,) = [os.path.join(unpacked, "dist", n) for n in os.listdir(os.path.join(unpacked, "dist"))]
    audit = run(os.path.join(WHEEL_ENV["AC_CROSS_VENV"], "bin", "auditwheel"), "show", wheel)

    # The minimal host, with a file of its own in the folder the extension goes into.
    host = tmp_path_factory.mktemp("host") / "minimal_host"
    shutil.copytree(os.path.join(ROOT, "examples", "minimal_host"), host,
                    ignore=shutil.ignore_patterns("__pycache__"))
    (host / UTILS / "host_marker.py").write_text("# this file belongs to the host\n")
    out = tmp_path_factory.mktemp("host-wheel")
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(out), str(host))
    (host_wheel,) = [os.path.join(out, n) for n in os.listdir(out)]
    return sdist, wheel, unpacked, host_wheel, audit


@pytest.fixture(scope="module")
def deployment(dist, tmp_path_factory):
    """The whole scenario in a new environment, each observation kept for the tests below: the minimal
    host, then the extension (the README's commands, with NumPy and pandas at the pinned versions), the
    probe, then the extension removed; mypy on a host module at each stage; the demo, as `./dev.sh demo`."""
    _, _, unpacked, host_wheel, _ = dist
    env = tmp_path_factory.mktemp("env")
    run(sys.executable, "-m", "venv", str(env / "venv"))
    bindir = str(env / "venv" / "bin")
    python = os.path.join(bindir, "python")
    site = run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").strip()
    (env / "host_module.py").write_text(HOST_MODULE)
    commands, python_blocks = readme_blocks()
    seen = {"site": site, "readme": commands, "mypy": {}}

    def host_module_report():
        return mypy("--strict", "--python-executable", python, "host_module.py", cwd=str(env))

    shell("pip install -q " + host_wheel, bindir, env)
    seen["host"] = tree(site)
    seen["mypy"]["host"] = host_module_report()
    shell(INSTALL, bindir, unpacked)
    seen["deployed"] = tree(site)
    seen["mypy"]["deployed"] = host_module_report()
    seen["mypy"]["api"] = mypy("--strict", "--config-file", os.path.join(HERE, "mypy.ini"), "--python-executable",
                               python, os.path.join(HERE, "typing_sample.py"), cwd=str(env))
    seen["probe"] = json.loads(run(python, os.path.join(HERE, "deployment_probe.py"), os.path.join(ROOT, "examples"),
                                   json.dumps(python_blocks), cwd=str(env)))
    seen["check"] = shell(CHECK, bindir, unpacked)
    seen["show"] = shell(SHOW, bindir, unpacked)

    shell(UNINSTALL, bindir, unpacked)
    seen["removed"] = tree(site)
    seen["mypy"]["removed"] = host_module_report()
    seen["check_after"] = shell(CHECK, bindir, unpacked)
    seen["list_after"] = json.loads(shell("pip list --format json", bindir, unpacked))

    # The same host installed editable: the wheel over it fails to import; docs/host-contract.md's blocks
    # take it out again and put the extension into the host's tree, then remove it.
    host = tmp_path_factory.mktemp("editable") / "minimal_host"
    shutil.copytree(os.path.join(ROOT, "examples", "minimal_host"), host, ignore=shutil.ignore_patterns("__pycache__"))
    shell("pip uninstall -q -y velmora-minimal-host && pip install -q -e " + str(host), bindir, env)
    into_tree, out_of_tree = contract_blocks()
    edit = seen["editable"] = {"host": str(host), "before": tree(host)}
    shell(INSTALL, bindir, unpacked)
    edit["wheel_over"] = subprocess.run([python, "-c", "import velmora.tframe.utils.argchecker"], cwd=str(env),
                                        capture_output=True, text=True).stderr
    variables = {"ARGCHECKER": unpacked, "HOST": str(host)}
    shell(into_tree, bindir, env, **variables)
    edit["site_velmora_left"] = os.path.exists(os.path.join(site, "velmora"))
    edit["deployed"] = tree(host)
    edit["probe"] = json.loads(run(python, os.path.join(HERE, "deployment_probe.py"), os.path.join(ROOT, "examples"),
                                   "[]", cwd=str(env)))
    shell(out_of_tree, bindir, env, **variables)
    edit["removed"] = tree(host)
    # The README's demo command, in this environment (the suite's own build of the extension).
    if CLONE:
        seen["demo"] = run(os.path.join(ROOT, "dev.sh"), "demo", cwd=ROOT, env=dict(os.environ, AC_VENV=sys.prefix))
    return seen


def contract_keys():
    """{message key: the number of its format arguments, None for a finished text}, from the table of
    docs/host-contract.md."""
    with open(os.path.join(ROOT, "docs", "host-contract.md")) as f:
        rows = re.findall(r"^\| `((?:ARGCHECKER_INVALID_PARAM|ERROR_FUNC)_\w+)` \| ([^|]*) \|", f.read(), re.M)
    return {key: None if "finished text" in args else len(re.findall(r"`[^`]+`", args)) for key, args in rows}


def source_keys():
    """The message keys of the module's one table of them."""
    with open(os.path.join(ROOT, "src", "argchecker", "runtime", "message_keys.h")) as f:
        return set(re.findall(r'"((?:ARGCHECKER_INVALID_PARAM|ERROR_FUNC)_\w+)"', f.read()))


def test_sdist_holds_what_builds_and_checks_the_extension(dist):
    with tarfile.open(dist[0]) as t:
        names = {m.name.split("/", 1)[1] for m in t.getmembers() if m.isfile()}
    tops = {n.split("/")[0] for n in names}
    assert tops == {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md",
                    "dev.sh", "noxfile.py", "tools",
                    ".clang-format", ".clang-tidy", "src", "stub", "tests", "docs", "examples"}
    sources = {os.path.relpath(os.path.join(b, f), ROOT) for b, _, fs in os.walk(os.path.join(ROOT, "src"))
               for f in fs}
    assert {n for n in names if n.startswith("src/")} == sources
    assert {"stub/argchecker.pyi", "tests/host/pyproject.toml", "tests/host/velmora/__init__.py",
            "docs/host-contract.md", "examples/minimal_host/pyproject.toml"} <= names
    # The stand-in and the minimal host travel as test data only: nothing would install them from here.
    assert not [n for n in names if "__pycache__" in n or n.endswith(".so") or n.startswith("velmora/")
                or n.endswith("py.typed") or re.fullmatch(r"examples/[^/]*\.py", n)]


def test_wheel_holds_only_the_extension_and_its_stub(dist):
    # The manylinux2014 wheel: it imports on a server with glibc 2.17 and libstdc++ 4.8.
    assert "manylinux2014_x86_64" in os.path.basename(dist[1]) and '"manylinux_2_17_x86_64"' in dist[4], dist[4]
    with zipfile.ZipFile(dist[1]) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}  # auditwheel writes folder entries too
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
    assert UTILS + "host_marker.py" in host and not EXTENSION_FILES & set(host)
    assert {k: v for k, v in deployed.items() if k in host} == host
    assert set(deployed) - set(host) == EXTENSION_FILES


def test_the_deployed_module_is_imported_from_inside_the_host_and_identified(deployment):
    p, site, version = deployment["probe"], deployment["site"], project_version()
    assert p["velmora"] == os.path.join(site, "velmora", "__init__.py")
    assert p["ac"] == os.path.join(site, UTILS, "argchecker" + SO_SUFFIX) and p["error_is_the_hosts"]
    assert p["version"] == version and p["stub_head"].startswith("# velmora-argchecker %s: " % version)
    listed = {line.strip() for line in deployment["show"].split("Files:")[1].splitlines()}
    assert EXTENSION_FILES <= listed


def test_a_host_written_from_the_contract_runs_the_demo_and_every_message(deployment):
    p, keys = deployment["probe"], contract_keys()
    # The contract lists every key the module reads, the minimal host has each, with as many
    # placeholders as the contract gives arguments.
    assert set(keys) == source_keys() == set(p["keys"]) and len(keys) == 35
    for key, n in keys.items():
        fields = [f for _, f, _, _ in string.Formatter().parse(p["templates"][key]) if f is not None]
        assert len(fields) == (n or 0), key
    # Every call ends as the contract says: accepted, or refused with the host's InvalidParamError
    # (ValueError for a date range) formatted with the documented number of arguments; together they
    # use every key.
    used = {}
    for o in p["outcomes"]:
        if "raised" in o:
            assert o["is_hosts"] or (o["raised"] == "ValueError" and o["key"] in (
                "ARGCHECKER_INVALID_PARAM_DATERANGE_ERROR", "ARGCHECKER_INVALID_PARAM_EXPECTDATE_ERROR")), o
        if o.get("key"):
            assert o["nargs"] == keys[o["key"]], o
            used[o["key"]] = o
    assert set(used) == set(keys)
    assert used["ERROR_FUNC_ERROR_FUNC_NAME"]["returned"] == [False, p["templates"]["ERROR_FUNC_ERROR_FUNC_NAME"]]
    assert p["outcomes"][-1] == {"returned": "(True, '')"}
    fields = {}
    for o in p["outcomes"]:
        if "fields" in o:
            fields.setdefault(o["fields"][0], o["fields"][1:])
    assert {key: fields[key] for key in FIELDS} == FIELDS
    # A refused call of a decorated function is in the host's user log; the switch turns checking off.
    assert p["logged"] and set(p["logged"]) == {"error"}
    assert p["switched_off"] == {"returned": repr("order: buy 0 x rb2105 (LIMIT)")}
    # The conversion chain and the shared cache: one command per list of codes not yet cached.
    assert p["converted"] == [["rb2105.shfe", "600000.sse"], ["600000.sse", "rb2105.shfe"], ["cu2107.shfe"]]
    assert p["patched"] == {"target_list": ["if2106.shfe"]} and p["sent"] == 3 and p["cached"] == 4


@pytest.mark.skipif(not CLONE, reason="a clone's README, CI and demo")
def test_the_readme_commands_are_the_ones_run_here_or_by_ci(deployment):
    commands = deployment["readme"]
    assert commands[0] == SETUP
    assert sorted(c for block in commands for c in block) == sorted(SETUP + PACKAGING + [INSTALL, CHECK, SHOW,
                                                                                         UNINSTALL])
    # Every ./dev.sh job the README names is a step of CI (the CI list of noxfile.py, which .ci/run runs), but
    # the demo, which the fixture runs, and the wheel, which the dist fixture runs.
    with open(os.path.join(ROOT, ".ci", "run")) as f:
        assert "./dev.sh ci" in f.read()
    with open(os.path.join(ROOT, "noxfile.py")) as f:
        lists = re.findall(r'^    \("[\w-]+", \[([^]]*)\]', f.read(), re.M)
    steps = [re.findall(r'"([\w-]+)"', args) for args in lists]
    with open(os.path.join(ROOT, "README.md")) as f:
        mentioned = set(re.findall(r"\./dev\.sh \w+", f.read()))
    assert steps[0] == ["test"] and len(steps) == 9
    assert mentioned - {"./dev.sh " + step[0] for step in steps} == {"./dev.sh demo", "./dev.sh wheel"}
    # The README's Python block ran through the minimal host, as written.
    out = deployment["probe"]["readme_output"].splitlines()
    assert out[0] == "rb2105: 5 bars of min" and "'1min'" in out[1] and out[-1] == "rb2105: 5 bars of 1min"
    # The demo, through the stand-in host: an empty string is shown as one.
    assert "REJECTED  place_order('', 1)" in deployment["demo"] and "got '' of type" in deployment["demo"]


def test_installing_the_extension_leaves_the_hosts_typedness_as_it_was(deployment):
    reports = deployment["mypy"]
    assert "import-untyped" in reports["host"]  # the host is untyped, and stays so
    assert reports["host"] == reports["deployed"] == reports["removed"]
    # An API module using every public feature, against the stub, with the configuration of mypy.ini.
    assert "Success: no issues found" in reports["api"], reports["api"]


def test_pip_check_is_clean_with_and_without_the_extension(deployment):
    assert "No broken requirements found" in deployment["check"]
    assert "No broken requirements found" in deployment["check_after"]


def test_uninstalling_removes_the_extension_files_and_nothing_of_the_host(deployment):
    assert deployment["removed"] == deployment["host"]
    names = {d["name"] for d in deployment["list_after"]}
    assert "velmora-minimal-host" in names and "velmora-argchecker" not in names


def test_an_editable_host_takes_the_extension_into_its_tree_and_out_again(deployment):
    edit = deployment["editable"]
    # The wheel over the editable host: an ImportError that names the cause and the fix, from the original.
    assert "bare namespace package" in edit["wheel_over"] and '"Editable hosts and source trees"' in edit["wheel_over"]
    assert "No module named 'velmora.tframe.utils.exceptions'" in edit["wheel_over"].split("direct cause")[0]
    # The documented route: the wheel's folders gone, the two files in the host's tree, the demo's calls as
    # through the installed host, and the host's tree as it was after the removal.
    assert not edit["site_velmora_left"] and set(edit["deployed"]) - set(edit["before"]) == EXTENSION_FILES
    p = edit["probe"]
    assert p["ac"] == os.path.join(edit["host"], UTILS, "argchecker" + SO_SUFFIX) and p["error_is_the_hosts"]
    assert (p["outcomes"], p["converted"]) == (deployment["probe"]["outcomes"], deployment["probe"]["converted"])
    assert edit["removed"] == edit["before"]
