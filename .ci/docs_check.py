"""Keeps the README and docs honest where a program can tell.

- Every function in the module's __all__ has a section in docs/api.md whose heading is its text signature, and a
  stub in stubs/; every function heading in docs/api.md names a real function.
- Every repository path that the Markdown files quote or link (.ci scripts, examples, bench, src, docs) exists.
- Shell commands quoted in ```sh blocks: .ci scripts parse (bash -n), pip extras exist in pyproject.toml, and
  `python examples/...` commands run; the Python blocks of the README and docs/ run.
Run with the module installed in the active interpreter.
"""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import quorvale_rl_core as module

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", ROOT / "CONTRIBUTING.md", ROOT / "bench" / "README.md", *sorted(ROOT.glob("docs/*.md"))]
PATH_PATTERN = re.compile(r"(?<![\w/.-])((?:\.ci|examples|bench|src|docs|stubs|tests|cmake)/[\w./-]*\w)")
problems = []


def fenced(text, language):
    return re.findall(rf"^```{language}\n(.*?)^```", text, re.S | re.M)


def check_functions():
    api = (ROOT / "docs" / "api.md").read_text()
    stubs = (ROOT / "stubs" / "quorvale_rl_core-stubs" / "__init__.pyi").read_text()
    names = [n for n in module.__all__ if n != "__version__"]
    for name in names:
        signature = f"## `{name}{getattr(module, name).__text_signature__}`"
        if signature not in api.splitlines():
            problems.append(f"docs/api.md: no section headed {signature}")
        if not re.search(rf"^def {name}\(", stubs, re.M):
            problems.append(f"stubs: no stub for {name}")
    for heading in re.findall(r"^## `(\w+)\(", api, re.M):
        if heading not in names:
            problems.append(f"docs/api.md: section for {heading}, which the module does not have")


def check_paths(page, text):
    for path in PATH_PATTERN.findall(text):
        if not (ROOT / path).exists() and not (page.parent / path).exists():
            problems.append(f"{page.relative_to(ROOT)}: quotes {path}, which does not exist")
    for link in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", text):
        if not (page.parent / link).exists():
            problems.append(f"{page.relative_to(ROOT)}: links {link}, which does not exist")


def check_commands(page, text):
    pyproject = (ROOT / "pyproject.toml").read_text()
    section = pyproject.split("[project.optional-dependencies]", 1)[-1].split("\n[", 1)[0]
    extras = re.findall(r"^(\w+)\s*=", section, re.M)
    for block in fenced(text, "sh"):
        for command in re.split(r"&&|\n|;", block.replace("\\\n", " ")):
            command = command.strip()
            for extra in re.findall(r'"\.\[(\w+)\]"', command):
                if extra not in extras:
                    problems.append(f"{page.relative_to(ROOT)}: pip extra [{extra}] is not in pyproject.toml")
            script = re.match(r"bash (\.ci/\S+)", command)
            if script and subprocess.run(["bash", "-n", ROOT / script[1]]).returncode:
                problems.append(f"{page.relative_to(ROOT)}: {script[1]} does not parse")
            if re.fullmatch(r"python examples/\w+\.py", command):
                run = subprocess.run([sys.executable, *command.split()[1:]], cwd=ROOT, capture_output=True, text=True)
                if run.returncode:
                    problems.append(f"{page.relative_to(ROOT)}: `{command}` failed:\n{run.stderr}")


def check_python_blocks():
    """Every Python block of the README and docs/ runs as written; docs/trainers.md's recipes need the trainers,
    and its tests in the peers step run them."""
    has_torch = importlib.util.find_spec("torch") is not None
    for page in [ROOT / "README.md", *sorted(ROOT.glob("docs/*.md"))]:
        if page.name == "trainers.md":
            continue
        for block in fenced(page.read_text(), "python"):
            if "import torch" in block and not has_torch:
                print(f"{page.relative_to(ROOT)}: a torch block skipped (torch is not installed)")
                continue
            run = subprocess.run([sys.executable, "-c", block], cwd=ROOT, capture_output=True, text=True)
            if run.returncode:
                problems.append(f"{page.relative_to(ROOT)}: a Python block fails:\n{block}\n{run.stderr}")


check_functions()
for page in PAGES:
    text = page.read_text()
    check_paths(page, text)
    check_commands(page, text)
check_python_blocks()
print("\n".join(problems) or f"docs check: {len(module.__all__) - 1} functions documented, {len(PAGES)} pages checked")
sys.exit(1 if problems else 0)
