# The places a public function must reach, read from the sources: one run names every place any function lacks,
# a function named anywhere (the one list in tests/registry.py, the built module, a binding file) included
# (the checklist in CONTRIBUTING.md, as a test).
import ast
import inspect
import re
import sys
from pathlib import Path

import pytest

import quorvale_rl_core as q
from registry import LARGE, REGISTRY

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="reads the checkout, and only tests/ is here")
sys.path.insert(0, str(ROOT / ".ci"))  # function_lists, the writer of the lists

ADAPTER = "python/quorvale_rl_core_torch/__init__.py"
STUBS = "stubs/quorvale_rl_core-stubs/__init__.pyi"
# Test files that cover every function alike (from the registry): a worked case lives in another, its family's.
SHARED_TESTS = {"test_calling_convention.py", "test_checklist.py", "test_fuzz.py", "test_leaks.py", "test_adapter.py",
                "test_shared_properties.py", "test_instruction_sets.py", "test_error_notes.py", "test_dropins.py",
                "test_boundary.py"}
# Pages and docstrings that must not count the functions: "the three trainer-layer functions" goes stale with
# the next one.  The nine core functions are fixed, so "nine" may stay.
PROSE = ["README.md", "DESCRIPTION.md", "CONTRIBUTING.md", "docs/*.md", ADAPTER, STUBS]
COUNT = re.compile(r"\b(two|three|four|five|six|seven|eight|ten|eleven|twelve|thirteen|fourteen|fifteen|\d+)"
                   r"((?:\s+(?:core|trainer-layer|trainer|kernel|public|exported|module))*\s+functions)\b", re.I)


def text(relative):
    path = ROOT / relative
    return path.read_text() if path.is_file() else ""


def exported_names(relative):
    """The names in a source file's __all__, read without importing it (the adapter needs torch)."""
    for node in ast.parse(text(relative)).body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return [e.value for e in node.value.elts if e.value != "__version__"]
    return []


def defined_functions(relative):
    return {node.name for node in ast.parse(text(relative)).body if isinstance(node, ast.FunctionDef)}


def kernel_sources(name):
    """The kernel .cpp files behind the binding: those of the kernel headers it includes."""
    binding = text(f"src/binding/functions/{name}.cpp")
    headers = re.findall(r'#include "(kernels/\w+)\.h"', binding)
    return [text(f"src/{h}.cpp") for h in headers if (ROOT / f"src/{h}.cpp").is_file()]


def calls_in_bench(name):
    """A bench case that calls the function: `x.name(` in bench/*.py, or a case family of bench/cases.py."""
    return any(re.search(rf"\.{name}\(", p.read_text()) for p in (ROOT / "bench").glob("*.py")) or \
        re.search(rf'_family\("{name}"', text("bench/cases.py")) is not None


def worked_case(name):
    return any(re.search(rf"\b{name}\b", p.read_text()) for p in (ROOT / "tests").glob("test_*.py")
               if p.name not in SHARED_TESTS)


def literal_messages(source):
    """Texts a caller would see, written in place instead of in src/failure/messages.h."""
    return re.findall(r'\b(?:PyErr_\w+|raise_\w+|fail|throw\s+[\w:]+)\s*\([^;]*?("[^"]*")', source)


def places(name):
    """Each place the function must reach, with whether it does."""
    entry = REGISTRY.get(name)
    binding = text(f"src/binding/functions/{name}.cpp")
    stubs = text(STUBS)
    found = {
        "tests/registry.py (a Function entry: the one list; then run python .ci/function_lists.py)": entry is not None,
        f"src/binding/functions/{name}.cpp (its PyMethodDef, made by define_function)":
            re.search(rf"PyMethodDef {name} = define_function", binding) is not None,
        "the installed module (rebuild: pip install .)": name in q.__all__,
        f"{STUBS} (a def: run python .ci/function_lists.py)": re.search(rf"^def {name}\(", stubs, re.M) is not None,
        "docs/api.md (a section headed by its text signature)": f"## `{name}(" in text("docs/api.md"),
        "src/failure/messages.h (every text a caller sees; none written in the binding or its kernel)":
            not any(literal_messages(source) for source in [binding, *kernel_sources(name)]),
    }
    if entry is not None and not entry.kernel:
        return found
    on_pool = [s for s in kernel_sources(name) if "parallel_map" in s]
    found |= {
        f"{ADAPTER} (a function, or its row in _GENERATED: run python .ci/function_lists.py), or adapted=False "
        "in its registry entry": (entry is not None and not entry.adapted) or name in defined_functions(ADAPTER)
        or re.search(rf'^    "{name}": \(', text(ADAPTER), re.M) is not None,
        # One generator feeds the suite's path and thread-count parity, .ci/isa_paths.py and the aarch64 check.
        "src/kernels/ (its kernel, a .h the binding includes and its .cpp)": bool(kernel_sources(name)),
        "tests/registry.py (a `large` generator in the LARGE dict)": name in LARGE,
        "tests/reference.py (a slow model of the same name)": name in defined_functions("tests/reference.py"),
        "a worked case in the test file of its family (tests/test_kernels.py, tests/test_trainer_kernels.py)":
            worked_case(name),
        "bench/ (a case that calls it)": calls_in_bench(name),
        "src/kernels/costs.h (the cost of an item, for a kernel on the worker pool)":
            all("costs::" in source for source in on_pool),
    }
    return found


def every_name():
    named = [*REGISTRY, *(n for n in q.__all__ if n != "__version__"), *exported_names(STUBS), *exported_names(ADAPTER),
             *sorted(p.stem for p in (ROOT / "src" / "binding" / "functions").glob("*.cpp"))]
    return list(dict.fromkeys(named))


@pytest.mark.parametrize("name", every_name())
def test_every_place_holds_the_function(name):
    missing = [place for place, present in places(name).items() if not present]
    assert not missing, f"{name} is missing from:\n  " + "\n  ".join(missing)


def test_the_lists_written_from_the_registry_are_current():
    from function_lists import stale

    files = list(stale(ROOT))
    assert not files, f"stale (run python .ci/function_lists.py): {', '.join(files)}"


@pytest.mark.parametrize("name", [n for n, e in REGISTRY.items() if e.layer == "trainer" and e.kernel])
def test_the_written_stub_def_has_the_module_parameters(name):
    """The def .ci/function_lists.py writes for a function nobody typed by hand (checked on those typed by hand)."""
    from function_lists import stub_def

    namespace = {"overload": lambda f: f}
    exec("from __future__ import annotations\n" + stub_def(name), namespace)
    signature = inspect.signature(namespace[name])
    bare = [p.replace(annotation=p.empty) for p in signature.parameters.values()]
    assert str(signature.replace(parameters=bare, return_annotation=signature.empty)).replace("'", '"') == REGISTRY[name].signature


def test_the_installed_module_is_in_the_registry_order():
    assert list(REGISTRY) == [n for n in q.__all__ if n != "__version__"], "rebuild: pip install ."


def test_no_prose_counts_the_functions():
    counted = [f"{path.relative_to(ROOT)}: \"{match[0]} {' '.join(match[1].split())}\""
               for pattern in PROSE for path in sorted(ROOT.glob(pattern))
               for match in COUNT.findall(path.read_text())]
    assert not counted, "counts that go stale with the next function:\n  " + "\n  ".join(counted)
