"""What a stretch of straight code costs one warp: an in-order scoreboard.

A segment (the fold of a rank step, the MMA issue, the closing hash) is run
as one warp would run it on its sub-partition: one instruction issued per
clock at most, each waiting for the registers it reads (and, for a load,
the registers it overwrites) and for its pipe; its results ready a fixed
latency later. The latencies and pipe rates are those of the GPU's row in
machine.CONSTANTS. What comes out:
  alone: clocks from the first issue to the last result, the warp alone;
  chain: the longest dependent chain (clocks and instructions), ignoring
    issue order and pipes;
  in flight: the most tensor-memory or shared-memory loads outstanding at
    one issue (a load whose registers are still read by an earlier
    instruction waits for it, so register reuse serialises loads);
  pipes: clocks each pipe of the sub-partition is busy.
Waits on barriers are not timed here: the simulation (sim.py) runs them.
"""
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

from . import isa

_REGISTER = re.compile(r"(?<![\w.])(U?R)(\d+|Z)\b(\.64)?")
_PREDICATE = re.compile(r"(?<![\w.])!?(U?P)(\d)\b")

# Opcodes whose first operand is read, not written.
_NO_DESTINATION = {
    "ST", "STS", "STG", "STL", "STAS", "STTM", "RED", "REDS", "BRA", "BRX", "JMP", "EXIT", "RET",
    "BAR", "NOP", "WARPSYNC", "MEMBAR", "FENCE", "ERRBAR", "CGAERRBAR", "CCTL", "YIELD", "BSSY",
    "BSYNC", "UTMALDG", "UTCBAR", "UCGABAR_ARV", "UCGABAR_WAIT", "DEPBAR", "NANOSLEEP",
    "WARPGROUP", "CALL", "BPT", "LDGDEPBAR", "LDGSTS", "UBLKCP", "UTMAPF", "UTMASTG", "ELECT",
}
_LONG_LOADS = {"LDTM", "LDS", "LDSM", "LD", "LDG", "LDL"}


@dataclass(frozen=True)
class Timing:
    """Latencies (clocks) and pipe rates of one GPU, the values the scoreboard uses."""
    alu: float = 4.0            # integer and logic ops, dependent issue
    fma: float = 4.0            # IMAD and float ops
    conversion: float = 10.0    # F2I, I2F
    conversion_rate: float = 16.0   # per clock per SM
    shuffle: float = 24.0
    shared: float = 30.0        # LDS, LDSM, generic loads of shared memory
    tmem: float = 40.0          # a tensor-memory load, before its transfer
    tmem_width: float = 512.0   # bytes per clock a sub-partition moves from tensor memory
    mma: float = 24.0           # warp-level MMA to its accumulators
    int_rate: float = 64.0      # integer/logic results per clock per SM
    fma_rate: float = 64.0      # IMAD results per clock per SM
    tensor_rate: float = 0.0    # int8 multiply-adds per clock per SM (warp MMAs)
    f16_rate: float = 0.0


@dataclass
class Cost:
    instructions: int = 0
    alone: float = 0.0
    chain: float = 0.0
    chain_instructions: int = 0
    tmem_in_flight: int = 0         # most tensor-memory loads outstanding at once
    shared_in_flight: int = 0       # most shared-memory (and other memory) loads outstanding
    tmem_loads: int = 0
    shared_loads: int = 0
    conversions: int = 0
    barriers: int = 0
    shuffles: int = 0
    pipes: Dict[str, float] = field(default_factory=dict)

    @property
    def occupancy(self) -> float:
        """Clocks the warp holds its sub-partition: its issue or its busiest pipe."""
        return max([float(self.instructions)] + list(self.pipes.values()))


def _width(token: str, default: int = 1) -> int:
    return 2 if token.endswith(".64") else default


