"""One kernel on one architecture: the numbers of a report line.

Per rank step (rank columns of k) of one block, with W warps running the
main loop, r = rank / (k columns per trip) trips, and per warp H the hot
trip's instructions, T its tensor-core instructions and F the fold's:
  other per tensor-core instruction: (H - T) / T; with the fold:
  (r (H - T) + F) / (r T).
  tensor clocks: r T W (MACs per instruction) / (tensor MACs per clock);
  issue clocks: (r H + F) W / issue slots; shared-memory clocks: the bytes
  the warps move through shared memory / bytes per clock.
The k columns per trip come from the MMA shapes in the opcodes (T W MACs
over the block tile) or, where the code does not show them, from rows.py.

A tensor-memory MMA is issued by one thread: the hot trip is one warp's
(W = 1 for it), while every loop warp runs the fold. Its shape is in a
run-time descriptor, so rows.py gives M x N x K; the instruction takes K
columns of k over the whole tile, and a pair MMA (.2CTA) splits its
M N K MACs over the pair's two SMs:
  tensor clocks: r T (M N K / CTAs) / (tensor MACs per clock);
  issue clocks: (r H + F_hot) / issue slots + F W / issue slots.
"""
from dataclasses import dataclass
from typing import Optional

from . import loops, machine, mainloop
from .rows import Row
from .sass import Function
from .tools import Resources


@dataclass
class Metrics:
    registers: int
    stack: int
    static_shared: int
    dynamic_shared: int
    blocks_per_sm: int
    warps_per_sm: int
    has_main_loop: bool = False
    tensor_per_trip: int = 0
    trips_per_step: float = 0.0
    other_per_tensor: Optional[float] = None          # main loop, without the fold
    other_per_tensor_fold: Optional[float] = None     # with the fold, per rank step
    loop_local: tuple = (0, 0)                         # LDL, STL per trip
    fold_local: tuple = (0, 0)                         # LDL, STL per rank step
    fold_instructions: int = 0
    fold_barriers: int = 0
    loop_barriers: int = 0
    fold_inline: bool = False    # no detour: the fold, if any, is inside the trip
    loop_nops: int = 0
    trips_known: bool = True
    fold_share_of_tensor: Optional[float] = None      # fold issue clocks / tensor clocks
    peak: Optional[float] = None

    @property
    def local_in_loop_or_fold(self) -> bool:
        return any(self.loop_local) or any(self.fold_local)


def measure(function: Function, resources: Optional[Resources], row: Row, arch_number: int,
            rank: int) -> Metrics:
    arch = machine.ARCHS.get(arch_number)
    registers = resources.registers if resources else 0
    static_shared = resources.shared if resources else 0
    blocks = machine.blocks_per_sm(arch, row.threads, registers, static_shared + row.dynamic_shared) \
        if arch else 0
    out = Metrics(registers, resources.stack if resources else 0, static_shared, row.dynamic_shared,
                  blocks, blocks * ((row.threads + 31) // 32))
    main = loops.main_loop(function, loops.natural_loops(function))
    if main is None:
        return out
    trip = mainloop.trip(function, main)
    hot = trip.hot_counts
    fold_net = trip.fold_counts.instructions - trip.fold_skipped.instructions
    out.has_main_loop = True
    out.tensor_per_trip = hot.tensor
    out.loop_local = (hot.local_loads, hot.local_stores)
    out.fold_local = (trip.fold_counts.local_loads, trip.fold_counts.local_stores)
    out.fold_instructions = fold_net
    out.fold_barriers = trip.fold_counts.barriers
    out.loop_barriers = hot.barriers
    out.fold_inline = not trip.fold
    out.loop_nops = hot.nops
    out.trips_known = trip.trips_known
    if hot.tensor == 0:
        return out
    single = not hot.tensor_macs_known and bool(row.mma_shape)
    if single:
        m, n, k = row.mma_shape
        k_per_trip = hot.tensor * k / row.mma_parts
        sm_macs_per_trip = hot.tensor * m * n * k // (2 if hot.pair_mma else 1)
    elif hot.tensor_macs_known and hot.tensor_macs:
        k_per_trip = hot.tensor_macs * row.loop_warps / (row.tile_m * row.tile_n)
        sm_macs_per_trip = hot.tensor_macs * row.loop_warps
    else:
        k_per_trip = row.k_tile
        sm_macs_per_trip = 0
    trips = rank / k_per_trip if k_per_trip else 1.0
    out.trips_per_step = trips
    other = hot.instructions - hot.tensor
    out.other_per_tensor = other / hot.tensor
    out.other_per_tensor_fold = (trips * other + fold_net) / (trips * hot.tensor)
    if arch is None:
        return out
    rate = arch.int8_macs if hot.tensor_kind == "int8" else arch.f16_macs
    if rate <= 0 or not sm_macs_per_trip:
        return out
    warps = row.loop_warps
    issuing = 1 if single else warps  # warps that run the hot trip
    tensor_clocks = trips * sm_macs_per_trip / rate
    fold_issue = fold_net * warps / arch.issue_slots
    cost = machine.StepCost(
        tensor=tensor_clocks,
        issue=trips * hot.instructions * issuing / arch.issue_slots + fold_issue,
        shared=(trips * hot.shared_bytes * issuing + trip.fold_counts.shared_bytes * warps)
        / arch.shared_bytes,
        fold_issue=fold_issue)
    if trip.fold:
        out.fold_share_of_tensor = fold_issue / tensor_clocks
    out.peak = machine.peak_fraction(cost, blocks, trip.fold_counts.barriers > 0)
    return out
