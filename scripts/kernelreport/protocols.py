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


def _two_sm(row: str, gpus: Dict[int, str], element_bytes: int, pair_n: int, k_tile: int,
            tmem_columns: int) -> Protocol:
    """The two-SM tensor-memory MMA (blackwell_two_sm_mma.h): thread 0 of
    the even CTA of a pair waits for the stage (its own copy, then its
    twin's arrival), for the previous step's accumulators to have been read,
    issues the pair's MMAs and commits them to every CTA's `empty` barrier
    and, at a step's end, to the pair's `step_done`; all four warps wait for
    `step_done`, read the accumulators from tensor memory and fold them
    (one accumulator buffer: the next step's MMAs wait for the fold), two
    block barriers, and thread 0 tells the even CTA `step_read`; thread 0
    refills the stage once both pairs' MMAs have read it."""
    refill = Load(barrier="full[s]", ahead=2, warps=(0,), when="refill")
    return Protocol(
        row=row, gpus=gpus, mma="pair", warps=4, stages=2, k_tile=k_tile,
        element_bytes=element_bytes, tile_m=128, tile_n=pair_n // 2,
        order=TileOrder("clusters", tile_m=256, tile_n=pair_n, cluster_n=2),
        barriers={"full": 1, "empty": 2, "step_done": 1, "step_read": 2},
        prologue=(Run(segment="prologue"), Alloc(warps=(0,)), ClusterSync(),
                  Load(barrier="full[s]", ahead=0, warps=(0,)),
                  Load(barrier="full[s]", ahead=1, warps=(0,))),
        k_tile_ops=(
            Wait(barrier="full[s]", warps=(0,)),
            Hop(kind="cluster", warps=(0,)),
            Wait(barrier="step_read", warps=(0,), when="step_start"),
            Run(segment="issue", warps=(0,)),
            Mma(warps=(0,), commits=(Commit("empty[s]", 2, "cluster"),
                                     Commit("step_done", 1, "", "step_end"))),
            Wait(barrier="step_done", when="step_end"),
            Run(segment="fold", when="step_end"),
            Sync(when="step_end"),
            Sync(when="step_end"),
            Arrive(barrier="step_read", count=2, hop="cluster", warps=(0,), when="step_end"),
            Wait(barrier="empty[s]", warps=(0,), when="refill"),
            refill,
        ),
        epilogue=(ClusterSync(), Dealloc(warps=(0,)), Run(segment="finish")),
        tmem_columns=tmem_columns, accumulators=1,
        # A: 128 rows, read by the pair-0 CTA and multicast to its twin; B: the CTA's own rows.
        stage_bytes=(128 + pair_n // 2) * k_tile * element_bytes,
        read_bytes=(64 + pair_n // 2) * k_tile * element_bytes)


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
    "ada": _synchronous("ada", {89: "RTX 4090"}, 8, 2, 128, (128, 256),
                        TileOrder("grouped", 128, 256, group=64), trip_syncs=2, fold_syncs=0),
    "blackwell": _synchronous("blackwell", {120: "RTX 5090"}, 8, 2, 128, (128, 256),
                              TileOrder("grouped", 128, 256, group=64), trip_syncs=2, fold_syncs=0),
    # The rank-128 kernel folds inside every trip (each K tile ends a step).
    "blackwell-native": _synchronous("blackwell-native", {120: "RTX 5090"}, 8, 2, 128, (128, 256),
                                     TileOrder("grouped", 128, 256, group=64), trip_syncs=2,
                                     fold_syncs=0, fold=False),
    "hopper": HOPPER,
    "blackwell-b200": _two_sm("blackwell-b200", {100: "B200"}, 1, 256, 128, 256),
    "blackwell-b300": _two_sm("blackwell-b300", {103: "B300"}, 2, 128, 64, 256),
}

# The lowest base estimate (fraction of the tensor cores' peak; B300: of its
# bf16 peak) each row may show before --check fails: today's kernels' base
# estimate, rounded down a little. Work that speeds a kernel up raises its floor.
FLOORS: Dict[Tuple[str, int], float] = {
    ("turing", 75): 0.94,
    ("ampere", 80): 0.89,
    ("ampere", 86): 0.94,
    ("cmp170hx", 80): 0.88,
    ("ada", 89): 0.84,
    ("blackwell", 120): 0.84,
    ("blackwell-native", 120): 0.92,
    ("hopper", 90): 0.73,
    ("blackwell-b200", 100): 0.39,
    ("blackwell-b300", 103): 0.22,
}
