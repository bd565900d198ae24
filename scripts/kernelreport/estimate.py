"""The latency-aware estimate of one row's kernel on its GPU.

From the disassembly: the code segments and their costs (segments.py,
latency.py), the MMAs of a K tile, the tensor-memory columns allocated. From
protocols.py: what the warps do with them. From machine.CONSTANTS: every
latency, rate and size, at its low, base and high end. Then:
  occupancy  the least of what registers, shared memory, threads, blocks and
             tensor-memory columns admit, and which resource that is;
  traffic    DRAM bytes of a launch at the default shape from the tile order
             (traffic.py), capping the estimate at DRAM's pace;
  estimate   the simulation (sim.py) of one SM, capped by DRAM, at the
             pessimistic, base and optimistic ends of the constants;
  binds      the limit whose removal (its costs set to nothing) gains most at
             base, and the estimate without it (the next limit's ceiling).
"""
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from . import isa, latency, loops, machine, mainloop, segments, sim, traffic
from .latency import Cost
from .protocol import Protocol, Sync
from .protocols import PROTOCOLS
from .rows import Row
from .sass import Function
from .tools import Resources

SHAPE = (131072, 131072, 4096)  # the default mining shape (m, n, k)
NAMES = {"fold": "fold latency", "issue": "MMA issue", "loads": "loads (latency, L2 bandwidth)",
         "barriers": "barrier round trips", "tile": "tile set-up and hash", "dram": "DRAM",
         None: "tensor pipe"}


@dataclass
class Estimate:
    gpu: str
    blocks: int
    limiting: List[str]
    limits: Dict[str, int]
    tmem_columns: int                       # measured per block
    tmem_overallocation: bool               # resident blocks could ask for more than the SM has
    ends: Dict[str, float] = field(default_factory=dict)   # low / base / high
    dram_cap: Dict[str, float] = field(default_factory=dict)
    dram_bytes: float = 0.0
    l2_hit: float = 0.0
    binds: str = "tensor pipe"
    without: Optional[float] = None         # the base estimate with the binding limit removed
    next_limit: str = ""
    costs: Dict[str, Cost] = field(default_factory=dict)   # base
    contradictions: List[str] = field(default_factory=list)


def protocol_of(row: Row) -> Optional[Protocol]:
    return PROTOCOLS.get(row.name)


def _syncs(protocol: Protocol) -> Tuple[int, int]:
    trip = sum(1 for op in protocol.k_tile_ops if isinstance(op, Sync) and op.warps is None and not op.when)
    fold = sum(1 for op in protocol.k_tile_ops
               if isinstance(op, Sync) and op.warps is None and op.when == "step_end")
    return trip, fold


def _timing(constants: Dict[str, float], protocol: Protocol) -> latency.Timing:
    values = dict(constants)
    if protocol.mma == "warp":
        values["tensor_rate"] = constants["int8_rate"]
        values["f16_rate"] = constants["bf16_rate"]
    return latency.timing_for(values)


def _mma(protocol: Protocol, row: Row, hot, constants: Dict[str, float]) -> Tuple[int, float]:
    """(MMA instructions one issuing warp queues per K tile, SM tensor-pipe clocks of each)."""
    if protocol.mma == "warp" or hot.tensor == 0:
        return 0, 0.0
    rate = constants["int8_rate"] if hot.tensor_kind == "int8" else constants["bf16_rate"]
    if protocol.mma == "pair":
        m, n, k = row.mma_shape
        return hot.tensor, m * n * k / 2 / rate
    macs = hot.tensor_macs / hot.tensor if hot.tensor_macs_known else 0
    return hot.tensor, macs / rate  # a warp's quarter of a warp-group MMA


