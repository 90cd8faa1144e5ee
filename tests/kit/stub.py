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


# The arguments a factory needs to build its rule (the others take none).
FACTORY_ARGS = {"is_instance_of": (int,), "is_in": ([1, 2],), "sub_set": ([1],), "is_greater_than": (0,),
                "is_greater_or_equal_than": (0,), "is_less_than": (9,), "is_less_or_equal_than": (9,)}


def factories(ac):
    """(name, arguments) of every factory the stub declares (the public methods that return the checker)."""
    return [(n.name, FACTORY_ARGS.get(n.name, ())) for n in parse(ac)["ArgumentChecker"].body
            if isinstance(n, ast.FunctionDef) and n.name[0] != "_" and ast.unparse(n.returns) == "ArgumentChecker"]
