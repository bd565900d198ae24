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
row's 256 x 128 x 32 int8, half its tile's columns: 524288 MACs per SM, 64
clocks at 8192; the B300 row's 256 x 128 x 16 bf16: 262144, 64 clocks at
4096).
"""
from dataclasses import dataclass
from typing import Dict, Optional, Tuple


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


# Tensor memory of one SM (sm_100 and sm_103): 128 lanes x 512 columns of 32 bits.
TMEM_COLUMNS = {100: 512, 103: 512}


def _round_up(value: int, unit: int) -> int:
    return (value + unit - 1) // unit * unit


def occupancy_limits(arch: Arch, threads: int, registers: int, shared: int,
                     tmem_columns: int = 0, arch_number: int = 0) -> Dict[str, int]:
    """Resident blocks each resource admits (shared: static + dynamic bytes
    of one block; tmem_columns: tensor-memory columns one block allocates)."""
    warps = (threads + 31) // 32
    limits = {"blocks": arch.max_blocks, "warps": arch.max_warps // warps}
    if registers > 0:
        per_warp = _round_up(registers * 32, arch.register_unit)
        limits["registers"] = arch.registers // (per_warp * warps)
    per_block = _round_up(shared + arch.reserved_per_block, arch.shared_unit)
    if per_block > 0:
        limits["shared memory"] = arch.shared_per_sm // per_block
    if tmem_columns > 0 and arch_number in TMEM_COLUMNS:
        limits["tensor memory"] = TMEM_COLUMNS[arch_number] // tmem_columns
    return limits


def blocks_per_sm(arch: Arch, threads: int, registers: int, shared: int) -> int:
    """Resident blocks of a kernel: the least of the warp, block, register and
    shared-memory limits (shared: static + dynamic bytes of one block)."""
    return max(min(occupancy_limits(arch, threads, registers, shared).values()), 0)


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


# ---------------------------------------------------------------------------
# The latency-aware model's constants: one table, one row per GPU and
# quantity, each with its low, base and high value and the public source it
# comes from. Where sources disagree (or one GPU of a family was measured and
# another was not) the low and high values span them; the estimate runs once
# with every constant at its worse end, once at base, once at its better end.
# Units: clocks of the SM (latencies), GHz, dense TOPS / TFLOPS, GB/s, MB,
# results per clock per SM (rates), bytes per clock per sub-partition (the
# tensor-memory load width).

@dataclass(frozen=True)
class Value:
    low: float
    base: float
    high: float
    source: str

    def pick(self, end: str) -> float:
        return {"low": self.low, "base": self.base, "high": self.high}[end]


# Quantities where a higher value makes a kernel slower; for the others
# (rates, bandwidths, sizes, widths) a higher value makes it faster.
SLOWER_WHEN_HIGHER = {"dram_latency", "l2_latency", "shared", "alu", "fma", "shuffle",
                      "conversion", "mma", "tmem", "barrier", "mbarrier", "cluster", "commit",
                      "launch"}

_T4_SHEET = "NVIDIA T4 Tensor Core GPU datasheet"
_TURING_WP = "NVIDIA Turing GPU Architecture (whitepaper)"
_TURING_UB = "Dissecting the NVidia Turing T4 GPU via Microbenchmarking (Jia et al., 2019)"
_VOLTA_UB = "Dissecting the NVIDIA Volta GPU Architecture via Microbenchmarking (Jia et al., 2018)"
_A100_WP = "NVIDIA A100 Tensor Core GPU Architecture (whitepaper)"
_AMPERE_UB = ("Demystifying the Nvidia Ampere Architecture through Microbenchmarking and "
              "Instruction-level Analysis (Abdelkhalik et al., 2022)")
_GA102_WP = "NVIDIA Ampere GA102 GPU Architecture (whitepaper)"
_CMP = ("NVIDIA CMP 170HX announcement (GA100, 4480 CUDA cores = 70 SMs, 1410 MHz, "
        "8 GB HBM2e at 1493 GB/s)")
_ADA_WP = "NVIDIA Ada GPU Architecture (whitepaper)"
_HOPPER_UB = "Benchmarking and Dissecting the Nvidia Hopper GPU Architecture (Luo et al., 2024)"
_HOPPER_UB2 = ("Dissecting the NVIDIA Hopper Architecture through Microbenchmarking and "
               "Multiple Level Analysis (Luo et al., 2025)")
_H100_WP = "NVIDIA H100 Tensor Core GPU Architecture (whitepaper)"
_H100_CC = "Nvidia's H100: Funny L2, and Tons of Bandwidth (Chips and Cheese, 2023)"
_BW_BRIEF = "NVIDIA Blackwell Architecture Technical Brief"
_BW_UB = ("Microbenchmarking NVIDIA's Blackwell Architecture: An in-depth Architectural "
          "Analysis (Jarmusch, Chandrasekaran, 2025)")
_BW_UB_RTX = "Dissecting the NVIDIA Blackwell Architecture with Microbenchmarks (Jarmusch et al., 2025)"
_BW_SEMI = ("Dissecting Nvidia Blackwell - Tensor Cores, PTX Instructions, SASS, Floorsweep, "
            "Yield (SemiAnalysis, 2026)")
_RTX_BW_WP = "NVIDIA RTX Blackwell GPU Architecture (whitepaper)"
_GB300 = "GB300 NVL72 architecture, per-GPU specifications (Verda, 2025)"
_BW_ULTRA = "Inside NVIDIA Blackwell Ultra: The Chip Powering the AI Factory Era (NVIDIA, 2025)"
_GUIDE = "CUDA C++ Programming Guide: arithmetic instruction throughput"
_PTX = "PTX ISA: tcgen05 (tensor memory, tcgen05.ld shapes)"


def _v(low, base=None, high=None, source=""):
    base = low if base is None else base
    high = base if high is None else high
    return Value(float(low), float(base), float(high), source)


def _shared(sources: str, **overrides) -> Dict[str, Value]:
    """Sub-partition latencies and rates every GPU here shares, with their sources."""
    out = {
        "alu": _v(4, 4, 6, _VOLTA_UB + "; " + _TURING_UB),
        "fma": _v(4, 5, 6, _TURING_UB + "; " + _AMPERE_UB),
        "conversion": _v(8, 12, 16, _AMPERE_UB + "; " + _HOPPER_UB),
        "conversion_rate": _v(16, 16, 16, _GUIDE),
        "shuffle": _v(20, 24, 32, _TURING_UB + "; " + _HOPPER_UB),
        "int_rate": _v(64, 64, 64, _GUIDE),
        "fma_rate": _v(64, 64, 64, _GUIDE),
        "barrier": _v(20, 30, 60, _VOLTA_UB + "; " + _HOPPER_UB),
        "mbarrier": _v(20, 30, 60, _HOPPER_UB2),
        "launch": _v(300, 600, 1500, _HOPPER_UB2 + " (block scheduling); " + sources),
    }
    out.update(overrides)
    return out


CONSTANTS: Dict[str, Dict[str, Value]] = {
    "T4": _shared(_TURING_UB,
        sms=_v(40, source=_T4_SHEET), clock=_v(1.59, source=_T4_SHEET),
        int8=_v(130, source=_T4_SHEET), bf16=_v(65, source=_T4_SHEET + " (FP16)"),
        dram=_v(256, 320, 320, _T4_SHEET + "; " + _TURING_UB + " (measured lower)"),
        l2=_v(4, source=_TURING_WP), l2_bandwidth=_v(1000, 1270, 1600, _TURING_UB),
        dram_latency=_v(450, 530, 620, _TURING_UB), l2_latency=_v(180, 190, 220, _TURING_UB),
        shared=_v(19, 20, 24, _TURING_UB), mma=_v(16, 24, 34, _TURING_UB)),
    "A100": _shared(_AMPERE_UB,
        sms=_v(108, source=_A100_WP), clock=_v(1.41, source=_A100_WP),
        int8=_v(624, source=_A100_WP), bf16=_v(312, source=_A100_WP),
        dram=_v(1555, 2039, 2039, _A100_WP + " (40 GB / 80 GB parts)"),
        l2=_v(40, source=_A100_WP), l2_bandwidth=_v(3800, 4800, 5600, _A100_WP + "; " + _HOPPER_UB),
        dram_latency=_v(400, 470, 600, _AMPERE_UB + "; " + _HOPPER_UB),
        l2_latency=_v(200, 220, 260, _AMPERE_UB + "; " + _HOPPER_UB),
        shared=_v(22, 24, 30, _AMPERE_UB), mma=_v(16, 24, 34, _AMPERE_UB)),
    "RTX 3090": _shared(_GA102_WP,
        sms=_v(82, source=_GA102_WP), clock=_v(1.695, source=_GA102_WP),
        int8=_v(284, source=_GA102_WP), bf16=_v(71, source=_GA102_WP + " (FP32 accumulate)"),
        dram=_v(936, source=_GA102_WP), l2=_v(6, source=_GA102_WP),
        l2_bandwidth=_v(1800, 2300, 2800, _GA102_WP + "; " + _AMPERE_UB + " (GA100 scaled)"),
        dram_latency=_v(450, 520, 620, _HOPPER_UB + " (RTX 4090, same memory type); " + _AMPERE_UB),
        l2_latency=_v(200, 230, 280, _AMPERE_UB + "; " + _HOPPER_UB),
        shared=_v(22, 24, 30, _AMPERE_UB), mma=_v(16, 24, 34, _AMPERE_UB)),
    "CMP 170HX": _shared(_CMP,
        sms=_v(70, source=_CMP), clock=_v(1.41, source=_CMP),
        # No public tensor rate: GA100's per-SM rate (A100 whitepaper) times 70 SMs.
        int8=_v(404, source=_A100_WP + " per SM x " + _CMP),
        bf16=_v(202, source=_A100_WP + " per SM x " + _CMP),
        dram=_v(1493, source=_CMP),
        l2=_v(8, 20, 40, _CMP + " (fused part, L2 not given); " + _A100_WP + " (GA100, 40 MB)"),
        l2_bandwidth=_v(2500, 3100, 4800, _A100_WP + " scaled to 70 SMs"),
        dram_latency=_v(400, 470, 600, _AMPERE_UB), l2_latency=_v(200, 220, 260, _AMPERE_UB),
        shared=_v(22, 24, 30, _AMPERE_UB), mma=_v(16, 24, 34, _AMPERE_UB)),
    "RTX 4090": _shared(_HOPPER_UB,
        sms=_v(128, source=_ADA_WP), clock=_v(2.52, source=_ADA_WP),
        int8=_v(660.6, source=_ADA_WP), bf16=_v(165.2, source=_ADA_WP + " (FP32 accumulate)"),
        dram=_v(1008, source=_ADA_WP), l2=_v(72, source=_ADA_WP),
        l2_bandwidth=_v(4000, 5000, 6000, _HOPPER_UB),
        dram_latency=_v(480, 540, 620, _HOPPER_UB), l2_latency=_v(250, 270, 300, _HOPPER_UB),
        shared=_v(24, 30, 34, _HOPPER_UB), mma=_v(16, 24, 34, _HOPPER_UB)),
    "RTX 5090": _shared(_BW_UB_RTX,
        sms=_v(170, source=_RTX_BW_WP), clock=_v(2.407, source=_RTX_BW_WP),
        int8=_v(838, source=_RTX_BW_WP), bf16=_v(209.5, source=_RTX_BW_WP + " (FP32 accumulate)"),
        dram=_v(1792, source=_RTX_BW_WP), l2=_v(96, source=_RTX_BW_WP),
        l2_bandwidth=_v(5000, 7000, 9000, _BW_UB_RTX + " (RTX 5080 scaled to 170 SMs)"),
        dram_latency=_v(500, 600, 750, _BW_UB_RTX), l2_latency=_v(250, 300, 360, _BW_UB_RTX),
        shared=_v(24, 30, 34, _BW_UB_RTX), mma=_v(16, 24, 34, _BW_UB_RTX)),
    "H100": _shared(_HOPPER_UB,
        sms=_v(132, source=_H100_WP), clock=_v(1.83, source=_H100_WP),
        int8=_v(1979, source=_H100_WP), bf16=_v(989.4, source=_H100_WP),
        dram=_v(3350, source=_H100_WP), l2=_v(50, source=_H100_WP),
        l2_bandwidth=_v(5500, 7000, 9000, _H100_CC + "; " + _HOPPER_UB2),
        dram_latency=_v(480, 560, 700, _HOPPER_UB + "; " + _H100_CC),
        l2_latency=_v(260, 280, 320, _HOPPER_UB + "; " + _H100_CC),
        shared=_v(28, 30, 34, _HOPPER_UB), mma=_v(24, 32, 64, _HOPPER_UB2 + " (wgmma)"),
        cluster=_v(180, 200, 260, _HOPPER_UB + " (SM-to-SM network)"),
        commit=_v(16, 30, 60, _HOPPER_UB2 + " (wgmma wait after completion)")),
    "B200": _shared(_BW_UB,
        sms=_v(148, source=_BW_BRIEF), clock=_v(1.86, source=_BW_BRIEF + " (2.25 PF BF16 / 148 SMs)"),
        int8=_v(4500, source=_BW_BRIEF), bf16=_v(2250, source=_BW_BRIEF),
        dram=_v(7700, 8000, 8000, _BW_BRIEF + "; " + _GB300),
        l2=_v(126, source=_BW_SEMI), l2_bandwidth=_v(10000, 14000, 20000, _BW_UB + "; " + _BW_SEMI),
        dram_latency=_v(420, 600, 800, _BW_UB), l2_latency=_v(280, 320, 380, _BW_UB + "; " + _BW_SEMI),
        shared=_v(28, 30, 34, _BW_UB), mma=_v(24, 32, 64, _BW_SEMI),
        tmem=_v(30, 50, 100, _BW_UB + " (TMEM against shared-memory latency; no figure per x32 "
                "load: bracketed from shared-memory latency to twice it and more)"),
        tmem_width=_v(256, 512, 1024, _PTX + "; " + _BW_UB + " (per sub-partition, bracketed)"),
        cluster=_v(180, 200, 260, _BW_SEMI + " (distributed shared memory); " + _HOPPER_UB),
        commit=_v(20, 50, 120, _BW_SEMI + " (UMMA completion to mbarrier)")),
    "B300": _shared(_BW_UB,
        sms=_v(160, source=_BW_ULTRA), clock=_v(1.72, source=_GB300 + " (2.25 PF BF16 / 160 SMs)"),
        int8=_v(150, source=_GB300), bf16=_v(2250, source=_GB300),
        dram=_v(7700, 8000, 8000, _GB300 + "; " + _BW_ULTRA),
        l2=_v(126, source=_BW_SEMI + " (B200's L2)"),
        l2_bandwidth=_v(10000, 14000, 20000, _BW_UB + " (B200)"),
        dram_latency=_v(420, 600, 800, _BW_UB + " (B200)"),
        l2_latency=_v(280, 320, 380, _BW_UB + " (B200)"),
        shared=_v(28, 30, 34, _BW_UB), mma=_v(24, 32, 64, _BW_SEMI),
        tmem=_v(30, 50, 100, _BW_UB + " (B200, bracketed as there)"),
        tmem_width=_v(256, 512, 1024, _PTX + " (bracketed)"),
        cluster=_v(180, 200, 260, _BW_SEMI + "; " + _HOPPER_UB),
        commit=_v(20, 50, 120, _BW_SEMI)),
}

for _gpu in CONSTANTS.values():  # GPUs without clusters or tensor memory: never used there
    _gpu.setdefault("cluster", _v(180, 200, 260, _HOPPER_UB))
    _gpu.setdefault("commit", _v(20, 30, 60, _HOPPER_UB2))
    _gpu.setdefault("tmem", _v(0, source=_PTX + " (no tensor memory)"))
    _gpu.setdefault("tmem_width", _v(512, source=_PTX + " (no tensor memory)"))

# The GPU whose constants a row's architecture runs with; a row may name another
# (the CMP 170HX rows run sm_80 images on their own GPU).
GPU_OF_ARCH = {75: "T4", 80: "A100", 86: "RTX 3090", 89: "RTX 4090", 90: "H100", 100: "B200",
               103: "B300", 120: "RTX 5090"}


def constants_of(gpu: str, end: str = "base") -> Dict[str, float]:
    """Every constant of one GPU at one end of its range: "base", or "low"
    / "high" for the pessimistic / optimistic estimate (a latency's high
    value is its pessimistic end)."""
    out: Dict[str, float] = {}
    for name, value in CONSTANTS[gpu].items():
        if end == "base":
            out[name] = value.base
        else:
            worse = "high" if name in SLOWER_WHEN_HIGHER else "low"
            better = "low" if worse == "high" else "high"
            out[name] = value.pick(worse if end == "low" else better)
    # Rates per SM and clock, from the datasheet's dense figures.
    for name in ("int8", "bf16"):
        out[name + "_rate"] = out[name] * 1e12 / 2 / (out["sms"] * out["clock"] * 1e9)
    return out


def table_lines():
    """(gpu, quantity, low, base, high, source) for every constant, for printing."""
    for gpu, values in CONSTANTS.items():
        for name, value in sorted(values.items()):
            yield gpu, name, value.low, value.base, value.high, value.source