def _destination_width(instruction) -> int:
    opcode = instruction.opcode
    base = instruction.base
    if base == "LDTM" or base == "STTM":
        found = re.search(r"\.x(\d+)", opcode)
        return int(found.group(1)) if found else 1
    if base in ("LDS", "LD", "LDG", "LDL", "LDSM"):
        if base == "LDSM":
            tail = opcode.split(".")[-1]
            return int(tail) if tail in ("2", "4") else 1
        if ".128" in opcode:
            return 4
        if ".64" in opcode:
            return 2
        return 1
    if isa.is_tensor(instruction):
        return isa.accumulator_registers(instruction) or (
            64 if base.endswith("GMMA") else 0)
    if base == "CS2R" or ".WIDE" in opcode or base in ("MOV64", "IADD.64"):
        return 2
    return 1


def _operands(instruction) -> Tuple[List[str], List[str]]:
    """(written, read) register names of an instruction."""
    text = instruction.operands
    tokens = [t.strip() for t in text.split(",")]
    written: List[str] = []
    read: List[str] = []
    base = instruction.base
    first = tokens[0] if tokens else ""
    has_destination = base not in _NO_DESTINATION and not base.startswith("SYNCS") \
        and not (isa.is_tensor(instruction) and base.startswith("UTC"))
    start = 0
    if has_destination and first:
        found = _REGISTER.match(first.replace(".reuse", ""))
        if found and found.group(2) != "Z":
            kind, number = found.group(1), int(found.group(2))
            written = [f"{kind}{number + i}" for i in range(_destination_width(instruction))]
            start = 1
        elif _PREDICATE.match(first):
            written = [first.lstrip("!")]
            start = 1
    for token in tokens[start:]:
        token = token.replace(".reuse", "")
        for kind, number, wide in _REGISTER.findall(token):
            if number == "Z":
                continue
            count = 2 if wide else 1
            read.extend(f"{kind}{int(number) + i}" for i in range(count))
        for kind, number in _PREDICATE.findall(token):
            read.append(f"{kind}{number}")
    if instruction.predicate:
        read.append(instruction.predicate.lstrip("@!"))
    if isa.is_tensor(instruction) and written:
        read.extend(written)  # accumulate: C is read
    return written, read


def _class(instruction, timing: Timing) -> Tuple[float, str, float]:
    """(latency, pipe, clocks the pipe is busy) of one warp's issue."""
    base = instruction.base
    opcode = instruction.opcode
    if base == "LDTM":
        columns = _destination_width(instruction)
        transfer = 32 * 4 * columns / timing.tmem_width
        return timing.tmem + transfer, "tmem", transfer
    if base == "STTM":
        columns = _destination_width(instruction)
        return 1.0, "tmem", 32 * 4 * columns / timing.tmem_width
    if base in ("LDS", "LDSM", "LD"):
        return timing.shared, "mio", max(1.0, isa.shared_bytes(instruction) / 32 or 4.0)
    if base in ("STS", "ST", "ATOMS", "REDS", "STAS"):
        return 1.0, "mio", 4.0
    if base in ("LDG", "LDL"):
        return 2 * timing.shared, "mio", 4.0
    if base == "SHFL":
        return timing.shuffle, "mio", 4.0
    if base in ("F2I", "I2F", "F2F", "I2FP", "F2IP", "FRND"):
        return timing.conversion, "conversion", 32.0 / (timing.conversion_rate / 4)
    if isa.is_tensor(instruction) and base.endswith("GMMA"):
        # A warp-group MMA is asynchronous: the warp issues it and goes on,
        # the next one into the same accumulators included. Its work on the
        # SM's tensor core is the protocol's Mma and its completion the
        # WaitMma (sim.py), not a pipe of this warp.
        return 1.0, "other", 1.0
    if isa.is_tensor(instruction) and not base.startswith("UTC"):
        macs = isa.tensor_macs_per_warp(instruction) or 0
        rate = timing.tensor_rate if isa.tensor_kind(instruction) == "int8" else timing.f16_rate
        busy = macs / (rate / 4) if rate else 1.0
        return timing.mma + busy, "tensor", busy
    if base.startswith("U") or base in ("R2UR", "S2UR", "ELECT", "VOTEU"):
        return timing.alu, "uniform", 1.0
    if base in ("FADD2", "FFMA2", "FMUL2"):
        # Packed f32 pairs (sm_100 on): one issue, two lanes' worth of the pipe.
        return timing.fma, "fma", 2 * 32.0 / (timing.fma_rate / 4)
    if base in ("IMAD", "FFMA", "FADD", "FMUL", "HFMA2", "IDP", "DP4A", "IDP4A", "VIADD", "IADD"):
        return timing.fma, "fma", 32.0 / (timing.fma_rate / 4)
    if base in ("LOP3", "IADD3", "SHF", "SEL", "ISETP", "PLOP3", "LEA", "PRMT", "IMNMX", "IABS",
                "LOP", "SHL", "SHR", "MOV", "FSEL", "FSETP", "POPC", "FLO", "BMSK", "BREV", "CS2R"):
        return timing.alu, "alu", 32.0 / (timing.int_rate / 4)
    if base in ("S2R",):
        return 2 * timing.alu, "other", 1.0
    return 1.0, "other", 1.0


