# The lists of function names written from tests/registry.py, the one list: the C++ table, the __all__ of the
# stubs and of the torch adapter, the function tables of README.md and DESCRIPTION.md.
#
#   python tests/function_lists.py     rewrites every stale one
#
# tests/test_checklist.py fails, naming the file, while one of them differs from what this writes.
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from registry import REGISTRY  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TABLE = "src/binding/functions/table.h"
STUBS = "stubs/quorvale_rl_core-stubs/__init__.pyi"
ADAPTER = "python/quorvale_rl_core_torch/__init__.py"
PAGES = ("README.md", "DESCRIPTION.md")

TABLE_HEAD = """\
// The module's Python functions in table order, which is also the order of
// __all__.  Written by tests/function_lists.py from tests/registry.py: edit
// the list there.  Each name is defined by functions/<name>.cpp as the
// PyMethodDef qrl::binding::functions::<name>; module.cpp declares and
// registers them, CMakeLists.txt compiles the files.
#pragma once

"""


def table_h(_text):
    lines = ["#define QRL_MODULE_FUNCTIONS(X)"] + [f"    X({name})" for name in REGISTRY]
    width = max(map(len, lines)) + 1
    return TABLE_HEAD + " \\\n".join(line.ljust(width - 1) for line in lines[:-1]) + " \\\n" + lines[-1] + "\n"


def _python_all(text, names):
    body = "".join(f'    "{name}",\n' for name in names)
    return re.sub(r"^__all__ = \[\n.*?^\]\n", lambda _: f"__all__ = [\n{body}]\n", text, count=1, flags=re.S | re.M)


def stubs_all(text):
    return _python_all(text, [*REGISTRY, "__version__"])


def adapter_all(text):
    return _python_all(text, [name for name, entry in REGISTRY.items() if entry.kernel and entry.adapted])


def function_table(text):
    """The rows of the page's family table (header `| family | functions |`): each family's names in table order.

    A row keeps its first cell's decorations (a link after the family) and any text after its names."""
    families = {}
    for name, entry in REGISTRY.items():
        if entry.family:
            families.setdefault(entry.family, []).append(name)
    lines = text.split("\n")
    start = lines.index("| family | functions |") + 2
    end = start
    while end < len(lines) and lines[end].startswith("|"):
        end += 1
    kept = {}
    for row in lines[start:end]:
        first, rest = row[2:-2].split(" | ", 1)
        tail = re.sub(r"^(`\w+`(, )?)+", "", rest) if re.match(r"`\w+`", rest) else rest
        family = next((f for f in families if first == f or first.startswith(f + " ")), None)
        if family:
            kept[family] = (first, tail)
    rows = []
    for family, names in families.items():
        first, tail = kept.get(family, (family, ""))
        rows.append(f"| {first} | {', '.join(f'`{n}`' for n in names)}{tail} |")
    return "\n".join(lines[:start] + rows + lines[end:])


WRITERS = {TABLE: table_h, STUBS: stubs_all, ADAPTER: adapter_all, **{page: function_table for page in PAGES}}


def stale(root=ROOT):
    """The files whose lists differ from what tests/registry.py says, with the text they should have."""
    found = {}
    for relative, write in WRITERS.items():
        current = (root / relative).read_text()
        wanted = write(current)
        if wanted != current:
            found[relative] = wanted
    return found


if __name__ == "__main__":
    for relative, wanted in stale().items():
        (ROOT / relative).write_text(wanted)
        print("rewrote", relative)
