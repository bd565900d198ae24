"""What a SASS instruction is, for the report: tensor-core work, barriers, copies, shared bytes."""
import re
from typing import Optional

# Warp-level MMA (HMMA, IMMA, BMMA, DMMA, QMMA, OMMA), warp-group MMA (*GMMA)
# and the single-thread-issued tensor-memory MMA (UTC*MMA).
_TENSOR = re.compile(r"^(?:[HIBDQO]MMA|[HIBQ]GMMA|UTC\w*MMA)$")
_GLOBAL_TO_SHARED = {"LDGSTS", "UTMALDG", "UBLKCP"}
_SHAPE_MNK = re.compile(r"^(\d+)x(\d+)x(\d+)$")
_SHAPE_PACKED = re.compile(r"^(16|8)(8)(\d+)$")


def is_tensor(instruction) -> bool:
    return bool(_TENSOR.match(instruction.base))


def is_global_to_shared(instruction) -> bool:
    return instruction.base in _GLOBAL_TO_SHARED


def is_block_barrier(instruction) -> bool:
    # BAR.SYNC / BAR.RED wait for the block (or a named part of it); BAR.ARV only arrives.
    return instruction.base == "BAR" and ".ARV" not in instruction.opcode


def tensor_kind(instruction) -> Optional[str]:
    """int8 or f16 (16-bit floats): the two rates of the per-architecture model."""
    base = instruction.base
    if base in ("IMMA", "IGMMA", "QMMA", "QGMMA", "OMMA"):
        return "int8"
    if base in ("HMMA", "HGMMA"):
        return "f16"
    if base.startswith("UTC"):
        return "int8" if base[3:-3] in ("I", "Q", "O") else "f16"
    return None


def is_single_thread_mma(instruction) -> bool:
    """A tensor-memory MMA: one thread issues it for the whole CTA (or CTA pair)."""
    return is_tensor(instruction) and instruction.base.startswith("UTC")


def is_pair_mma(instruction) -> bool:
    # .2CTA: one CTA issues it for a CTA pair; each SM of the pair does half the work.
    return is_single_thread_mma(instruction) and ".2CTA" in instruction.opcode


def tensor_macs_per_warp(instruction) -> Optional[int]:
    """Multiply-adds one warp's issue of the instruction performs; None when the
    shape is not in the opcode (the tensor-memory MMA takes it from a descriptor)."""
    if not is_tensor(instruction):
        return 0
    for token in instruction.opcode.split(".")[1:]:
        mnk = _SHAPE_MNK.match(token)
        if mnk:
            m, n, k = (int(x) for x in mnk.groups())
            # A warp-group MMA is issued by each of its four warps.
            return m * n * k // 4 if instruction.base.endswith("GMMA") else m * n * k
        packed = _SHAPE_PACKED.match(token)
        if packed and instruction.base.endswith("MMA") and not instruction.base.startswith("UTC"):
            m, n, k = (int(x) for x in packed.groups())
            return m * n * k
    return None


_WIDTH = {"U8": 1, "S8": 1, "U16": 2, "S16": 2, "32": 4, "64": 8, "128": 16}


def _lane_bytes(opcode: str) -> int:
    for token in opcode.split(".")[1:]:
        if token in _WIDTH:
            return _WIDTH[token]
    return 4


def shared_bytes(instruction) -> int:
    """Bytes one warp moves through shared memory with the instruction (all lanes active)."""
    base = instruction.base
    if base in ("LDSM", "STSM"):
        tokens = instruction.opcode.split(".")
        matrices = int(tokens[-1]) if tokens[-1] in ("2", "4") else 1
        return 128 * matrices  # 8 x 8 matrices of 16-bit cells
    if base in ("LDS", "STS", "LDGSTS"):
        return 32 * _lane_bytes(instruction.opcode)
    if base in ("ATOMS", "REDS"):
        return 32 * 4
    return 0


def accumulator_registers(instruction) -> int:
    """32-bit registers of one thread's accumulator fragment of a warp-level
    MMA (m16n8 tiles hold 4, m8n8 tiles 2) or of a warp-group MMA (the m x n
    tile over 128 threads, 32-bit accumulators; half that for f16 ones); 0
    for the tensor-memory MMA, whose accumulators are not in registers."""
    if not is_tensor(instruction) or instruction.base.startswith("UTC"):
        return 0
    tokens = instruction.opcode.split(".")[1:]
    if instruction.base.endswith("GMMA"):
        for i, token in enumerate(tokens):
            mnk = _SHAPE_MNK.match(token)
            if mnk:
                m, n = int(mnk.group(1)), int(mnk.group(2))
                half = i + 1 < len(tokens) and tokens[i + 1] == "F16"
                return m * n // (256 if half else 128)
        return 0
    for token in tokens:
        packed = _SHAPE_PACKED.match(token)
        if packed:
            return 4 if packed.group(1) == "16" else 2
    return 0
