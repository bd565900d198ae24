"""Per-architecture limits and rates: occupancy and the tensor-core peak model.

Occupancy limits are those of the CUDA programming guide's table of compute
capabilities (resident warps and blocks per SM, 64K 32-bit registers per SM
allocated per warp in units of 256, shared memory per SM at the largest
carveout, the 1 KiB the system reserves per block from 8.0 on, allocation
units of 256 bytes before 8.0 and 128 from 8.0).

Rates per SM and clock, dense, for the main GPU of each architecture, from
public datasheet figures: throughput / 2 (an operation count has two per
multiply-add) / (SMs x boost clock), rounded to the power of two it is:
  tensor int8 and f16 multiply-adds; 4 warp-instruction issue slots (four
  schedulers, one instruction each); 128 bytes of shared memory.
  7.5 T4: 130 int8 TOPS / 2 / (40 x 1.59 GHz) -> 1024 MACs.
  8.0 A100: 624 / 2 / (108 x 1.41) -> 2048.  8.6 RTX 3090: 284 / 2 / (82 x 1.695) -> 1024.
  8.9 RTX 4090: 661 / 2 / (128 x 2.52) -> 1024.
  9.0 H100: 1979 / 2 / (132 x 1.83) = 4096 (warp-group MMA; int8 mma.sync
  there reaches a fraction of it); bf16 989 TFLOPS -> 2048.
  10.0 B200: 4500 / 2 / (148 x 1.86) -> 8192; bf16 2250 -> 4096.
  10.3 B300: int8 cut down (no rate here), bf16 as B200.
  12.0 RTX 5090: 838 / 2 / (170 x 2.41) -> 1024.  f16 is half the int8 rate.
How one instruction meets these rates (isa.py, metrics.py): a warp-level
MMA's M N K MACs per issuing warp; a warp-group MMA's (IGMMA.64x128x32:
262144) spread over the four warps that issue it; a tensor-memory MMA
(UTC*MMA) issued by one thread for the CTA, its M N K from rows.py, and
with .2CTA one CTA issues it for a pair, each SM doing half (the B200
row's 256 x 256 x 32 int8: 1048576 MACs per SM, 128 clocks at 8192; the
B300 row's 256 x 128 x 16 bf16: 262144, 64 clocks at 4096).
"""
from dataclasses import dataclass
from typing import Optional


@dataclass(frozen=True)
class Arch:
    gpu: str
    max_warps: int
    max_blocks: int
    shared_per_sm: int
    reserved_per_block: int
    shared_unit: int
    int8_macs: int      # tensor int8 multiply-adds per clock per SM (0: none)
    f16_macs: int
    registers: int = 65536
    register_unit: int = 256  # registers per warp are allocated in these units
    issue_slots: int = 4      # warp instructions per clock per SM
    shared_bytes: int = 128   # shared-memory bytes per clock per SM


ARCHS = {
    70: Arch("V100", 64, 32, 98304, 0, 256, 0, 512),
    75: Arch("T4", 32, 16, 65536, 0, 256, 1024, 512),
    80: Arch("A100", 64, 32, 167936, 1024, 128, 2048, 1024),
    86: Arch("RTX 3090", 48, 16, 102400, 1024, 128, 1024, 512),
    89: Arch("RTX 4090", 48, 24, 102400, 1024, 128, 1024, 512),
    90: Arch("H100", 64, 32, 233472, 1024, 128, 4096, 2048),
    100: Arch("B200", 64, 32, 233472, 1024, 128, 8192, 4096),
    103: Arch("B300", 64, 32, 233472, 1024, 128, 0, 4096),
    120: Arch("RTX 5090", 48, 32, 102400, 1024, 128, 1024, 512),
}


def _round_up(value: int, unit: int) -> int:
    return (value + unit - 1) // unit * unit


def blocks_per_sm(arch: Arch, threads: int, registers: int, shared: int) -> int:
    """Resident blocks of a kernel: the least of the warp, block, register and
    shared-memory limits (shared: static + dynamic bytes of one block)."""
    warps = (threads + 31) // 32
    limit = min(arch.max_blocks, arch.max_warps // warps)
    if registers > 0:
        per_warp = _round_up(registers * 32, arch.register_unit)
        limit = min(limit, arch.registers // (per_warp * warps))
    per_block = _round_up(shared + arch.reserved_per_block, arch.shared_unit)
    if per_block > 0:
        limit = min(limit, arch.shared_per_sm // per_block)
    return max(limit, 0)


@dataclass
class StepCost:
    """Clocks of one rank step of one block, if the block had the SM alone."""
    tensor: float
    issue: float
    shared: float
    fold_issue: float


def peak_fraction(cost: StepCost, blocks: int, fold_has_barrier: bool) -> Optional[float]:
    """Estimated fraction of the tensor cores' peak. Blocks resident together
    overlap one another's work, so the step takes its largest demand; a lone
    block that waits at a barrier in its fold leaves the tensor cores idle for
    the fold's issue time on top."""
    if cost.tensor <= 0 or blocks < 1:
        return None
    if blocks == 1 and fold_has_barrier:
        loop_issue = cost.issue - cost.fold_issue
        clocks = max(cost.tensor, loop_issue, cost.shared) + cost.fold_issue
    else:
        clocks = max(cost.tensor, cost.issue, cost.shared)
    return cost.tensor / clocks
