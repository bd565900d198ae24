"""One trip of the main loop: the hot trip and the fold.

- Trip: one pass from the main loop's header to one of its latches, every
  back edge cut. An inner loop counts its trip count times when the code
  shows it (a counted loop), else once (a barrier wait, say).
- Hot trip: the cheapest trip (fewest instructions) through every block that
  holds a tensor-core instruction or a global-to-shared copy.
- Fold: the code reached once per rank step beside the hot trip. For every
  edge that leaves the hot trip inside the loop, the cheapest path from it to
  the first block of the hot trip it can reach (skipping no block the hot
  trip needs); the fold is the one of those that adds the most instructions.
  The cheapest path leaves out what a run-time test skips when it can (the
  jackpot dump when it is off). The fold reads the accumulators: with
  warp-level MMAs, a detour's path is the cheapest one through a block that
  reads one of their accumulator registers (so a guarded block that does
  the reading stays in), and a detour that cannot is not a fold; nor is an
  error path (one that calls the runtime through an address, or traps).
- With no detour, the fold may sit in the enclosing step loop (one trip per
  rank step around the main loop): the cheapest way from a main-loop exit
  through a block that reads the accumulators to the step loop's latch,
  then from its header back to the main loop's header. It needs accumulators
  in registers (warp-level or warp-group MMAs) and is no error path.
- A kernel whose rank step is fixed at compile time may run its fold on
  every trip without a detour: then the fold is inline, part of the hot trip.
"""
import re
from dataclasses import dataclass
from typing import Dict, List, Optional, Set

from . import isa
from .counts import Counts, count
from .loops import Loop, dominators, inner_times
from .sass import Function


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
    """Registers the MMAs of the blocks accumulate into (their first operand
    and the fragment's following registers); empty for the tensor-memory
    MMA, which keeps its accumulators elsewhere."""
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


def _step_loop_fold(function: Function, loop: Loop, dom: Dict[int, Set[int]],
                    accumulators: Set[str]) -> List[int]:
    outer = loop.parent
    if outer is None or not accumulators:
        return []
    times, _ = inner_times(function, outer, skip=loop)
    dag = _Dag(function, outer, dom, times)
    exits = {s for node in loop.body for s in dag.edges.get(node, []) if s not in loop.body}
    back = dag.cheapest(outer.header, {loop.header})
    if back is None:
        return []
    best = None
    for start in sorted(exits):
        for latch in sorted(outer.latches):
            if start not in dag.position or latch not in dag.position \
                    or dag.position[latch] < dag.position[start]:
                continue
            if start == latch:
                leg = [start] if _reads_any(function, [start], accumulators) else None
            else:
                leg = _cheapest_reading(function, dag, start, latch, accumulators)
            if leg is None or any(node in loop.body for node in leg):
                continue
            path = leg + back[:-1]
            if _error_path(function, path):
                continue
            cost = sum(dag.weight(node) for node in path)
            if best is None or cost < best[0]:
                best = (cost, path)
    return best[1] if best else []


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
    fold_times = times
    if not best_fold:
        best_fold = _step_loop_fold(function, loop, dom, accumulators)
        if best_fold:
            fold_times, outer_known = inner_times(function, loop.parent, skip=loop)
            known = known and outer_known
    return Trip(hot, count(function, hot, times), best_fold, count(function, best_fold, fold_times),
                count(function, best_skipped, times), known)
