"""A discrete-event simulation of one SM running a kernel's protocol.

The SM holds `blocks` resident CTAs, each slot running `tiles` CTAs one
after another (one output tile each, a launch gap between them). Every warp
is a process that walks the protocol (protocol.py). What the warps share:
  - the sub-partitions (warp w of the SM on sub-partition w mod 4): a
    segment holds its sub-partition's issue for its instructions or its
    busiest pipe, whichever is more, and ends no sooner than the warp alone
    would finish it (latency.py);
  - the tensor pipes: one per sub-partition for warp-level MMAs, the SM's
    whole tensor core for warp-group and tensor-memory MMAs, which queue in
    the order they are issued;
  - the loads: one stream per SM at its share of L2 bandwidth, each landing
    a latency later (L2 or DRAM, mixed by the tile order's hit rate);
  - tensor memory: an allocation waits while too few columns are free.
The result is the fraction of the tensor pipes' clocks spent multiplying,
over a window from the first CTA's end to the last CTA's start (so every
cost of a tile, its set-up and closing hash included, is counted once per
tile and the start-up of the SM is not).
"""
import heapq
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Set, Tuple

from .latency import Cost
from .protocol import (Alloc, Arrive, ClusterSync, Dealloc, Hop, Load, Mma, Op, Protocol, Run,
                       Sync, Wait, WaitMma)

# What a bound can be; removing one sets its costs to nothing (estimate.py).
LIMITS = ("fold", "issue", "loads", "barriers", "tile")


@dataclass
class Inputs:
    protocol: Protocol
    segments: Dict[str, Cost]
    constants: Dict[str, float]
    blocks: int                    # resident CTAs on the SM
    k_tiles: int                   # K tiles of one output tile
    tiles_per_step: int            # K tiles of one rank step
    mma_pieces: int = 0            # tensor instructions per K tile (warp-group / pair MMAs)
    mma_clocks: float = 0.0        # SM tensor-pipe clocks of one warp's share of one of them
    l2_hit: float = 0.5            # fraction of loads served by L2
    tiles: int = 3                 # CTAs run one after another in each slot
    removed: Set[str] = field(default_factory=set)


class _Phase:
    """An mbarrier or block barrier: phases complete as arrivals reach the count."""

    def __init__(self, sim: "Sim", expected: int):
        self.sim = sim
        self.expected = max(expected, 1)
        self.arrivals = 0
        self.completions = 0
        self.waiters: List[Tuple[int, Callable]] = []

    def arrive(self, count: int = 1) -> None:
        self.arrivals += count
        while self.arrivals >= self.expected:
            self.arrivals -= self.expected
            self.completions += 1
        still = []
        for target, wake in self.waiters:
            if self.completions >= target:
                self.sim.at(self.sim.now, wake)
            else:
                still.append((target, wake))
        self.waiters = still


class _Block:
    def __init__(self, sim: "Sim", slot: int, index: int):
        self.sim = sim
        self.slot = slot
        self.index = index
        self.phases: Dict[str, _Phase] = {}
        self.waits: Dict[Tuple[int, str], int] = {}
        self.syncs: Dict[Tuple[int, Tuple], int] = {}
        self.last_mma: Dict[int, float] = {}
        self.running = 0
        self.started = sim.now

    def phase(self, name: str) -> _Phase:
        if name not in self.phases:
            base = name.split("[")[0]
            self.phases[name] = _Phase(self.sim, self.sim.inputs.protocol.barriers.get(base, 1))
        return self.phases[name]


class _Waiting:
    def __init__(self, phase: _Phase, target: int):
        self.phase = phase
        self.target = target


