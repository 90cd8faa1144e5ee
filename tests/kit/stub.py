"""The type stub installed beside the module, parsed: the one statement of what the module declares and of
the order the class binds its members in."""
import ast
import os


def parse(ac):
    """{name: FunctionDef or ClassDef} at the stub's module level."""
    path = os.path.join(os.path.dirname(ac.__file__), "argchecker.pyi")
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    return {node.name: node for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}


def class_order(ac):
    """The names of ArgumentChecker's constants and methods, in the stub's order (instance fields left out)."""
    instance = set(vars(ac.verify_that("x")))
    names = [n.name if isinstance(n, ast.FunctionDef) else n.target.id for n in parse(ac)["ArgumentChecker"].body
             if isinstance(n, (ast.FunctionDef, ast.AnnAssign))]
    return [n for n in names if n not in instance]
