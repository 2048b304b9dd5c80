"""The package's sources: their imports form no cycle, each module imports by itself, and their
constants are the C header's."""
import ast
import ctypes
import os
import re
import subprocess
import sys

from conftest import ROOT
from varno import LinkState, _native

PACKAGE = ROOT / "python" / "varno"
HEADER = ROOT / "link" / "include" / "varno_link.h"
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


def test_the_constants_are_the_headers():
    # varno_link.h is where outcomes, error codes, states and flags are numbered; the package has
    # each of them under its name without VARNO_, and no number of its own but NO_LIMIT_MS.
    text = HEADER.read_text()
    header = {name: int(value, 0) for name, value in
              re.findall(r"^#define VARNO_(\w+) \(?(-?(?:0x[0-9a-fA-F]+|\d+))u?\)?", text, re.M)}
    assert {"REPLY", "OK", "E_ARGUMENT", "E_QUEUE_TIMEOUT", "STATE_IDLE", "LIST_ALL"} <= set(header)
    ours = {name: value for name, value in vars(_native).items()
            if name.isupper() and type(value) is int and name != "NO_LIMIT_MS"}
    assert ours == header
    assert {s.name: s.value for s in LinkState} == {
        name[len("STATE_"):]: value for name, value in header.items() if name.startswith("STATE_")}


def test_the_records_are_the_headers():
    # The library writes into these: a field that differs in size or place corrupts memory.
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    types = {"uint8_t": ctypes.c_uint8, "uint16_t": ctypes.c_uint16, "uint32_t": ctypes.c_uint32,
             "char": ctypes.c_char}
    for record in (_native.VarnoFrame, _native.VarnoPortInfo):
        body = re.search(rf"typedef struct {record.__name__} {{(.*?)}}", text, re.S).group(1)
        header = []
        for declaration in filter(str.strip, body.split(";")):
            kind, names = declaration.split(None, 1)
            for name, count in re.findall(r"(\w+)(?:\[(\d+)\])?", names):
                header.append((name, types[kind] * int(count) if count else types[kind]))
        # (ctypes makes c_char * 256 once: the same type here and there)
        assert [tuple(field) for field in record._fields_] == header
