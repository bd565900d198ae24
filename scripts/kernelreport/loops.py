"""Loops of a function's control flow, the main loop and what one trip of it issues.

Definitions (the report's own):
- Natural loops from back edges (an edge u -> h where h dominates u); loops
  with the same header are one loop.
- Main loop: the innermost loop holding tensor-core instructions (no loop
  nested in it holds any); among several, the one holding the most.
- Trip: one pass from the main loop's header to one of its latches, every
  back edge cut. An inner loop counts its trip count times when the code
  shows it (a register counted from a constant to a constant limit by a
  constant step, tested at its one latch), else once (a barrier wait, say).
- Hot trip: the cheapest trip (fewest instructions) through every block that
  holds a tensor-core instruction or a global-to-shared copy.
- Fold: the code reached once per rank step beside the hot trip. For every
  edge that leaves the hot trip inside the loop, the cheapest path from it to
  the first block of the hot trip it can reach (skipping no block the hot
  trip needs); the fold is the one of those that adds the most instructions.
  The cheapest path leaves out what a run-time test skips when it can (the
  jackpot dump when it is off; also a guarded block that the warp does run,
  unless it is the only one that reads the accumulators). A kernel whose rank step is fixed at compile time may run
  its fold on every trip without a detour: then the fold is part of the hot
  trip. The fold reads the accumulators: with warp-level MMAs, a detour's
  path is the cheapest one through a block that reads one of their
  accumulator registers, and a detour that cannot is not a fold; nor is an
  error path (one that calls the runtime through an address, or traps).
"""
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Set, Tuple

from . import isa
from .sass import Function


@dataclass
class Loop:
    header: int
    body: Set[int]
    latches: Set[int]
    parent: Optional["Loop"] = None
    children: List["Loop"] = field(default_factory=list)


@dataclass
class Counts:
    """What a stretch of code issues, per warp."""
    instructions: int = 0
    tensor: int = 0
    tensor_macs: int = 0        # multiply-adds of the warp's share; 0 when unknown
    tensor_macs_known: bool = True
    nops: int = 0
    local_loads: int = 0        # LDL
    local_stores: int = 0       # STL
    barriers: int = 0           # block-wide barriers
    shared_bytes: int = 0       # bytes read or written in shared memory by the warp
    tensor_kind: Optional[str] = None

    def add(self, instruction) -> None:
        self.instructions += 1
        base = instruction.base
        if isa.is_tensor(instruction):
            self.tensor += 1
            macs = isa.tensor_macs_per_warp(instruction)
            if macs is None:
                self.tensor_macs_known = False
            else:
                self.tensor_macs += macs
            self.tensor_kind = self.tensor_kind or isa.tensor_kind(instruction)
        if base == "NOP":
            self.nops += 1
        if base == "LDL":
            self.local_loads += 1
        if base == "STL":
            self.local_stores += 1
        if isa.is_block_barrier(instruction):
            self.barriers += 1
        self.shared_bytes += isa.shared_bytes(instruction)

    def merged(self, other: "Counts") -> "Counts":
        out = Counts()
        for name in ("instructions", "tensor", "tensor_macs", "nops", "local_loads",
                     "local_stores", "barriers", "shared_bytes"):
            setattr(out, name, getattr(self, name) + getattr(other, name))
        out.tensor_macs_known = self.tensor_macs_known and other.tensor_macs_known
        out.tensor_kind = self.tensor_kind or other.tensor_kind
        return out


def count(function: Function, blocks, times: Optional[Dict[int, int]] = None) -> Counts:
    """What the blocks issue, each block as often as `times` says (default once)."""
    out = Counts()
    for index in blocks:
        for _ in range((times or {}).get(index, 1)):
            for instruction in function.blocks[index].instructions:
                out.add(instruction)
    return out


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


def main_loop(function: Function, loops: List[Loop]) -> Optional[Loop]:
    candidates = [
        loop for loop in loops
        if _holds_tensor(function, loop.body)
        and not any(_holds_tensor(function, child.body) for child in loop.children)
    ]
    if not candidates:
        return None
    return max(candidates, key=lambda loop: (count(function, loop.body).tensor, -loop.header))


@dataclass
class Trip:
    hot: List[int]               # blocks of the hot trip, in order
    hot_counts: Counts
    fold: List[int]              # blocks of the fold detour, in order (empty: none)
    fold_counts: Counts          # what the detour issues
    fold_skipped: Counts         # the part of the hot trip the detour replaces
    trips_known: bool = True     # every inner loop's trip count was read from the code