def measure(instructions: Sequence, timing: Timing) -> Cost:
    """The cost of one warp running the instructions in order, once."""
    cost = Cost()
    ready: Dict[str, float] = {}       # register -> when its value is ready
    chain_at: Dict[str, Tuple[float, int]] = {}
    last_read: Dict[str, float] = {}   # register -> issue time of its last reader
    pipe_free: Dict[str, float] = {}
    loads: Dict[bool, List[float]] = {True: [], False: []}  # tensor memory? -> completions
    issue = 0.0
    end = 0.0
    for instruction in instructions:
        base = instruction.base
        cost.instructions += 1
        if base == "LDTM":
            cost.tmem_loads += 1
        elif base in ("LDS", "LDSM") or (base == "LD" and instruction.operands):
            cost.shared_loads += 1
        if base in ("F2I", "I2F"):
            cost.conversions += 1
        if base == "SHFL":
            cost.shuffles += 1
        if isa.is_block_barrier(instruction):
            cost.barriers += 1
        latency, pipe, busy = _class(instruction, timing)
        written, read = _operands(instruction)
        start = max([issue, pipe_free.get(pipe, 0.0)] + [ready.get(r, 0.0) for r in read])
        if base in _LONG_LOADS:
            # A load may not overwrite a register an earlier instruction still has to read.
            start = max([start] + [last_read.get(r, 0.0) for r in written]
                        + [ready.get(r, 0.0) for r in written])
            tmem = base == "LDTM"
            loads[tmem] = [t for t in loads[tmem] if t > start] + [start + latency]
            if tmem:
                cost.tmem_in_flight = max(cost.tmem_in_flight, len(loads[tmem]))
            else:
                cost.shared_in_flight = max(cost.shared_in_flight, len(loads[tmem]))
        pipe_free[pipe] = start + busy
        cost.pipes[pipe] = cost.pipes.get(pipe, 0.0) + busy
        for r in read:
            last_read[r] = max(last_read.get(r, 0.0), start)
        depth, count = max([(0.0, 0)] + [chain_at.get(r, (0.0, 0)) for r in read])
        for r in written:
            ready[r] = start + latency
            chain_at[r] = (depth + latency, count + 1)
        if (depth + latency, count + 1) > (cost.chain, cost.chain_instructions) and written:
            cost.chain, cost.chain_instructions = depth + latency, count + 1
        issue = start + 1
        end = max(end, issue, start + latency if written else issue)
    cost.alone = end
    return cost


def timing_for(values: Dict[str, float]) -> Timing:
    """A Timing from one GPU's chosen constants (machine.constants_of)."""
    names = Timing.__dataclass_fields__
    return Timing(**{name: float(values[name]) for name in names if name in values})
