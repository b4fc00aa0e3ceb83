"""Type stubs: installed beside the module, found by mypy, and in step with every binding."""
import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _quorvel_rec_extension as ext

STUB_PACKAGE = "_quorvel_rec_extension-stubs"
SOURCE_STUB = Path(__file__).resolve().parents[1] / "src" / "module" / STUB_PACKAGE / "__init__.pyi"
INSTALLED_STUB = Path(ext.__file__).parent / STUB_PACKAGE / "__init__.pyi"
CLASSES = [ext.Bitmap, ext.MemoryScanner]


def split_top_level(text):
    """Splits `text` at the commas that are outside brackets."""
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "([":
            depth += 1
        elif char in ")]":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    tail = text[start:].strip()
    return parts + [tail] if tail else parts


def bound_parameters(function, static):
    """(name, default text or None, positional-only) of each parameter, from the signature line
    the binding layer writes at the top of the docstring; `self` left out."""
    line = function.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1:line.rindex(") ->")]
    parameters = []
    for part in split_top_level(inner):
        name, _, rest = part.partition(":")
        _, has_default, default = rest.partition(" = ")
        # A parameter bound without a name is shown as argN and cannot be passed by keyword.
        parameters.append((name.strip(), default.strip() if has_default else None,
                           re.fullmatch(r"arg\d+", name.strip()) is not None))
    return parameters if static else parameters[1:]


def stub_parameters(node):
    """The same triples for a function of the stub."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    triples = [(a.arg, d, a in args.posonlyargs) for a, d in zip(positional, defaults)]
    static = "staticmethod" in decorators(node)
    return triples if static else triples[1:]


def decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def stub_classes():
    """{class name: {member name: AST node}} of the source stub."""
    tree = ast.parse(SOURCE_STUB.read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name in vars(ext):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = item
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = item
            classes[node.name] = members
    return classes


def runtime_members(cls):
    """Every name a binding put on the class (type attributes and binding-layer internals aside)."""
    return {name: value for name, value in vars(cls).items()
            if name not in ("__doc__", "__module__") and not name.startswith("_pybind11")}


BINDINGS = [(cls, name) for cls in CLASSES for name in runtime_members(cls)]


def test_stub_installed_beside_the_module_is_the_source_stub():
    assert INSTALLED_STUB.read_text() == SOURCE_STUB.read_text()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_stub_names_exactly_the_bindings(cls):
    assert set(stub_classes()[cls.__name__]) == set(runtime_members(cls))


@pytest.mark.parametrize("cls, name", BINDINGS, ids=lambda v: getattr(v, "__name__", v))
def test_stub_matches_the_binding(cls, name):
    runtime = vars(cls)[name]
    stub = stub_classes()[cls.__name__][name]
    if runtime is None:  # __hash__ of a class with __eq__
        assert ast.unparse(stub.annotation) == "ClassVar[None]"
        return
    if isinstance(runtime, property):
        assert decorators(stub) == {"property"}
        return
    static = isinstance(runtime, staticmethod)
    assert ("staticmethod" in decorators(stub)) == static
    function = runtime.__func__ if static else runtime
    assert stub_parameters(stub) == bound_parameters(function, static)


def description(runtime):
    """The docstring text after the signature line that the binding layer puts first."""
    if isinstance(runtime, property):
        return runtime.__doc__.strip()
    return getattr(runtime, "__func__", runtime).__doc__.partition("\n\n")[2].strip()


# py::pickle gives __getstate__ no docstring of its own; that of __setstate__ covers both.
DOCUMENTED = [(cls, name) for cls, name in BINDINGS if vars(cls)[name] is not None and name != "__getstate__"]


@pytest.mark.parametrize("cls, name", DOCUMENTED, ids=lambda v: getattr(v, "__name__", v))
def test_every_binding_has_a_docstring(cls, name):
    assert description(vars(cls)[name])


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300)


def test_stubtest_finds_no_drift(tmp_path):
    # From an empty directory, so the installed stubs are the ones checked.
    result = run([sys.executable, "-m", "mypy.stubtest", "_quorvel_rec_extension"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_uses_the_installed_stubs(tmp_path):
    (tmp_path / "use.py").write_text(
        "from _quorvel_rec_extension import Bitmap, MemoryScanner\n"
        "reveal_type(Bitmap().first)\n"
        "reveal_type(Bitmap.read(b''))\n"
        "MemoryScanner().scan(buffer=b'')\n")
    out = run([sys.executable, "-m", "mypy", "use.py"], tmp_path).stdout
    assert 'use.py:2: note: Revealed type is "int | None"' in out
    assert 'use.py:3: note: Revealed type is "_quorvel_rec_extension.Bitmap"' in out
    assert 'use.py:4: error: Unexpected keyword argument "buffer" for "scan" of "MemoryScanner"' in out