class _Dag:
    """The loop body with every back edge cut, in topological order."""

    def __init__(self, function: Function, loop: Loop, dom: Dict[int, Set[int]],
                 times: Dict[int, int]):
        self.function = function
        self.times = times
        self.body = loop.body
        self.edges = {
            node: [s for s in function.blocks[node].successors
                   if s in loop.body and not (s in dom and s in dom[node])]
            for node in loop.body
        }
        self.order = self._topological(loop.header)
        self.position = {node: i for i, node in enumerate(self.order)}

    def _topological(self, start: int) -> List[int]:
        seen: Set[int] = set()
        out: List[int] = []
        stack = [(start, iter(self.edges[start]))]
        seen.add(start)
        while stack:
            node, successors = stack[-1]
            advanced = False
            for successor in successors:
                if successor not in seen:
                    seen.add(successor)
                    stack.append((successor, iter(self.edges[successor])))
                    advanced = True
                    break
            if not advanced:
                out.append(node)
                stack.pop()
        out.reverse()
        return out

    def weight(self, node: int) -> int:
        return len(self.function.blocks[node].instructions) * self.times.get(node, 1)

    def cheapest(self, start: int, goals: Set[int]) -> Optional[List[int]]:
        """The path from start to a goal with the fewest instructions (both ends included)."""
        if start not in self.position:
            return None
        best: Dict[int, int] = {start: self.weight(start)}
        previous: Dict[int, int] = {}
        for node in self.order[self.position[start]:]:
            if node not in best:
                continue
            for successor in self.edges[node]:
                cost = best[node] + self.weight(successor)
                if successor not in best or cost < best[successor]:
                    best[successor] = cost
                    previous[successor] = node
        reached = [goal for goal in goals if goal in best]
        if not reached:
            return None
        end = min(reached, key=lambda goal: (best[goal], self.position[goal]))
        path = [end]
        while path[-1] != start:
            path.append(previous[path[-1]])
        path.reverse()
        return path


_REGISTER = re.compile(r"\bR(\d+)\b")


def _accumulators(function: Function, blocks) -> Set[str]:
    """Registers the warp-level MMAs of the blocks accumulate into (their
    first operand and the fragment's following registers); empty for MMAs
    that keep accumulators elsewhere (warp-group and tensor-memory MMA)."""
    out: Set[str] = set()
    for node in blocks:
        for instruction in function.blocks[node].instructions:
            width = isa.accumulator_registers(instruction)
            first = _REGISTER.match(instruction.operands)
            if width and first:
                out.update(f"R{int(first.group(1)) + i}" for i in range(width))
    return out


def _reads_any(function: Function, blocks, registers: Set[str]) -> bool:
    return any(f"R{number}" in registers
               for node in blocks for instruction in function.blocks[node].instructions
               for number in _REGISTER.findall(instruction.operands))


def _cheapest_reading(function: Function, dag: "_Dag", start: int, end: int,
                      registers: Set[str]) -> Optional[List[int]]:
    """The cheapest path from start to end through a block that reads one of the registers."""
    best = None
    for node in dag.order[dag.position[start]:dag.position[end]]:
        if not _reads_any(function, [node], registers):
            continue
        first = dag.cheapest(start, {node})
        second = dag.cheapest(node, {end}) if first else None
        if first and second:
            path = first + second[1:]
            cost = sum(dag.weight(n) for n in path)
            if best is None or cost < best[0]:
                best = (cost, path)
    return best[1] if best else None


def _error_path(function: Function, blocks) -> bool:
    # A call through an address (the runtime's printf or assertion) or a trap.
    return any(i.opcode.startswith("CALL.ABS") or i.base == "BPT"
               for node in blocks for i in function.blocks[node].instructions)


def _needed(function: Function, node: int) -> bool:
    return any(isa.is_tensor(i) or isa.is_global_to_shared(i)
               for i in function.blocks[node].instructions)


def _descendants(loop: Loop) -> List[Loop]:
    out = []
    for child in loop.children:
        out.append(child)
        out.extend(_descendants(child))
    return out


def inner_times(function: Function, loop: Loop) -> Tuple[Dict[int, int], bool]:
    """How often one trip of the loop runs each block of its inner loops, and
    whether every inner loop's trip count was found (an unknown one counts once)."""
    times: Dict[int, int] = {}
    known = True
    for inner in _descendants(loop):
        trips = counted_trips(function, inner)
        if trips is None:
            known = False
            trips = 1
        for node in inner.body:
            times[node] = times.get(node, 1) * trips
    return times, known


def trip(function: Function, loop: Loop) -> Trip:
    dom = dominators(function)
    times, known = inner_times(function, loop)
    dag = _Dag(function, loop, dom, times)
    needed = sorted((node for node in loop.body if _needed(function, node) and node in dag.position),
                    key=lambda node: dag.position[node])
    hot = [loop.header]
    for node in needed:
        if node == hot[-1]:
            continue
        leg = dag.cheapest(hot[-1], {node})
        if leg is not None:  # a needed block off this path (another copy of the body) is left out
            hot.extend(leg[1:])
    to_latch = dag.cheapest(hot[-1], loop.latches)
    if to_latch is not None:
        hot.extend(to_latch[1:])

    accumulators = _accumulators(function, hot)
    on_hot = {node: i for i, node in enumerate(hot)}
    needed_set = set(needed)
    best_fold: List[int] = []
    best_extra = 0
    best_skipped: List[int] = []
    for i, node in enumerate(hot):
        for successor in dag.edges[node]:
            if successor in on_hot:
                continue
            for j in range(i + 1, len(hot)):
                skipped = hot[i + 1:j]
                if any(s in needed_set for s in skipped):
                    break
                leg = dag.cheapest(successor, {hot[j]})
                if leg is None:
                    continue
                if _error_path(function, leg):
                    break
                if accumulators:
                    leg = _cheapest_reading(function, dag, successor, hot[j], accumulators)
                    if leg is None:
                        break  # not a fold: it does not look at the accumulators
                detour = leg[:-1]
                extra = sum(dag.weight(n) for n in detour) - sum(dag.weight(n) for n in skipped)
                if extra > best_extra:
                    best_extra, best_fold, best_skipped = extra, detour, skipped
                break  # the first place it rejoins is the cheapest way back
    return Trip(hot, count(function, hot, times), best_fold, count(function, best_fold, times),
                count(function, best_skipped, times), known)
