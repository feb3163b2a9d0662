"""The type stub shipped with the module describes the callables it has."""

import ast
import inspect
from pathlib import Path

import pytest

import varnel


def stub_path() -> Path:
    installed = Path(varnel.__file__).with_name("varnel.pyi")
    return installed if installed.exists() else Path(__file__).parents[2] / "src" / "varnel.pyi"


PROPERTY = "property"


def stub_classes():
    """(submodule, class) -> {method name: parameter names after self/cls, or PROPERTY}."""
    tree = ast.parse(stub_path().read_text())
    found = {}
    for ns in tree.body:
        if not isinstance(ns, ast.ClassDef) or ns.name not in varnel.__all__:
            continue
        for cls in ns.body:
            if isinstance(cls, ast.ClassDef):
                methods = {}
                for fn in cls.body:
                    if isinstance(fn, ast.FunctionDef) and not (fn.name.startswith("__") and fn.name != "__new__"):
                        is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)
                        params = [a.arg for a in fn.args.args[1:] + fn.args.kwonlyargs]
                        methods[fn.name] = PROPERTY if is_property else params
                found[(ns.name, cls.name)] = methods
    return found


STUB = stub_classes()


def test_stub_names_every_class():
    # __all__ lists the original classes; later ones are public attributes beside them.
    runtime = {(sub, name) for sub in varnel.__all__ for name in dir(getattr(varnel, sub))
               if not name.startswith("_") and isinstance(getattr(getattr(varnel, sub), name), type)}
    assert {(sub, name) for sub in varnel.__all__ for name in getattr(varnel, sub).__all__} <= runtime
    assert set(STUB) == runtime


@pytest.mark.parametrize("key", sorted(STUB), ids=lambda k: ".".join(k))
def test_stub_signatures_match_text_signatures(key):
    sub, name = key
    cls = getattr(getattr(varnel, sub), name)
    methods = STUB[key]
    public = {m for m in dir(cls) if not m.startswith("_")}
    assert set(methods) - {"__new__"} == public
    for method, params in methods.items():
        if params == PROPERTY:
            assert not callable(getattr(cls, method)), f"{name}.{method} is a method at run time"
            continue
        target = cls if method == "__new__" else getattr(cls, method)
        names = [p for p in inspect.signature(target).parameters if p not in ("self", "$self")]
        assert names == params, f"{name}.{method}"


def test_stub_exports_the_experiment_module():
    tree = ast.parse(stub_path().read_text())
    imports = [n for n in tree.body if isinstance(n, ast.Import)]
    assert any(a.name == "_varnel_experiment" and a.asname == "experiment" for n in imports for a in n.names)
    # A module imported under another name is exported to type checkers only through __all__.
    exported = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in n.targets))
    assert exported == varnel.__all__ + ["experiment"]
    assert varnel.experiment.__name__ == "_varnel_experiment"