class Sim:
    def __init__(self, inputs: Inputs):
        self.inputs = inputs
        p = inputs.protocol
        c = dict(inputs.constants)
        if "barriers" in inputs.removed:
            for name in ("barrier", "mbarrier", "cluster", "commit"):
                c[name] = 0.0
        if "tile" in inputs.removed:
            c["launch"] = 0.0
        self.c = c
        self.now = 0.0
        self._heap: List = []
        self._sequence = 0
        self.issue_free = [0.0] * 4
        self.warp_pipe_free = [0.0] * 4
        self.sm_pipe_free = 0.0
        self.busy: List[Tuple[float, float]] = []     # tensor-pipe intervals, per pipe clock
        self.pipes = 4 if p.mma == "warp" else 1
        self.load_free = 0.0
        per_sm = c["l2_bandwidth"] / (c["sms"] * c["clock"])  # bytes per clock per SM
        self.load_transfer = 0.0 if "loads" in inputs.removed else p.bytes_read() / per_sm
        hit = inputs.l2_hit
        self.load_latency = 0.0 if "loads" in inputs.removed else \
            hit * c["l2_latency"] + (1 - hit) * c["dram_latency"]
        self.tmem_free = 512
        self.tmem_queue: List[Callable] = []
        self.block_ends: Dict[int, List[float]] = {}
        self.block_starts: Dict[int, List[float]] = {}
        self.end = 0.0

    # -- the event loop
    def at(self, time: float, action: Callable) -> None:
        heapq.heappush(self._heap, (time, self._sequence, action))
        self._sequence += 1

    def _resume(self, process) -> None:
        try:
            command = next(process)
        except StopIteration:
            return
        if isinstance(command, _Waiting):
            if command.phase.completions >= command.target:
                self.at(self.now, lambda: self._resume(process))
            else:
                command.phase.waiters.append((command.target, lambda: self._resume(process)))
        elif command is None:
            self.tmem_queue.append(lambda: self._resume(process))
        else:
            self.at(max(float(command), self.now), lambda: self._resume(process))

    def run(self) -> float:
        for slot in range(self.inputs.blocks):
            self._start_block(slot, 0)
        while self._heap:
            time, _, action = heapq.heappop(self._heap)
            self.now = time
            action()
        return self.fraction()

    # -- blocks and warps
    def _start_block(self, slot: int, index: int) -> None:
        block = _Block(self, slot, index)
        self.block_starts.setdefault(slot, []).append(self.now)
        block.running = self.inputs.protocol.warps
        for warp in range(self.inputs.protocol.warps):
            process = self._warp(block, warp)
            self.at(self.now, lambda process=process: self._resume(process))

    def _warp_done(self, block: _Block) -> None:
        block.running -= 1
        if block.running:
            return
        self.block_ends.setdefault(block.slot, []).append(self.now)
        self.end = max(self.end, self.now)
        if block.index + 1 < self.inputs.tiles:
            self.at(self.now + self.c["launch"], lambda: self._start_block(block.slot, block.index + 1))

    def _applies(self, op: Op, warp: int, kt: int) -> bool:
        if op.warps is not None and warp not in op.warps:
            return False
        return all(self._holds(when, kt) for when in op.when.split("+") if when)

    def _holds(self, when: str, kt: int) -> bool:
        tps = self.inputs.tiles_per_step
        if when == "step_end":
            return (kt + 1) % tps == 0
        if when == "step_start":
            return kt % tps == 0 and kt > 0
        if when == "step_first":
            return kt % tps == 0
        if when == "refill":
            return kt + self.inputs.protocol.stages < self.inputs.k_tiles
        if when == "next_step":
            return kt - kt % tps + tps < self.inputs.k_tiles
        return True

    def _warp(self, block: _Block, warp: int):
        p = self.inputs.protocol
        sub = (block.slot * p.warps + warp) % 4
        for position, op in enumerate(p.prologue):
            if op.warps is None or warp in op.warps:
                yield from self._do(op, block, warp, sub, 0, ("prologue", position))
        for kt in range(self.inputs.k_tiles):
            for position, op in enumerate(p.k_tile_ops):
                if self._applies(op, warp, kt):
                    yield from self._do(op, block, warp, sub, kt, ("k", position))
        for position, op in enumerate(p.epilogue):
            if op.warps is None or warp in op.warps:
                yield from self._do(op, block, warp, sub, self.inputs.k_tiles - 1,
                                    ("epilogue", position))
        self._warp_done(block)

    def _stage_name(self, name: str, kt: int) -> str:
        stages = self.inputs.protocol.stages
        return name.replace("[s]", f"[{kt % stages}]").replace("[s+1]", f"[{(kt + 1) % stages}]")

    def _hop(self, hop: str) -> float:
        return self.c["cluster"] if hop == "cluster" else 0.0

    def _do(self, op: Op, block: _Block, warp: int, sub: int, kt: int, where):
        p = self.inputs.protocol
        c = self.c
        if isinstance(op, Wait):
            name = self._stage_name(op.barrier, kt)
            phase = block.phase(name)
            key = (warp, name)
            block.waits[key] = block.waits.get(key, 0) + 1
            if phase.completions < block.waits[key]:
                yield _Waiting(phase, block.waits[key])
                yield self.now + c["mbarrier"]
        elif isinstance(op, Hop):
            yield self.now + self._hop(op.kind)
        elif isinstance(op, Arrive):
            phase = block.phase(self._stage_name(op.barrier, kt))
            self.at(self.now + self._hop(op.hop), lambda: phase.arrive(op.count))
        elif isinstance(op, Load):
            tile = kt + op.ahead
            if tile < self.inputs.k_tiles:
                phase = block.phase(self._stage_name(op.barrier, tile))
                start = max(self.now, self.load_free)
                self.load_free = start + self.load_transfer
                self.at(start + self.load_transfer + self.load_latency, lambda: phase.arrive(1))
        elif isinstance(op, Mma):
            done = self.now
            index, count = op.share
            pieces = self.inputs.mma_pieces // count + (index < self.inputs.mma_pieces % count)
            for i in range(pieces):
                start = max(self.now + i, self.sm_pipe_free)
                self.sm_pipe_free = start + self.inputs.mma_clocks
                self.busy.append((start, self.sm_pipe_free))
                done = self.sm_pipe_free
            block.last_mma[warp] = done
            for commit in op.commits:
                if commit.when and not self._applies(Op(when=commit.when), warp, kt):
                    continue
                phase = block.phase(self._stage_name(commit.barrier, kt))
                self.at(done + c["commit"] + self._hop(commit.hop),
                        lambda phase=phase, count=commit.count: phase.arrive(count))
            yield self.now + 1
        elif isinstance(op, WaitMma):
            yield max(self.now, block.last_mma.get(warp, 0.0) + c["commit"])
        elif isinstance(op, Run):
            yield self._run(op.segment, sub)
        elif isinstance(op, (Sync, ClusterSync)):
            members = p.warps if op.warps is None else len(op.warps)
            phase = block.phase(f"sync:{where}")
            phase.expected = members
            count = block.syncs.get((warp, where), 0) + 1
            block.syncs[(warp, where)] = count
            phase.arrive(1)
            yield _Waiting(phase, count)
            extra = 2 * c["cluster"] if isinstance(op, ClusterSync) else 0.0
            yield self.now + c["barrier"] + extra
        elif isinstance(op, Alloc):
            while self.tmem_free < p.tmem_columns:
                yield None
            self.tmem_free -= p.tmem_columns
        elif isinstance(op, Dealloc):
            self.tmem_free += p.tmem_columns
            waiting, self.tmem_queue = self.tmem_queue, []
            for wake in waiting:
                self.at(self.now, wake)

    def _run(self, name: str, sub: int) -> float:
        cost = self.inputs.segments.get(name)
        if cost is None:
            return self.now
        removed = self.inputs.removed
        tensor = cost.pipes.get("tensor", 0.0)
        if name == "fold" and "fold" in removed or name in ("prologue", "finish") and "tile" in removed:
            return self.now
        if name in ("issue", "trip") and "issue" in removed:
            alone, held = tensor, 0.0
        else:
            alone = cost.alone
            held = max([float(cost.instructions)] +
                       [v for k, v in cost.pipes.items() if k != "tensor"])
        start = max(self.now, self.issue_free[sub])
        self.issue_free[sub] = start + held
        done = max(self.now + alone, self.issue_free[sub])
        if tensor:
            begin = max(self.now, self.warp_pipe_free[sub])
            self.warp_pipe_free[sub] = begin + tensor
            self.busy.append((begin, begin + tensor))
            done = max(done, self.warp_pipe_free[sub])
        return done

    # -- the result
    def window(self) -> Tuple[float, float]:
        firsts = [ends[0] for ends in self.block_ends.values() if ends]
        lasts = [starts[-1] for starts in self.block_starts.values() if starts]
        if self.inputs.tiles >= 3 and firsts and lasts and max(lasts) > min(firsts):
            return min(firsts), max(lasts)
        return 0.0, self.end

    def fraction(self) -> float:
        start, end = self.window()
        if end <= start:
            return 0.0
        busy = sum(max(0.0, min(b, end) - max(a, start)) for a, b in self.busy)
        return busy / (self.pipes * (end - start))


def simulate(inputs: Inputs) -> float:
    return Sim(inputs).run()
