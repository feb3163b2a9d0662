"""The type stubs shipped with the module describe the callables it has."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import varnel


def stub_path() -> Path:
    installed = Path(varnel.__file__).with_name("varnel-stubs") / "__init__.pyi"
    return installed if installed.exists() else Path(__file__).parents[2] / "src" / "varnel-stubs" / "__init__.pyi"


PROPERTY = "property"


def stub_parameters(fn: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, object]]:
    """(name, kind, default) of each parameter after self/cls; inspect.Parameter.empty when required."""
    args = fn.args
    positional = args.args[1:]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults]
    out = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(positional, defaults)]
    out += [(a.arg, inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return out


def stub_classes():
    """(submodule, class) -> {method name: stub_parameters, or PROPERTY}."""
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
                        methods[fn.name] = PROPERTY if is_property else stub_parameters(fn)
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
        runtime = [(p.name, p.kind, p.default) for p in inspect.signature(target).parameters.values()
                   if p.name not in ("self", "$self")]
        assert runtime == params, f"{name}.{method}"


def test_stub_exports_the_experiment_and_runtime_modules():
    tree = ast.parse(stub_path().read_text())
    imported = {(a.name, a.asname) for n in tree.body if isinstance(n, ast.ImportFrom) and n.module is None
                for a in n.names}
    assert {("experiment", "experiment"), ("runtime", "runtime")} <= imported
    # A module imported under its own name is exported; __all__ lists it beside the native submodules.
    exported = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in n.targets))
    assert exported == varnel.__all__ + ["experiment"]
    assert varnel.experiment.__name__ == "_varnel_experiment"
    stub_dir = stub_path().parent
    experiment_names = ast.literal_eval(next(n.value for n in ast.parse((stub_dir / "experiment.pyi").read_text()).body
                                              if isinstance(n, ast.Assign)))
    assert experiment_names == varnel.experiment.__all__


def test_type_checkers_follow_the_stubs(tmp_path):
    # A wrong annotation is reported with the stubs' types: mypy found every module it names.
    source = tmp_path / "use_varnel.py"
    source.write_text(
        "import varnel\n"
        "from varnel.experiment import AdaptiveExperiment\n"
        "from varnel.runtime import PanicException\n"
        "model = varnel.models.PsychometricModel(link='normal', lapse_rate=(1.0, 19.0))\n"
        "experiment = AdaptiveExperiment(model, [0.0, 1.0])\n"
        "wrong: int = experiment.next_stimulus()\n"
        "caught: type[BaseException] = PanicException\n")
    # mypy itself is not under test: it runs without the sanitizer runtimes a sanitizer build preloads.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_", "PYTHONMALLOC"))}
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                          str(source)], capture_output=True, text=True, env=env)
    lines = run.stdout.strip().splitlines()
    assert lines[-1] == "Found 1 error in 1 file (checked 1 source file)", run.stdout
    assert 'use_varnel.py:6: error: Incompatible types in assignment (expression has type "float"' in lines[0]
