"""No instruction-set path of the vector kernels may be scalarised.

    python .ci/vector_check.py OBJDUMP TARGET=OBJECT_DIR [TARGET=OBJECT_DIR ...]

Disassembles each target's objects and finds every innermost loop of every kernel (a backward
branch and the instructions it jumps over).  The kernel's hot loop must compute on full-width
vectors: xmm pairs for the x86-64 baseline (packed `pd` instructions), ymm for AVX2, zmm for
AVX-512, q registers of two doubles for NEON.  A loop that computes on vectors must not compare
lanes one by one: scalar compares (`ucomisd`, `comisd`, `cmpsd`, `fcmp`) and conditional moves
(`cmov`, `fcsel`) there mean the compiler split a vector into lanes through the stack, several
times slower than the packed code.  Deterministic: it reads the code, never times it.
"""

import re
import subprocess
import sys
from pathlib import Path

# Every vector kernel, read from the one list that declares them.
KERNELS = tuple(
    re.findall(
        r"^\s*X\((\w+),",
        (Path(__file__).resolve().parent.parent / "src/kernels/vector_kernels.h").read_text(),
        flags=re.MULTILINE,
    )
)
# Kernels whose formula selects between values: their hot loop must do it with packed compares,
# blends or minimum/maximum instructions.
SELECTING = {
    "gspo_clipping_range",
    "ppo_surrogate_range",
    "clamp",
    "min_max",
    "group_matrix_range",
    "group_ragged_range",
}
assert KERNELS and SELECTING <= set(KERNELS), (KERNELS, SELECTING)

X86_SCALAR = re.compile(r"^(v?u?comisd|v?cmp\w*sd|cmov\w+)$")
X86_PACKED_ARITH = re.compile(r"^v?(add|sub|mul|div|min|max|sqrt|cmp\w*|blendv?|blendm)pd$")
X86_PACKED_SELECT = re.compile(r"^v?(min|max|cmp\w*|blendv?|blendm)pd$|^vpblendm[bwdq]$|^vpternlog[dq]$")
ARM_SCALAR = re.compile(r"^(fcmp|fcmpe|fcsel|fccmp|fccmpe)$")
ARM_PACKED_SELECT = re.compile(r"^(fcm\w+|fmaxnm|fminnm|fmax|fmin|bsl|bit|bif)$")


# Kernels with a sequential part by design (a recursion along each row, scalar per row, its NaN
# rule a scalar compare) beside their vector passes: they must have vector loops, and their scalar
# compares are not lanes split apart.
SEQUENTIAL = {"padded_gae_rows"}
# Kernels that only spread values along flags: no arithmetic, so on the x86-64 baseline their hot
# loop shows as packed bitwise selects and conversions.
SPREADING = {"broadcast_block"}
X86_PACKED_MOVES = re.compile(r"^(p?and|p?andn|p?or)(pd)?$|^cvtpd2ps$")


def width_of(target, mnemonic, operands, kernel=None):
    """True when the instruction computes on the target's full vector width."""
    if target == "avx512":
        return "%zmm" in operands
    if target == "avx2":
        return "%ymm" in operands
    if target == "neon":
        return ".2d" in operands or ".16b" in operands
    return bool(X86_PACKED_ARITH.match(mnemonic) or (kernel in SPREADING and X86_PACKED_MOVES.match(mnemonic)))


def functions(objdump, path):
    text = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", "-C", str(path)], check=True, capture_output=True, text=True
    ).stdout
    for block in re.split(r"\n(?=[0-9a-f]+ <)", text):
        head = re.match(r"[0-9a-f]+ <(.*)>:", block)
        if not head or "[clone" in head.group(1):
            continue
        code = []
        for line in block.split("\n")[1:]:
            m = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
            if m:
                code.append((int(m.group(1), 16), m.group(2), m.group(3)))
        yield head.group(1), code


def is_branch(mnemonic):
    return bool(re.match(r"^(j\w+|b|b\.\w+|cbn?z|tbn?z)$", mnemonic))


def ends_flow(mnemonic):
    return mnemonic in ("jmp", "b", "ret", "ud2", "brk") or mnemonic.startswith("ret")


