"""Loops of a function's control flow and the main loop.

- Natural loops from back edges (an edge u -> h where h dominates u); loops
  with the same header are one loop.
- Main loop: the innermost loop holding tensor-core instructions (no loop
  nested in it holds any); among several, the one holding the most.
- An elect loop (ELECT, then a branch back while any lane is left) runs its
  body once per distinct leader; a converged warp has one, so it counts as
  straight code, once, and is never the main loop.
- A counted loop: a register counted from a constant to a constant limit by
  a constant step and tested at the loop's one latch; its trip count is read
  from the code.
- A wait loop (an mbarrier try-wait and the branch back, nothing else)
  counts once: its trips are the wait, which the simulation times.
"""
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Set, Tuple

from . import isa
from .counts import count
from .sass import Function


@dataclass
class Loop:
    header: int
    body: Set[int]
    latches: Set[int]
    parent: Optional["Loop"] = None
    children: List["Loop"] = field(default_factory=list)


_COMPARE = re.compile(r"^ISETP\.(NE|EQ|LT|LE|GT|GE)(?:\.U32)?\.AND$")
# IADD3 R, R, step, RZ (before 9.0), IADD3 R, PT, PT, R, step, RZ and VIADD R, R, step.
_INCREMENT = re.compile(
    r"^(R\d+), (?:PT, PT, )?(R\d+), (-?0x[0-9a-f]+|-?\d+)(?:, RZ)?$")
_IMMEDIATE = re.compile(r"^-?0x[0-9a-f]+$|^-?\d+$")


def _int(text: str) -> int:
    return int(text, 16) if "0x" in text else int(text)


def counted_trips(function: Function, loop: Loop) -> Optional[int]:
    """Trips of a loop that counts a register from a constant to a constant
    limit in constant steps and tests it at its one latch; None otherwise."""
    if len(loop.latches) != 1:
        return None
    latch = function.blocks[next(iter(loop.latches))]
    branch = latch.instructions[-1]
    if branch.base != "BRA" or not branch.predicate:
        return None
    negated = branch.predicate.startswith("@!")
    predicate = branch.predicate.lstrip("@!")
    compare = None
    for instruction in reversed(latch.instructions[:-1]):
        if instruction.operands.startswith(predicate + ","):
            compare = instruction
            break
    if compare is None or not _COMPARE.match(compare.opcode):
        return None
    fields = [f.strip() for f in compare.operands.split(",")]
    if len(fields) != 5 or fields[1] != "PT" or fields[4] != "PT":
        return None
    if fields[3] != "RZ" and not _IMMEDIATE.match(fields[3]):
        return None
    counter, limit = fields[2], 0 if fields[3] == "RZ" else _int(fields[3])
    step = None
    for index in loop.body:
        for instruction in function.blocks[index].instructions:
            if instruction.base in ("IADD3", "VIADD") and instruction.predicate is None:
                found = _INCREMENT.match(instruction.operands)
                if found and found.group(1) == counter and found.group(2) == counter:
                    if step is not None:
                        return None
                    step = _int(found.group(3))
    if not step:
        return None
    entries = [p for p in function.blocks[loop.header].predecessors if p not in loop.body]
    if len(entries) != 1:
        return None
    start = None
    for instruction in reversed(function.blocks[entries[0]].instructions):
        fields = [f.strip() for f in instruction.operands.split(",")]
        if fields and fields[0] == counter:
            if instruction.predicate is None and instruction.opcode in ("MOV", "IMAD.MOV.U32"):
                value = fields[-1]
                start = 0 if value == "RZ" else (_int(value) if _IMMEDIATE.match(value) else None)
            break
    if start is None:
        return None
    # The test sees the counter after this trip's step; the loop goes on while it holds.
    relation = compare.opcode.split(".")[1]
    keep_on = {
        "NE": lambda v: v != limit, "EQ": lambda v: v == limit, "LT": lambda v: v < limit,
        "LE": lambda v: v <= limit, "GT": lambda v: v > limit, "GE": lambda v: v >= limit,
    }[relation]
    value, trips = start, 0
    while trips < 4096:
        value += step
        trips += 1
        if keep_on(value) == negated:
            return trips
    return None


