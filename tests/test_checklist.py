# The places a public function must reach, read from the sources: a function the module or the adapter
# exports and some place lacks fails here, naming the place (the checklist in CONTRIBUTING.md, as a test).
import ast
import re
from pathlib import Path

import pytest

import quorvale_rl_core as q
from registry import REGISTRY

ROOT = Path(__file__).resolve().parent.parent
ADAPTER = ROOT / "python" / "quorvale_rl_core_torch" / "__init__.py"
EXPORTED = [name for name in q.__all__ if name != "__version__"]
pytestmark = pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="reads the checkout, and only tests/ is here")


def text(relative):
    return (ROOT / relative).read_text()


def exported_names(path):
    """The names in a source file's __all__, read without importing it (the adapter needs torch)."""
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return [e.value for e in node.value.elts]
    return []


def defined_functions(path):
    return {node.name for node in ast.parse(path.read_text()).body if isinstance(node, ast.FunctionDef)}


def table_row_names(relative):
    """Function names quoted in the Markdown table of a page (the family table under its introduction)."""
    return {name for line in text(relative).splitlines() if line.startswith("|") for name in re.findall(r"`(\w+)`", line)}


def places(name):
    """Each place the function must reach, with whether it does."""
    entry = REGISTRY.get(name)
    stub = ROOT / "stubs" / "quorvale_rl_core-stubs" / "__init__.pyi"
    found = {
        "tests/registry.py (a Function entry)": entry is not None,
        "the stubs (stubs/quorvale_rl_core-stubs/__init__.pyi: def and __all__)":
            name in exported_names(stub) and f"def {name}(" in stub.read_text(),
        "docs/api.md (a section headed by its text signature)": f"## `{name}(" in text("docs/api.md"),
    }
    if entry is None or not entry.kernel:
        return found
    found |= {
        "the torch adapter (python/quorvale_rl_core_torch/__init__.py: a function and __all__), or adapted=False "
        "in its registry entry": not entry.adapted or (name in exported_names(ADAPTER) and name in defined_functions(ADAPTER)),
        # One generator feeds the suite's path and thread-count parity, .ci/isa_paths.py and the aarch64 check.
        "the instruction-set parity cases (a `large` generator in tests/registry.py)": entry.large is not None,
        "the bench cases (a case in bench/)": any(re.search(rf"\b{name}\b", p.read_text()) for p in (ROOT / "bench").glob("*.py")),
        "the function tables of README.md and DESCRIPTION.md":
            all(name in table_row_names(page) for page in ("README.md", "DESCRIPTION.md")),
    }
    return found


@pytest.mark.parametrize("name", EXPORTED)
def test_every_place_holds_the_function(name):
    missing = [place for place, present in places(name).items() if not present]
    assert not missing, f"{name} is missing from: " + "; ".join(missing)


def test_every_adapter_function_is_a_module_function_in_the_registry():
    adapter = [n for n in exported_names(ADAPTER)]
    strays = [n for n in adapter if n not in REGISTRY or not REGISTRY[n].adapted]
    assert not strays, f"the adapter exports {strays}, which tests/registry.py does not mark adapted"
    assert list(REGISTRY) == EXPORTED, "tests/registry.py must list the module's functions in the order of __all__"
