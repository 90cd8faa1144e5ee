"""The installed type stub against the built module, mypy and stubtest with the configuration a host that
keeps its package untyped would use (mypy.ini), and a quiet load. pyright checks the same usage sample in
`./dev.sh lint`; the deployment test checks that installing the extension leaves the host's typedness as
it was."""
import ast
import inspect
import os
import runpy
import subprocess
import sys

import pytest

import kit.stub
from kit.tools import run_python

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "typing_sample.py")
MYPY_INI = os.path.join(HERE, "mypy.ini")
ANY_DEFAULT = object()  # a stub default written as `...`

P = inspect.Parameter


@pytest.fixture(scope="module")
def stub(ac):
    return kit.stub.parse(ac)


def stub_parameters(fn):
    """[(name, kind, default)] of a stub function, with ANY_DEFAULT for `...` and P.empty for none."""
    a = fn.args
    positional = [(x.arg, P.POSITIONAL_ONLY) for x in a.posonlyargs] + \
                 [(x.arg, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    defaults = [P.empty] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = [(name, kind, d) for (name, kind), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, P.empty))
    out += [(x.arg, P.KEYWORD_ONLY, P.empty if d is None else d) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, P.empty))

    def value(d):
        if d is P.empty:
            return P.empty
        if isinstance(d, ast.Constant) and d.value is Ellipsis:
            return ANY_DEFAULT
        return ast.literal_eval(d)
    return [(name, kind, value(d)) for name, kind, d in out]


def assert_same_parameters(fn, stub_fn):
    runtime = list(inspect.signature(fn).parameters.values())
    expected = stub_parameters(stub_fn)
    assert [(p.name, p.kind) for p in runtime] == [(n, k) for n, k, _ in expected]
    for p, (_, _, d) in zip(runtime, expected):
        if d is ANY_DEFAULT:
            assert p.default is not P.empty, p.name
        else:
            assert p.default == d and type(p.default) is type(d), p.name


def assert_one_line_docstring(fn):
    # What an editor shows for a public function: the rule it checks, in one line.
    doc = ast.get_docstring(fn)
    assert doc and "\n" not in doc, fn.name


def decorator_names(fn):
    return {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}


def test_module_functions_match_the_stub(ac, stub):
    own = {k for k, v in vars(ac).items()
           if callable(v) and getattr(v, "__module__", None) == "tframe.utils.argchecker"}
    assert own == set(stub)
    for name in own - {"ArgumentChecker"}:
        assert_same_parameters(getattr(ac, name), stub[name])
        assert_one_line_docstring(stub[name])


def test_class_members_match_the_stub(ac, stub):
    cls_stub = stub["ArgumentChecker"]
    methods = {n.name: n for n in cls_stub.body if isinstance(n, ast.FunctionDef)}
    fields = {n.target.id: ast.unparse(n.annotation) for n in cls_stub.body if isinstance(n, ast.AnnAssign)}
    d = vars(ac.ArgumentChecker)
    functions = {k: v for k, v in d.items() if callable(v) or isinstance(v, (staticmethod, classmethod))}
    assert set(functions) == set(methods)
    for name, entry in functions.items():
        kinds = decorator_names(methods[name]) & {"staticmethod", "classmethod"}
        assert kinds == {type(entry).__name__} & {"staticmethod", "classmethod"}, name
        raw = entry.__func__ if isinstance(entry, (staticmethod, classmethod)) else entry
        assert_same_parameters(raw, methods[name])
        if not name.startswith("_"):
            assert_one_line_docstring(methods[name])

    instance = set(vars(ac.verify_that("x")))
    constants = {k for k in d if k not in functions and not k.startswith("__")}
    assert set(fields) == constants | instance
    for name in constants:
        value = d[name]
        if fields[name] == "Tuple[str, ...]":
            assert isinstance(value, tuple) and all(isinstance(x, str) for x in value), name
        elif fields[name] == "bool":
            assert isinstance(value, bool), name


def test_stub_comparison_sees_a_drift(ac, stub):
    # The comparison itself: a stub that lost a default or renamed a parameter is caught.
    fn = ast.parse("def is_in(self, valid_values, ignore_value): ...").body[0]
    with pytest.raises(AssertionError):
        assert_same_parameters(ac.ArgumentChecker.is_in, fn)
    fn = ast.parse("def verify_that(name, /): ...").body[0]
    with pytest.raises(AssertionError):
        assert_same_parameters(ac.verify_that, fn)


def test_mypy_accepts_the_usage_sample(tmp_path):
    # The stub is read where it is installed, beside the extension in the host's package, which has no
    # py.typed: mypy.ini names the module, as a host's configuration would.
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--config-file", MYPY_INI,
                        "--python-executable", sys.executable, "--cache-dir", str(tmp_path), SAMPLE],
                       capture_output=True, text=True, cwd=HERE, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr


def test_stubtest_finds_nothing(tmp_path):
    # mypy's own comparison of the installed stub with the imported module, with no allowlist: the
    # stub declares everything the module has, __test__ included.
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", MYPY_INI,
                        "velmora.tframe.utils.argchecker"], capture_output=True, text=True, cwd=str(tmp_path),
                       timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr


def test_usage_sample_runs(ac, userlog, target_cache):
    ns = runpy.run_path(SAMPLE)
    assert ns["order"] == {"side": "buy", "price": 10.5, "qty": 2}
    assert ns["ok"] is True and not userlog
    assert ns["codes"] == ["rb2105.shfe", "if2106.cffex"] and ns["params"] == {"target_list": ["rb2105.shfe"]}


def test_module_loads_without_a_version_warning():
    # The module is built for the interpreter that runs the tests, so loading must not warn.
    r = run_python("""
        import warnings
        warnings.simplefilter("error")
        import velmora.tframe.utils.argchecker
        print("loaded")
    """)
    assert r.returncode == 0 and r.stdout.strip() == "loaded", r.stderr