def estimate(function: Function, resources: Optional[Resources], row: Row, arch_number: int,
             rank: int, tiles: int = 3) -> Optional[Estimate]:
    protocol = protocol_of(row)
    arch = machine.ARCHS.get(arch_number)
    if protocol is None or arch is None or arch_number not in protocol.gpus:
        return None
    main = loops.main_loop(function, loops.natural_loops(function))
    if main is None:
        return None
    trip = mainloop.trip(function, main)
    hot = trip.hot_counts
    gpu = protocol.gpus[arch_number]
    code = segments.cut(function, main, trip)
    measured_columns = segments.tmem_columns(function)
    registers = resources.registers if resources else 0
    shared = (resources.shared if resources else 0) + row.dynamic_shared
    limits = machine.occupancy_limits(arch, row.threads, registers, shared, measured_columns,
                                      arch_number)
    blocks = max(min(limits.values()), 0)
    limiting = sorted(name for name, value in limits.items() if value == blocks)
    without_tmem = min(v for name, v in limits.items() if name != "tensor memory")
    columns = machine.TMEM_COLUMNS.get(arch_number, 0)
    out = Estimate(gpu, blocks, limiting, limits, measured_columns,
                   bool(columns) and without_tmem * measured_columns > columns)
    out.contradictions = _contradictions(protocol, row, hot, code, measured_columns, function,
                                         main, _timing(machine.constants_of(gpu), protocol))
    if blocks < 1 or hot.tensor == 0:
        return out
    m, n, k = SHAPE
    k_tiles = k // protocol.k_tile
    tiles_per_step = max(rank // protocol.k_tile, 1)
    runs: Dict[Tuple[str, frozenset], float] = {}

    def run(end: str, removed=frozenset()) -> Tuple[float, float]:
        constants = machine.constants_of(gpu, end)
        timing = _timing(constants, protocol)
        costs = {name: latency.measure(code_, timing) for name, code_ in code.items()}
        if end == "base" and not removed:
            out.costs = costs
        per_unit = 2 * protocol.order.cluster_n if protocol.mma == "pair" else \
            protocol.order.cluster_n
        wave = max(int(constants["sms"]) * blocks // per_unit, 1)
        moved = traffic.traffic(protocol.order, m, n, k, protocol.element_bytes,
                                constants["l2"] * 2 ** 20, wave)
        pieces, clocks = _mma(protocol, row, hot, constants)
        key = (end, frozenset(removed))
        if key not in runs:
            runs[key] = sim.simulate(sim.Inputs(
                protocol, costs, constants, blocks, k_tiles, tiles_per_step, pieces, clocks,
                moved.hit, tiles, set(removed)))
        rate = constants["int8" if hot.tensor_kind == "int8" else "bf16"] * 1e12 / 2
        tensor_seconds = m * n * k / rate
        dram_seconds = moved.dram_bytes / (constants["dram"] * 1e9)
        cap = tensor_seconds / dram_seconds if dram_seconds else float("inf")
        if end == "base":
            out.dram_bytes, out.l2_hit = moved.dram_bytes, moved.hit
        out.dram_cap[end] = cap
        return runs[key], cap

    for end in ("low", "base", "high"):
        fraction, cap = run(end)
        out.ends[end] = min(fraction, cap)
    base = out.ends["base"]

    def best_gain(removed: frozenset) -> Tuple[Optional[str], float]:
        fraction, cap = run("base", removed)
        current = min(fraction, cap)
        choice, value = None, current
        for limit in sim.LIMITS:
            if limit in removed:
                continue
            f, c = run("base", removed | {limit})
            if min(f, c) > value + 0.005:
                choice, value = limit, min(f, c)
        if "dram" not in removed and fraction > value + 0.005 and cap < fraction:
            choice, value = "dram", fraction
        return choice, value

    first, value = best_gain(frozenset())
    out.binds = NAMES[first] if value > base + 0.01 else NAMES[None]
    if first is not None and value > base + 0.01:
        out.without = value
        removed = frozenset({first}) if first != "dram" else frozenset()
        if first == "dram":
            out.next_limit = NAMES[None]
        else:
            second, after = best_gain(removed)
            out.next_limit = NAMES[second] if after > value + 0.01 else NAMES[None]
    return out


def _contradictions(protocol: Protocol, row: Row, hot, code, columns: int, function: Function,
                    main, timing) -> List[str]:
    """Where the protocol says what the disassembly does not."""
    out = []
    if protocol.tmem_columns != columns:
        out.append(f"the protocol allocates {protocol.tmem_columns} tensor-memory columns "
                   f"({protocol.accumulators} accumulator buffer(s)), the code {columns}")
    trip_syncs, fold_syncs = _syncs(protocol)
    measured_trip = sum(1 for i in code.get("issue", []) if isa.is_block_barrier(i))
    measured_fold = sum(1 for i in code.get("fold", []) if isa.is_block_barrier(i))
    if (trip_syncs, fold_syncs) != (measured_trip, measured_fold):
        out.append(f"block barriers per trip / fold: the protocol has {trip_syncs}/{fold_syncs}, "
                   f"the code {measured_trip}/{measured_fold}")
    if hot.tensor:
        if protocol.mma == "pair" and row.mma_shape:
            per_trip = hot.tensor * row.mma_shape[2]
        elif hot.tensor_macs_known:
            per_trip = hot.tensor_macs * row.loop_warps / (row.tile_m * row.tile_n)
        else:
            per_trip = None
        if per_trip is not None and per_trip != protocol.k_tile:
            out.append(f"K per trip: the protocol's K tile is {protocol.k_tile}, "
                       f"the code's MMAs take {per_trip:g}")
        kinds = {"pair": isa.is_pair_mma}
        if protocol.mma in kinds and not hot.pair_mma:
            out.append("the protocol issues two-SM MMAs, the code does not")
    if protocol.mma == "pair" and "fold" not in code:
        out.append("the protocol folds tensor memory, the code's trip reads none")
    return out
