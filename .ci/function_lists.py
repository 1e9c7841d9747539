# What is written from tests/registry.py, the one list: the C++ table, the __all__ of the stubs and of the torch
# adapter, the function tables of README.md and DESCRIPTION.md, and for a trainer-layer function nobody typed by
# hand its typed def in the stubs and its entry in the adapter's table of generic torch functions.
#
#   python .ci/function_lists.py     rewrites every stale one
#
# tests/test_checklist.py fails, naming the file, while one of them differs from what this writes.
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from registry import REGISTRY  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
TABLE = "src/binding/functions/table.h"
STUBS = "stubs/quorvale_rl_core-stubs/__init__.pyi"
ADAPTER = "python/quorvale_rl_core_torch/__init__.py"
PAGES = ("README.md", "DESCRIPTION.md")

TABLE_HEAD = """\
// The module's Python functions in table order, which is also the order of
// __all__.  Written by .ci/function_lists.py from tests/registry.py: edit
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


def _between(text, begin, end, body):
    """The text with what lies between the marker lines `begin` and `end` replaced by `body`."""
    head, rest = text.split(begin + "\n", 1)
    return head + begin + "\n" + body + end + rest.split(end, 1)[1]


def _hand_written(text, begin):
    """The names given a def above the generated part."""
    return set(re.findall(r"^def (\w+)\(", text.split(begin, 1)[0], re.M))


STUB_BEGIN = "# Written by .ci/function_lists.py from tests/registry.py: the functions with no def above."
STUB_END = "# End of the written defs."
ARRAYS = {"vec", "mat"}  # floating arrays
STUB_TYPES = {
    "ivec": "_Int64Array",
    "flags": "_FlagArray",
    "flagvec": "_FlagArray",
    "float": "_Real",
    "int": "_Integer",
    "bool": "bool",
    "str": "str",
    "options": "Mapping[str, object] | None",
    "veclist": "Sequence[_Float64Array]",
    "seq": "_RealSequence",
}


def stub_def(name):
    """The typed def of a trainer-layer function from its entry: float32 arrays give float32 results (the first
    overload), any other mix float64; arrays and flags as the module reads them, None defaults optional."""
    entry = REGISTRY[name]
    arrays = sum(k in ARRAYS for k in entry.kinds.split())

    def signature(result, array):
        out = result if entry.outputs == 1 else f"tuple[{', '.join([result] * entry.outputs)}]"
        lines = []
        for part, kind in zip([p for p in entry.signature[1:-1].split(", ") if p != "*"], entry.kinds.split()):
            if entry.keyword_only and part.split("=")[0] == entry.keyword_only[0]:
                lines.append("*")
            kind_type = "_RealArray" if kind == "out" else array if kind in ARRAYS else STUB_TYPES[kind]
            if kind == "out" and entry.outputs > 1:
                kind_type = f"tuple[{', '.join([kind_type] * entry.outputs)}]"
            default = part.partition("=")[2]
            annotation = f"{kind_type} | None" if default == "None" else kind_type
            lines.append(f"{part.split('=')[0]}: {annotation}" + (f" = {default}" if default else ""))
        return "".join(f"    {line},\n" for line in lines), out

    single = "_Float64Array" if arrays == 1 or not entry.float32 else "_RealArray"
    parameters, result = signature("_Float64Array", single)
    text = f'def {name}(\n{parameters}) -> {result}:\n    """{entry.first_line}."""\n'
    if not entry.float32:
        return text
    narrow, narrow_result = signature("_Float32Array", "_Float32Array")
    ignore = "  # type: ignore[overload-overlap]  # a float32 array is the narrower case"
    return f"@overload\ndef {name}({ignore}\n{narrow}) -> {narrow_result}: ...\n@overload\n{text}"


def stubs(text):
    text = stubs_all(text)
    hand = _hand_written(text, STUB_BEGIN)
    wanted = [n for n, e in REGISTRY.items() if e.layer == "trainer" and e.kernel and n not in hand]
    return _between(text, STUB_BEGIN, STUB_END, "".join(f"\n{stub_def(n)}" for n in wanted) + ("\n" if wanted else ""))


ADAPTER_BEGIN = "# Written by .ci/function_lists.py from tests/registry.py: the adapted functions with no def above."
ADAPTER_END = "# End of the written table."


def adapter(text):
    text = adapter_all(text)
    hand = _hand_written(text, ADAPTER_BEGIN)
    rows = [
        f'    "{n}": ("{e.kinds}", {e.float32}, {e.outputs}),\n'
        for n, e in REGISTRY.items()
        if e.kernel and e.adapted and n not in hand
    ]
    rows = [
        r
        if len(r) <= 121
        else r.replace(": (", ": (\n        ").replace(", ", ",\n        ").replace("),\n", ",\n    ),\n")
        for r in rows
    ]  # as ruff formats a row too long for one line
    table = "_GENERATED: dict[str, tuple[str, bool, int]] = " + ("{\n" + "".join(rows) + "}\n" if rows else "{}\n")
    return _between(text, ADAPTER_BEGIN, ADAPTER_END, table)


WRITERS = {TABLE: table_h, STUBS: stubs, ADAPTER: adapter, **{page: function_table for page in PAGES}}


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
