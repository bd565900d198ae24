"""Each tensor-core row's protocol, as its source and disassembly show it.

Whoever changes a row's kernel changes its protocol here with it: roles and
warps, stages, barriers and who waits for what, tensor-memory columns and
accumulator buffers, the grid's tile order. The code segments' costs, the
MMAs per K tile and the trip counts come from the disassembly (segments.py);
estimate.py checks what it can of this file against it (tensor-memory
columns, block barriers per trip and per fold, K per trip, MMAs per trip).
"""
from typing import Dict, Tuple

from .protocol import (Alloc, Arrive, ClusterSync, Commit, Dealloc, Hop, Load, Mma, Protocol, Run,
                       Sync, TileOrder, Wait, WaitMma)


def _synchronous(row: str, gpus: Dict[int, str], warps: int, stages: int, k_tile: int,
                 tile: Tuple[int, int], order: TileOrder, trip_syncs: int, fold_syncs: int,
                 fold: bool = True, notes: str = "") -> Protocol:
    """Warp-level MMAs fed by a multi-stage copy pipeline (cp.async or TMA):
    every warp waits for its K tile, passes the block barrier that frees the
    oldest stage, one copy is issued `stages - 1` tiles ahead, every warp
    loads its fragments and multiplies, and at the end of a rank step every
    warp folds its accumulators (block barriers as the code has them)."""
    ops = [Wait("full[s]"), Sync(), Load(barrier="full[s]", ahead=stages - 1, warps=(0,)),
           Run(segment="trip")]
    ops += [Sync() for _ in range(trip_syncs - 1)]
    if fold:
        ops.append(Run(segment="fold", when="step_end"))
        ops += [Sync(when="step_end") for _ in range(fold_syncs)]
    return Protocol(
        row=row, gpus=gpus, mma="warp", warps=warps, stages=stages, k_tile=k_tile, element_bytes=1,
        tile_m=tile[0], tile_n=tile[1], order=order, barriers={"full": 1},
        prologue=(Run(segment="prologue"),) + tuple(
            Load(barrier="full[s]", ahead=j, warps=(0,)) for j in range(stages - 1)),
        k_tile_ops=tuple(ops), epilogue=(Run(segment="finish"),), notes=notes)