def reachable(function: Function) -> List[int]:
    """Blocks reachable from the entry, in reverse postorder."""
    if not function.blocks:
        return []
    seen: Set[int] = set()
    order: List[int] = []
    stack = [(0, iter(function.blocks[0].successors))]
    seen.add(0)
    while stack:
        node, successors = stack[-1]
        advanced = False
        for successor in successors:
            if successor not in seen:
                seen.add(successor)
                stack.append((successor, iter(function.blocks[successor].successors)))
                advanced = True
                break
        if not advanced:
            order.append(node)
            stack.pop()
    order.reverse()
    return order


def dominators(function: Function) -> Dict[int, Set[int]]:
    order = reachable(function)
    if not order:
        return {}
    everything = set(order)
    dom = {node: set(everything) for node in order}
    dom[order[0]] = {order[0]}
    changed = True
    while changed:
        changed = False
        for node in order[1:]:
            preds = [p for p in function.blocks[node].predecessors if p in dom]
            new = set.intersection(*(dom[p] for p in preds)) if preds else set()
            new = new | {node}
            if new != dom[node]:
                dom[node] = new
                changed = True
    return dom


def natural_loops(function: Function) -> List[Loop]:
    dom = dominators(function)
    loops: Dict[int, Loop] = {}
    for node in dom:
        for successor in function.blocks[node].successors:
            if successor in dom and successor in dom[node]:  # back edge node -> successor
                loop = loops.setdefault(successor, Loop(successor, {successor}, set()))
                loop.latches.add(node)
                stack = [node]
                while stack:
                    current = stack.pop()
                    if current in loop.body:
                        continue
                    loop.body.add(current)
                    stack.extend(p for p in function.blocks[current].predecessors if p in dom)
    ordered = sorted(loops.values(), key=lambda loop: len(loop.body))
    for i, inner in enumerate(ordered):
        for outer in ordered[i + 1:]:
            if inner.body < outer.body:
                inner.parent = outer
                outer.children.append(inner)
                break
    return ordered


def _holds_tensor(function: Function, blocks) -> bool:
    return any(isa.is_tensor(i) for b in blocks for i in function.blocks[b].instructions)


def is_elect_loop(function: Function, loop: Loop) -> bool:
    latches = [function.blocks[node].instructions for node in loop.latches]
    return (all(block and block[-1].base == "BRA" and ".ANY" in block[-1].opcode
                for block in latches)
            and any(i.base == "ELECT" for node in loop.body
                    for i in function.blocks[node].instructions))


_WAITING = {"SYNCS", "BRA", "YIELD", "NANOSLEEP", "CCTL", "NOP"}


def is_wait_loop(function: Function, loop: Loop) -> bool:
    """A loop that only polls a barrier (an mbarrier try-wait and its branch
    back): its trip count is the wait, which the simulation times, so its
    code counts once."""
    code = [i for node in loop.body for i in function.blocks[node].instructions]
    return any(i.opcode.startswith("SYNCS.PHASECHK") for i in code) and \
        all(i.base in _WAITING for i in code)


def main_loop(function: Function, loops: List[Loop]) -> Optional[Loop]:
    candidates = [
        loop for loop in loops
        if _holds_tensor(function, loop.body) and not is_elect_loop(function, loop)
        and not any(_holds_tensor(function, child.body) and not is_elect_loop(function, child)
                    for child in _descendants(loop))
    ]
    if not candidates:
        return None
    return max(candidates, key=lambda loop: (count(function, loop.body).tensor, -loop.header))


def _descendants(loop: Loop) -> List[Loop]:
    out = []
    for child in loop.children:
        out.append(child)
        out.extend(_descendants(child))
    return out


def inner_times(function: Function, loop: Loop,
                skip: Optional[Loop] = None) -> Tuple[Dict[int, int], bool]:
    """How often one trip of the loop runs each block of its inner loops, and
    whether every inner loop's trip count was found (an unknown one counts
    once); loops inside `skip` are left out."""
    times: Dict[int, int] = {}
    known = True
    for inner in _descendants(loop):
        if is_elect_loop(function, inner) or (skip is not None and inner.body <= skip.body):
            continue
        trips = counted_trips(function, inner)
        if trips is None:
            known = known and is_wait_loop(function, inner)
            trips = 1
        for node in inner.body:
            times[node] = times.get(node, 1) * trips
    return times, known
