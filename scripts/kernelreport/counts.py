"""What a stretch of code issues, per warp."""
from dataclasses import dataclass
from typing import Dict, Optional

from . import isa
from .sass import Function


@dataclass
class Counts:
    instructions: int = 0
    tensor: int = 0
    tensor_macs: int = 0        # multiply-adds of the warp's share; 0 when unknown
    tensor_macs_known: bool = True
    nops: int = 0
    local_loads: int = 0        # LDL
    local_stores: int = 0       # STL
    barriers: int = 0           # block-wide barriers
    shared_bytes: int = 0       # bytes read or written in shared memory by the warp
    tensor_kind: Optional[str] = None
    pair_mma: bool = False      # a tensor-memory MMA one CTA issues for a CTA pair

    def add(self, instruction) -> None:
        self.instructions += 1
        base = instruction.base
        if isa.is_tensor(instruction):
            self.tensor += 1
            macs = isa.tensor_macs_per_warp(instruction)
            if macs is None:
                self.tensor_macs_known = False
            else:
                self.tensor_macs += macs
            self.tensor_kind = self.tensor_kind or isa.tensor_kind(instruction)
            self.pair_mma = self.pair_mma or isa.is_pair_mma(instruction)
        if base == "NOP":
            self.nops += 1
        if base == "LDL":
            self.local_loads += 1
        if base == "STL":
            self.local_stores += 1
        if isa.is_block_barrier(instruction):
            self.barriers += 1
        self.shared_bytes += isa.shared_bytes(instruction)

    def merged(self, other: "Counts") -> "Counts":
        out = Counts()
        for name in ("instructions", "tensor", "tensor_macs", "nops", "local_loads",
                     "local_stores", "barriers", "shared_bytes"):
            setattr(out, name, getattr(self, name) + getattr(other, name))
        out.tensor_macs_known = self.tensor_macs_known and other.tensor_macs_known
        out.tensor_kind = self.tensor_kind or other.tensor_kind
        out.pair_mma = self.pair_mma or other.pair_mma
        return out


def count(function: Function, blocks, times: Optional[Dict[int, int]] = None) -> Counts:
    """What the blocks issue, each block as often as `times` says (default once)."""
    out = Counts()
    for index in blocks:
        for _ in range((times or {}).get(index, 1)):
            for instruction in function.blocks[index].instructions:
                out.add(instruction)
    return out
