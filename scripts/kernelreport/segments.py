"""The code segments a protocol runs, cut from the disassembly.

  trip      the hot trip of the main loop (mainloop.py), inner loops as often
            as their trip counts say (a wait loop, whose count is time, once);
  fold      the fold detour or step-loop fold; where the trip itself reads
            tensor memory and no detour does, the trip from its first
            tensor-memory load on (the fold is inline, every trip ending a
            rank step);
  issue     the trip without that inline fold;
  load.h, issue.h, refill.h, reduce.h
            for an inline fold, by the parts a kernel multiplies its tile in
            and folds each part as its MMAs finish (one for a whole tile):
            the part's first group of tensor-memory loads; then, up to the
            next part, the issuing warp's share (tensor-core and bulk-copy
            instructions and the uniform-datapath code around them), cut
            after its last tensor-core instruction (issue.h, refill.h), and
            the rest, which every warp runs;
  prologue  the cheapest way from the entry to the main loop;
  finish    the cheapest way from the loop nest's exit to an EXIT (the
            closing hash of the transcripts).
Also measured here: the tensor-memory columns the kernel allocates.
"""
import re
from typing import Dict, List, Optional, Tuple

from . import isa, loops, mainloop
from .loops import Loop
from .sass import Function


def _expand(function: Function, blocks, times: Optional[Dict[int, int]] = None) -> List:
    out = []
    for node in blocks:
        for _ in range((times or {}).get(node, 1)):
            out.extend(function.blocks[node].instructions)
    return out


def _whole(function: Function) -> Loop:
    return Loop(0, set(loops.reachable(function)), set())


def _exits(function: Function) -> List[int]:
    return [b.index for b in function.blocks
            if b.instructions and b.instructions[-1].base == "EXIT" and b.instructions[-1].predicate is None]


def cut(function: Function, loop: Loop, trip: "mainloop.Trip", parts: int = 1) -> Dict[str, List]:
    inner, _ = loops.inner_times(function, loop)
    hot = _expand(function, trip.hot, inner)
    out: Dict[str, List] = {"trip": hot, "issue": hot}
    detour: List = []
    if trip.fold:
        fold_times = inner
        if not any(node in loop.body for node in trip.fold) and loop.parent is not None:
            fold_times, _ = loops.inner_times(function, loop.parent, skip=loop)
        detour = _expand(function, trip.fold, fold_times)
    first = next((i for i, ins in enumerate(hot) if ins.base == "LDTM"), None)
    if first is not None and not any(ins.base == "LDTM" for ins in detour):
        # Accumulators in tensor memory, read inside the trip: the fold is inline.
        out["fold"] = hot[first:]
        out["issue"] = hot[:first]
        out.update(fold_parts(hot[first:], parts))
    elif detour:
        out["fold"] = detour
    dom = loops.dominators(function)
    dag = mainloop._Dag(function, _whole(function), dom, {})
    before = dag.cheapest(0, {loop.header})
    out["prologue"] = _expand(function, before[:-1]) if before else []
    outer = loop
    while outer.parent is not None:
        outer = outer.parent
    exits = sorted({s for node in outer.body for s in function.blocks[node].successors
                    if s not in outer.body})
    best = None
    for start in exits:
        path = dag.cheapest(start, set(_exits(function)))
        if path and not mainloop._error_path(function, path):
            cost = sum(dag.weight(n) for n in path)
            if best is None or cost < best[0]:
                best = (cost, path)
    out["finish"] = _expand(function, best[1]) if best else []
    return out


def _load_groups(code) -> List[Tuple[int, int]]:
    """(first, last) index of each group of tensor-memory loads: loads at
    most eight instructions apart belong to one group."""
    groups: List[Tuple[int, int]] = []
    for i, instruction in enumerate(code):
        if instruction.base != "LDTM":
            continue
        if groups and i - groups[-1][1] <= 8:
            groups[-1] = (groups[-1][0], i)
        else:
            groups.append((i, i))
    return groups


_ISSUER_GLUE = {"ELECT", "R2UR", "BSSY", "BSYNC", "NOP", "WARPSYNC"}


def _issuers_share(instruction) -> bool:
    base = instruction.base
    return (isa.is_tensor(instruction) or isa.is_global_to_shared(instruction) or base.startswith("U")
            or base in _ISSUER_GLUE or instruction.opcode.startswith("BRA.DIV"))


def fold_parts(fold, parts: int) -> Dict[str, List]:
    """load.h / issue.h / refill.h / reduce.h of an inline fold that reads
    tensor memory in `parts` parts: part h's first group of loads is
    load.h; its later groups (loads that follow the release) belong to
    reduce.h."""
    groups = _load_groups(fold)
    if not groups or len(groups) % parts:
        return {}
    per_part = len(groups) // parts
    out: Dict[str, List] = {}
    for h in range(parts):
        first, last = groups[h * per_part]
        end = groups[(h + 1) * per_part][0] if h + 1 < parts else len(fold)
        between = fold[last + 1:end]
        # The issuer's MMAs (up to its last tensor-core instruction), then its copies.
        cut = max((i + 1 for i, ins in enumerate(between)
                   if isa.is_tensor(ins) or ins.base.startswith("UTCBAR")), default=0)
        out[f"load.{h}"] = fold[first:last + 1]
        out[f"issue.{h}"] = [i for i in between[:cut] if _issuers_share(i)]
        out[f"refill.{h}"] = [i for i in between[cut:] if _issuers_share(i)]
        out[f"reduce.{h}"] = [i for i in between if not _issuers_share(i)]
    return out


_UMOV = re.compile(r"^(UR\d+), (0x[0-9a-f]+|\d+)$")


def tmem_columns(function: Function) -> int:
    """Tensor-memory columns the kernel allocates: the column count (in units
    of 32) its allocation instruction is given, the largest if several."""
    most = 0
    for block in function.blocks:
        code = block.instructions
        for i, instruction in enumerate(code):
            if instruction.base != "UTCATOMSWS" or "FIND_AND_SET" not in instruction.opcode:
                continue
            register = instruction.operands.split(",")[-1].strip()
            for earlier in reversed(code[:i]):
                found = _UMOV.match(earlier.operands) if earlier.base == "UMOV" else None
                if found and found.group(1) == register:
                    most = max(most, 32 * int(found.group(2), 0))
                    break
    return most


def mbarrier_inits(instructions) -> int:
    """mbarrier initialisations (SYNCS.EXCH.64 of the count) in straight code."""
    return sum(1 for i in instructions if i.opcode.startswith("SYNCS.EXCH.64"))