def innermost_loops(code):
    """The instructions of each innermost natural loop of the function's control-flow graph."""
    if not code:
        return []
    index = {address: i for i, (address, _, _) in enumerate(code)}
    targets = {}
    for i, (_, mnemonic, operands) in enumerate(code):
        jump = re.search(r"\b([0-9a-f]+) <", operands)
        if is_branch(mnemonic) and jump and int(jump.group(1), 16) in index:
            targets[i] = index[int(jump.group(1), 16)]
    starts = sorted(
        {0}
        | set(targets.values())
        | {i + 1 for i in targets if i + 1 < len(code)}
        | {i + 1 for i, ins in enumerate(code) if ends_flow(ins[1]) and i + 1 < len(code)}
    )
    block_of = {}
    for b, start in enumerate(starts):
        end = starts[b + 1] if b + 1 < len(starts) else len(code)
        for i in range(start, end):
            block_of[i] = b
    successors = {b: set() for b in range(len(starts))}
    for b in range(len(starts)):
        last = (starts[b + 1] if b + 1 < len(starts) else len(code)) - 1
        mnemonic = code[last][1]
        if last in targets:
            successors[b].add(block_of[targets[last]])
        if not ends_flow(mnemonic) and last + 1 < len(code):
            successors[b].add(b + 1)
    predecessors = {b: set() for b in successors}
    for b, nexts in successors.items():
        for n in nexts:
            predecessors[n].add(b)
    # Dominators by the iterative data-flow method, from the entry and from every block no branch
    # reaches (the cases of a jump table, which clang uses for a switch: an indirect jump names no
    # target).
    roots = {0} | {b for b in successors if b and not predecessors[b]}
    reachable, stack = set(roots), list(roots)
    while stack:
        for n in successors[stack.pop()]:
            if n not in reachable:
                reachable.add(n)
                stack.append(n)
    dominators = {b: set(reachable) for b in reachable}
    for root in roots:
        dominators[root] = {root}
    changed = True
    while changed:
        changed = False
        for b in sorted(reachable - roots):
            preds = [dominators[p] for p in predecessors[b] if p in reachable]
            new = {b} | (set.intersection(*preds) if preds else set())
            if new != dominators[b]:
                dominators[b], changed = new, True
    loops = {}
    for tail in reachable:
        for head in successors[tail]:
            if head in dominators[tail]:
                body, stack = {head, tail}, ([tail] if tail != head else [])
                while stack:
                    for p in predecessors[stack.pop()]:
                        if p not in body and p in reachable:
                            body.add(p)
                            stack.append(p)
                loops.setdefault(head, set()).update(body)
    bodies = list(loops.values())
    inner = [a for a in bodies if not any(b is not a and b < a for b in bodies)]
    return [[ins for i, ins in enumerate(code) if block_of[i] in body] for body in inner]


X86_REGISTER = re.compile(r"%[xyz]mm(\d+)")
X86_NO_WRITE = re.compile(r"^(v?u?comis[sd]|test\w*|cmp[bwlq]?|v?ptest|j\w+)$")


def lane_compares(loop, scalar):
    """The scalar compares and selects of a loop that can be lanes of its vectors.

    A compare whose registers no instruction of the loop writes tests a loop invariant (clang keeps
    the NaN test of a splatted constant inside the loop rather than unswitching it): one predictable
    branch, no lane split.  A conditional move after such compares only selects on them."""
    written = set()
    for _, mnemonic, operands in loop:
        destination = operands.rsplit(",", 1)[-1].split("{", 1)[0]
        if "(" not in destination and not X86_NO_WRITE.match(mnemonic):
            written.update(X86_REGISTER.findall(destination))
    compares = [(m, o) for _, m, o in loop if scalar.match(m) and not m.startswith("cmov")]
    variant = [m for m, o in compares if not X86_REGISTER.findall(o) or set(X86_REGISTER.findall(o)) & written]
    if variant or not compares:
        return [m for _, m, _ in loop if scalar.match(m)]
    return []


def check(objdump, target, directory):
    problems, seen = [], set()
    scalar = ARM_SCALAR if target == "neon" else X86_SCALAR
    for path in sorted(Path(directory).rglob("*.o")):
        listed = list(functions(objdump, path))
        kernels = {name: next((k for k in KERNELS if f"::{target}::{k}(" in name), None) for name, _ in listed}
        # A file that defines one kernel: the helpers the compiler kept out of line (its own
        # anonymous namespace, where clang leaves template instances) are that kernel's code too.
        defined = {k for k in kernels.values() if k}
        helpers = [code for name, code in listed if "::(anonymous namespace)::" in name] if len(defined) == 1 else []
        for name, code in listed:
            kernel = kernels[name]
            if kernel is None:
                continue
            seen.add(kernel)
            vector_loops = 0
            selects = False
            for loop in [loop for body in [code, *helpers] for loop in innermost_loops(body)]:
                wide = [ins for ins in loop if width_of(target, ins[1], ins[2], kernel)]
                if not wide:
                    continue
                vector_loops += 1
                selects |= any(
                    ARM_PACKED_SELECT.match(m) if target == "neon" else X86_PACKED_SELECT.match(m) for _, m, _ in loop
                )
                lanes = [] if kernel in SEQUENTIAL else lane_compares(loop, scalar)
                if lanes:
                    problems.append(
                        f"{target} {kernel}: a vector loop at {loop[0][0]:#x} compares lane by lane "
                        f"({', '.join(sorted(set(lanes)))})"
                    )
            if vector_loops == 0:
                problems.append(f"{target} {kernel}: no loop computes on full-width vectors")
            elif kernel in SELECTING and not selects:
                problems.append(f"{target} {kernel}: no packed compare, blend or min/max in its vector loops")
            print(f"{target:9s} {kernel:20s} vector loops: {vector_loops}")
    for kernel in sorted(set(KERNELS) - seen):
        problems.append(f"{target} {kernel}: not found in {directory}")
    return problems


def main():
    objdump, problems = sys.argv[1], []
    for target_objects in sys.argv[2:]:
        target, directory = target_objects.split("=", 1)
        problems += check(objdump, target, directory)
    for p in problems:
        print("SCALARISED:", p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