def _two_sm(row: str, gpus: Dict[int, str], element_bytes: int, pair_n: int, tmem_columns: int,
            parts: int = 2, group: int = 16) -> Protocol:
    """The two-SM tensor-memory MMA (blackwell_two_sm_mma.h), as one CTA of
    a pair sees it with its twin on the neighbouring SM at the same pace;
    one trip of the loop is one rank step (128 of K: one stage of 128 bytes
    a row for int8, the two stages of 64 bf16 values for bf16).
    The even CTA's warps have roles besides their fold: warp 1 (producer)
    loads both CTAs' stages (one expect-tx arrival, the bytes counted on
    its full barrier) and refills a step's stages once both pairs' MMAs
    read them (before the fold of the step's last part); warp 2h issues
    part h of the tile's columns, over every stage of a step, and commits
    each stage to both pairs' `empty` barriers and the part to the pair's
    `step_done`. After every rank step all four warps of both CTAs, part by
    part: wait for the part's `step_done`, load its columns, arrive on
    `read_done` (the twin's arrivals after a cluster hop), and reduce; the
    part's issuer, after its own loads, waits for `read_done` and issues the
    next step's part before it reduces. No block barrier in the loop; the
    transcripts meet once at the end."""
    boxes = element_bytes          # stages a step fills (128 bytes of each row a stage)
    k_box = 128 // element_bytes   # K elements a stage holds
    producer = (1,)
    pieces = boxes * parts         # a step's MMAs, one share per (part, stage)

    def issuer(h: int) -> Tuple[int, ...]:
        return ((2 * h) % 4,)

    def first_part(h: int) -> bool:
        return all(issuer(e) != issuer(h) for e in range(h))

    def stage(box: int, next_step: bool) -> str:
        """Box `box` of this step's stages (or the next step's)."""
        if boxes == 2:
            return f"[{box}]"
        return "[s+1]" if next_step else "[s]"

    def mma(h: int, box: int, when: str, empty: str) -> Mma:
        commits = [Commit(empty, 2, "cluster")]
        if box == boxes - 1:
            commits.append(Commit(f"step_done{h}", 1, ""))
        return Mma(warps=issuer(h), when=when, share=(h * boxes + box, pieces), commits=tuple(commits))

    ops = []
    for h in range(parts):
        if h == parts - 1:
            # The producer refills the step's stages, each once both pairs' MMAs read it.
            # Its copies' code sits before the part's loads: after the
            # previous part's, or at the trip's start with one part.
            ops.append(Run(segment=f"refill.{h - 1}" if h else "issue", warps=producer))
            for box in range(boxes):
                refill = "refill" if boxes == 1 else "next_step"
                ops.append(Wait(barrier=f"empty{stage(box, False)}", warps=producer, when=refill))
                ops.append(Load(barrier=f"full{stage(box, False)}", ahead=3 - boxes, warps=producer))
        ops += [Wait(barrier=f"step_done{h}"),
                Run(segment=f"load.{h}"),
                Arrive(barrier=f"read_done{h}", count=2, hop="cluster", when="next_step"),
                Wait(barrier=f"read_done{h}", warps=issuer(h), when="next_step"),
                Run(segment=f"issue.{h}", warps=issuer(h), when="next_step")]
        for box in range(boxes):
            if first_part(h):  # a warp issuing several parts waits for a stage once
                ops.append(Wait(barrier=f"full{stage(box, True)}", warps=issuer(h), when="next_step"))
            ops.append(mma(h, box, "next_step", f"empty{stage(box, True)}"))
        ops.append(Run(segment=f"reduce.{h}"))

    prologue = [Run(segment="prologue"), Alloc(warps=(0,)), ClusterSync()]
    if boxes == 1:
        prologue += [Load(barrier="full[s]", ahead=j, warps=producer) for j in range(2)]
    else:
        prologue += [Load(barrier=f"full[{box}]", ahead=0, warps=producer) for box in range(boxes)]
    for h in range(parts):
        for box in range(boxes):
            if first_part(h):
                prologue.append(Wait(barrier=f"full[{box}]", warps=issuer(h)))
            prologue.append(mma(h, box, "", f"empty[{box}]"))
    return Protocol(
        row=row, gpus=gpus, mma="pair", warps=4, stages=2, k_tile=128,
        element_bytes=element_bytes, tile_m=128, tile_n=pair_n // 2,
        order=TileOrder("clusters", tile_m=256, tile_n=pair_n, cluster_n=2, group=group),
        barriers={"full": 1, "empty": 2 * parts, **{f"step_done{h}": 1 for h in range(parts)},
                  **{f"read_done{h}": 8 for h in range(parts)}},
        prologue=tuple(prologue),
        k_tile_ops=tuple(ops),
        # The transcripts meet in shared memory; the producer waits for the
        # commits its barriers still expect; the cluster barrier, arrived at
        # before the closing hashes, is waited for after them (its round
        # trip hidden: a block barrier's cost), then the columns are freed.
        epilogue=(Sync(), Wait(barrier="empty[0]", warps=producer), Wait(barrier="empty[1]", warps=producer),
                  Run(segment="finish"), Sync(), Dealloc(warps=(0,))),
        tmem_columns=tmem_columns, accumulators=1,
        # Per stage (one load): A's 128 rows, read by the pair-0 CTA and
        # multicast to its twin, and the CTA's own B rows.
        stage_bytes=(128 + pair_n // 2) * k_box * element_bytes,
        read_bytes=(64 + pair_n // 2) * k_box * element_bytes)


_GROUP_ONE = (4, 5, 6, 7)
_GROUP_TWO = (8, 9, 10, 11)


def _hopper_turn(group: Tuple[int, ...], mine: str, theirs: str) -> Tuple:
    """One consumer warp group's K tile: it waits for the stage and for its
    turn (the other group has issued its MMAs of the tile before, or of this
    tile), issues its MMAs, hands the turn on, waits for its MMAs, releases
    the stage to every block of the cluster and, at a step's end, folds
    through its own 128-thread mbarrier."""
    return (
        Wait(barrier="full[s]", warps=group),
        Wait(barrier=mine, warps=group),
        Run(segment="issue", warps=group),
        Mma(warps=group),
        Arrive(barrier=theirs, warps=group),
        WaitMma(warps=group),
        Arrive(barrier="empty[s]", count=8, hop="cluster", warps=group),
        Run(segment="fold", warps=group, when="step_end"),
        Sync(warps=group, when="step_end", group="warp group"),
    )


HOPPER = Protocol(
    row="hopper", gpus={90: "H100"}, mma="warpgroup", warps=12, stages=4, k_tile=128,
    element_bytes=1, tile_m=128, tile_n=256,
    order=TileOrder("clusters", tile_m=128, tile_n=256, cluster_n=8),
    # empty: one arrival per consumer warp of each of the cluster's 8 blocks;
    # turn_one / turn_two: lane 0 of each warp of the other group.
    barriers={"full": 1, "empty": 64, "turn_one": 4, "turn_two": 4},
    # The first stages' B tiles (all but 2 KiB of a stage) are copied before
    # the cluster barrier; group one's first turn waits for nothing.
    prologue=(Run(segment="prologue"),) + tuple(
        Load(barrier="full[s]", ahead=j, warps=(0,)) for j in range(4)) + (
        ClusterSync(), Arrive(barrier="turn_one", warps=_GROUP_TWO)),
    k_tile_ops=(
        # The producer thread refills a stage once every consumer warp of the cluster read it.
        Wait(barrier="empty[s]", warps=(0,)),
        Load(barrier="full[s]", ahead=4, warps=(0,), when="refill"),
    ) + _hopper_turn(_GROUP_ONE, "turn_one", "turn_two")
      + _hopper_turn(_GROUP_TWO, "turn_two", "turn_one"),
    epilogue=(Run(segment="finish", warps=_GROUP_ONE + _GROUP_TWO),),
    stage_bytes=(128 + 256) * 128, read_bytes=(128 // 8 + 256) * 128,
    notes="warp group 0 is the producer (thread 0); groups 1 and 2 each multiply 128 columns, "
          "taking turns on the tensor pipe")

PROTOCOLS: Dict[str, Protocol] = {
    "turing": _synchronous("turing", {75: "T4"}, 4, 2, 64, (128, 128),
                           TileOrder("grouped", 128, 128, group=8), trip_syncs=2, fold_syncs=1),
    "ampere": _synchronous("ampere", {80: "A100", 86: "RTX 3090"}, 4, 3, 64, (128, 128),
                           TileOrder("grouped", 128, 128, group=8), trip_syncs=1, fold_syncs=1),
    "cmp170hx": _synchronous("cmp170hx", {80: "CMP 170HX"}, 4, 2, 128, (128, 128),
                             TileOrder("grouped", 128, 128, group=16), trip_syncs=1, fold_syncs=1),
    # The 128 x 256 rows fold inside the trip: the step's register sums run
    # among the next K tile's MMAs. ada and sm120 alternate two sets of fold
    # words (one barrier a trip); native has room for one set (two).
    "ada": _synchronous("ada", {89: "RTX 4090"}, 8, 2, 128, (128, 256),
                        TileOrder("grouped", 128, 256, group=64), trip_syncs=1, fold_syncs=0,
                        fold=False),
    "blackwell": _synchronous("blackwell", {120: "RTX 5090"}, 8, 2, 128, (128, 256),
                              TileOrder("grouped", 128, 256, group=64), trip_syncs=1, fold_syncs=0,
                              fold=False),
    "blackwell-native": _synchronous("blackwell-native", {120: "RTX 5090"}, 8, 2, 128, (128, 256),
                                     TileOrder("grouped", 128, 256, group=64), trip_syncs=2,
                                     fold_syncs=0, fold=False),
    "hopper": HOPPER,
    "blackwell-b200": _two_sm("blackwell-b200", {100: "B200"}, 1, 256, 256),
    "blackwell-b300": _two_sm("blackwell-b300", {103: "B300"}, 2, 128, 256, parts=1),
}

# The lowest base estimate (fraction of the tensor cores' peak; B300: of its
# bf16 peak) each row may show before --check fails: today's kernels' base
# estimate, rounded down a little. Work that speeds a kernel up raises its floor.
FLOORS: Dict[Tuple[str, int], float] = {
    ("turing", 75): 0.94,
    ("ampere", 80): 0.89,
    ("ampere", 86): 0.94,
    ("cmp170hx", 80): 0.88,
    ("ada", 89): 0.94,
    ("blackwell", 120): 0.94,
    ("blackwell-native", 120): 0.92,
    ("hopper", 90): 0.73,
    ("blackwell-b200", 100): 0.69,
    ("blackwell-b300", 103): 0.60,
}
