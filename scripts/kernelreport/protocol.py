"""The words a kernel's protocol is written in (protocols.py), run by sim.py.

A protocol is what one block (CTA) does, warp by warp: a prologue, the
operations of every K tile (one stage of shared memory), and an epilogue.
Each operation names the warps that run it (None: every warp) and when,
within the K tile loop, it runs:
  ""             every K tile
  "step_end"     the K tile that ends a rank step
  "step_start"   the K tile that starts a rank step after the first
  "ahead"        while K tile kt + ahead exists (a load that many tiles ahead)
  "next_step"    while the rank step after the K tile's exists
  "step_first"   the first K tile of every rank step
Conditions joined by "+" must all hold.

Barrier names ending in "[s]" are one barrier per stage; "[s]" is the
stage of the K tile the operation works on (a load's: the tile it loads),
"[s+1]" the stage of the K tile after it.
A barrier completes a phase when its arrivals reach its count (the
protocol's `barriers`); a warp's n-th wait on a barrier waits for its n-th
phase. Code segments ("prologue", "issue", "trip", "fold", "finish"; for a fold
that reads tensor memory in several groups also "load.h", "issue.h" and
"reduce.h" per group h) are measured from the disassembly (segments.py),
never typed in.

Only one SM is simulated. Its CTAs' cluster peers run the same protocol on
other SMs at the same pace: an arrival a peer makes is written as this
CTA's own, counted for both, after a cluster hop.
"""
from dataclasses import dataclass, field
from typing import Callable, Dict, Optional, Tuple

Warps = Optional[Tuple[int, ...]]


@dataclass(frozen=True, kw_only=True)
class Op:
    warps: Warps = None
    when: str = ""


@dataclass(frozen=True)
class Wait(Op):
    barrier: str = ""


@dataclass(frozen=True)
class Arrive(Op):
    barrier: str = ""
    count: int = 1
    hop: str = ""          # "cluster": the arrival lands after a hop between SMs


@dataclass(frozen=True)
class Load(Op):
    """The copy of K tile kt + ahead into its stage; its barrier gets one
    arrival when the bytes have landed."""
    barrier: str = ""
    ahead: int = 0


@dataclass(frozen=True)
class Commit:
    barrier: str
    count: int = 1
    hop: str = ""
    when: str = ""


@dataclass(frozen=True)
class Mma(Op):
    """The K tile's tensor-core instructions, queued on the SM's tensor pipe
    one by one; each commit arrives once they are all done. A kernel that
    issues a trip's instructions in several places gives each its share
    (index, count): that many of the trip's instructions."""
    commits: Tuple[Commit, ...] = ()
    share: Tuple[int, int] = (0, 1)


@dataclass(frozen=True)
class Hop(Op):
    """A cluster peer's arrival this CTA waits for, written as a hop's delay
    (the peer runs at this CTA's pace)."""
    kind: str = "cluster"


@dataclass(frozen=True)
class WaitMma(Op):
    """Wait until this warp's queued MMAs are done (a warp-group MMA's wait)."""


@dataclass(frozen=True)
class Run(Op):
    segment: str = ""


@dataclass(frozen=True)
class Sync(Op):
    """A barrier of the listed warps (all: the block barrier)."""
    group: str = "block"


@dataclass(frozen=True)
class ClusterSync(Op):
    pass


@dataclass(frozen=True)
class Alloc(Op):
    """Tensor-memory allocation of the protocol's columns; it waits while
    the SM has too few free."""


@dataclass(frozen=True)
class Dealloc(Op):
    pass


@dataclass(frozen=True)
class TileOrder:
    """How the grid walks the output tiles, for the DRAM and L2 traffic:
    kind "grouped" (a one-dimensional grid, `group` M tiles walked across
    every N tile, grouped_tile_order.h) or "clusters" (a two-dimensional grid
    of clusters of cluster_m x cluster_n tiles, clusters in x-fastest order,
    a cluster's blocks together; with `group` > 1, the clusters walk groups
    of that many M tiles across every column of clusters,
    cluster_tile_order.h)."""
    kind: str
    tile_m: int                 # rows of A one tile (pair tile) covers
    tile_n: int                 # rows of B
    group: int = 1
    cluster_n: int = 1          # N tiles of one cluster (clusters share their M tile)


@dataclass(frozen=True)
class Protocol:
    row: str
    gpus: Dict[int, str]           # architecture -> GPU whose constants it runs with
    mma: str                       # "warp", "warpgroup" or "pair" (two-SM tensor-memory MMA)
    warps: int
    stages: int
    k_tile: int                    # K elements per stage
    element_bytes: int             # 1 (int8) or 2 (bf16)
    tile_m: int                    # output tile of one block (a pair's half for "pair")
    tile_n: int
    order: TileOrder
    barriers: Dict[str, int]       # name -> arrivals per phase
    prologue: Tuple[Op, ...]
    k_tile_ops: Tuple[Op, ...]
    epilogue: Tuple[Op, ...]
    tmem_columns: int = 0          # tensor-memory columns one block allocates (all its buffers)
    accumulators: int = 1          # accumulator buffers in those columns
    stage_bytes: int = 0           # bytes landing in one stage (0: (tile_m + tile_n) x k_tile x element)
    read_bytes: int = 0            # bytes one block reads from L2 per K tile (0: stage_bytes)
    notes: str = ""

    def bytes_per_stage(self) -> int:
        return self.stage_bytes or (self.tile_m + self.tile_n) * self.k_tile * self.element_bytes

    def bytes_read(self) -> int:
        return self.read_bytes or self.bytes_per_stage()
