"""The package's sources: their imports form no cycle, and each module imports by itself."""
import ast
import os
import subprocess
import sys

from conftest import ROOT

PACKAGE = ROOT / "python" / "varno"
MODULES = sorted(p.stem for p in PACKAGE.glob("*.py"))


def imports_of(module):
    """The package's modules `module` imports anywhere in it (in a function, under
    TYPE_CHECKING, too): a name that is no module is the package, __init__."""
    found = set()
    for node in ast.walk(ast.parse((PACKAGE / f"{module}.py").read_text())):
        if isinstance(node, ast.ImportFrom) and (node.level == 1 or node.module == "varno"):
            if node.level == 1 and node.module:
                found.add(node.module.split(".")[0])
            else:
                found.update(a.name if a.name in MODULES else "__init__" for a in node.names)
        elif isinstance(node, ast.Import):
            found.update(a.name.split(".")[1] if "." in a.name else "__init__"
                         for a in node.names if a.name.split(".")[0] == "varno")
    return found - {module}


def test_the_imports_form_no_cycle():
    graph = {m: imports_of(m) for m in MODULES}
    assert graph["_errors"] and graph["_link"] and not graph["_native"]  # the walk sees imports
    done, path = set(), []

    def visit(module):
        assert module not in path, f"an import cycle: {' -> '.join(path + [module])}"
        if module not in done:
            path.append(module)
            for imported in sorted(graph[module]):
                visit(imported)
            path.pop()
            done.add(module)

    for module in MODULES:
        visit(module)


def test_each_module_imports_by_itself():
    # `import varno._x` would run the package's __init__ first, which imports every module in an
    # order that hides a cycle: here the package is an empty one and the module comes first.
    for module in MODULES:
        if module == "__init__":
            continue
        code = ("import sys, types; package = types.ModuleType('varno'); "
                f"package.__path__ = [{str(PACKAGE)!r}]; sys.modules['varno'] = package; "
                f"import varno.{module}")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}, timeout=60)
        assert done.returncode == 0, f"varno.{module}: {done.stderr}"
