"""The mining kernel of every backend row, as the report finds it in the build.

Dynamic shared memory is what each row's launcher passes (the constant named
in `source`); it is not in the binary. A kernel is matched by its device
unit, its mangled namespace and name, and a piece of its mangled template
arguments that picks the instantiation the row launches at rank 128
(non-dump; the Hopper row's full-tile one). The explicit rows' kernels are
instances of one template, told apart by their unit.

The B200 and B300 rows issue the two-SM MMA of blackwell_two_sm_mma.h:
M = 256 (the pair's rows), N = the pair's N tile (256 and 128), K = 32 bytes
of each row (32 int8 or 16 bf16 elements).
"""
import os
import re
from dataclasses import dataclass
from typing import Optional, Tuple


@dataclass(frozen=True)
class Row:
    name: str
    unit: str              # device unit (library) holding the kernel
    namespace: str
    kernel: str
    variant: str           # a piece of the mangled name; "" for the only instantiation
    main_archs: Tuple[int, ...]
    tensor: bool           # a tensor-core row
    threads: int
    loop_warps: int        # warps that run the main loop
    tile_m: int
    tile_n: int
    k_tile: int            # columns of k per main-loop trip when the MMA shape is not in the code
    dynamic_shared: int
    source: str            # "file constant" the launcher passes, or why there is none
    # M, N, K of one tensor-memory MMA as issued (for a pair MMA the pair's M),
    # which its instruction descriptor holds at run time; () when the opcode shows it.
    mma_shape: Tuple[int, ...] = ()
    # "file constant" of the KernelFootprint{registers, static shared bytes}
    # the launcher declares for the host stand-in, or "" when it declares none.
    footprint: str = ""


ROWS = (
    Row("volta", "volta_mining_kernel", "explicit_mining", "headless_mine_kernel", "", (70,), False,
        128, 4, 128, 128, 0, 0, "volta_mining_kernel.cu: no dynamic shared memory"),
    Row("turing", "turing_mining_kernel", "vexal_turing", "headless_mine_kernel", "", (75,), True,
        128, 4, 128, 128, 64, 16384, "miner/backends/turing_mining_kernel.cu kDynamicSharedBytes"),
    Row("ampere", "ampere_mining_kernel", "vexal_ampere", "headless_mine_kernel", "ILb0E",
        (80, 86), True, 128, 4, 128, 128, 64, 49152, "miner/backends/ampere_mining_kernel.cu kSharedBytes"),
    Row("cmp170hx", "cmp170hx_mining_kernel", "vexal_cmp170hx", "headless_mine_kernel", "ILb0E",
        (80,), True, 128, 4, 128, 128, 128, 65536, "miner/backends/cmp170hx_mining_kernel.cu kSharedBytes"),
    Row("cmp170hx-dp2a", "cmp170hx_dp2a_mining_kernel", "explicit_mining",
        "headless_mine_kernel", "", (80,), False, 128, 4, 128, 128, 0, 0,
        "cmp170hx_dp2a_mining_kernel.cu: no dynamic shared memory"),
    Row("cmp170hx-scalar", "cmp170hx_scalar_mining_kernel", "explicit_mining",
        "headless_mine_kernel", "", (80,), False, 128, 4, 128, 128, 0, 0,
        "cmp170hx_scalar_mining_kernel.cu: no dynamic shared memory"),
    Row("ada", "ada_mining_kernel", "vexal_ada", "headless_mine_kernel", "ILb0ELb0E", (89,), True,
        256, 8, 128, 256, 128, 98304, "miner/backends/ada_mining_kernel.cu kSharedBytes"),
    Row("hopper", "hopper_mining_kernel", "vexal", "hopper_gemm_ws", "S8_S8_EEELb1ELb1E", (90,),
        True, 384, 8, 128, 256, 128, 197632,
        "miner/vexal-gemm/csrc/gemm/hopper_gemm_host.h kHopperGemmSharedBytes",
        footprint="miner/vexal-gemm/csrc/gemm/hopper_gemm_host.h kHopperGemmFootprint"),
    Row("blackwell", "blackwell_mining_kernel", "vexal_blackwell", "headless_mine_kernel",
        "ILb0ELb0E", (120,), True, 256, 8, 128, 256, 128, 98304,
        "miner/backends/blackwell_mining_kernel.cu kSharedBytes"),
    Row("blackwell-native", "blackwell_native_mining_kernel", "vexal_blackwell_native_impl",
        "headless_mine_kernel", "ILb0ELb0ELi1E", (120,), True, 256, 8, 128, 256, 128, 98336,
        "miner/backends/blackwell_native_mining_kernel.cu kMiningSharedBytes"),
    Row("blackwell-b200", "blackwell_b200_mining_kernel", "vexal_blackwell_b200",
        "headless_mine_kernel_2sm_tma", "", (100,), True, 128, 4, 128, 128, 128, 84096,
        "miner/backends/blackwell_b200_mining_kernel.h kMiningSharedBytes", (256, 256, 32),
        "miner/backends/blackwell_b200_mining_kernel.cu kMiningFootprint"),
    Row("blackwell-b300", "blackwell_b300_mining_kernel", "vexal_blackwell_b300",
        "headless_mine_kernel_2sm_tma", "", (103,), True, 128, 4, 128, 128, 128, 58496,
        "miner/backends/blackwell_b300_mining_kernel.h kMiningSharedBytes", (256, 128, 16),
        "miner/backends/blackwell_b300_mining_kernel.cu kMiningFootprint"),
)


def row_of(unit: str, namespace: str, kernel: str, mangled: str) -> Optional[Row]:
    for row in ROWS:
        if (row.unit == unit and row.namespace == namespace and row.kernel == kernel
                and row.variant in mangled):
            return row
    return None


def is_mining_kernel(kernel: str) -> bool:
    return kernel.startswith("headless_mine_kernel") or kernel == "hopper_gemm_ws"


def source_value(root: str, row: Row) -> Optional[int]:
    """The launcher constant's value where the source spells it out (an
    initialiser or a static_assert with a number), else None."""
    parts = row.source.split()
    if len(parts) != 2 or not os.path.isfile(os.path.join(root, parts[0])):
        return None
    with open(os.path.join(root, parts[0])) as f:
        text = f.read()
    name = re.escape(parts[1])
    for pattern in (r"\b%s\s*=\s*(\d+)\s*;" % name, r"\b%s\s*==\s*(\d+)\b" % name):
        found = re.search(pattern, text)
        if found:
            return int(found.group(1))
    return None


def _constant(root: str, path: str, name: str) -> Optional[int]:
    """A named integer constant of the file or of its header beside it."""
    for candidate in (path, os.path.splitext(path)[0] + ".h"):
        if not os.path.isfile(os.path.join(root, candidate)):
            continue
        with open(os.path.join(root, candidate)) as f:
            found = re.search(r"\b%s\s*=\s*(\d+)\s*;" % re.escape(name), f.read())
        if found:
            return int(found.group(1))
    return None


def footprint_value(root: str, row: Row) -> Optional[Tuple[int, int]]:
    """The (registers, static shared bytes) the launcher declares, where its
    source spells them out as numbers or named constants (of the file or its
    header)."""
    parts = row.footprint.split()
    if len(parts) != 2 or not os.path.isfile(os.path.join(root, parts[0])):
        return None
    with open(os.path.join(root, parts[0])) as f:
        text = f.read()
    found = re.search(r"\b%s\s*\{\s*(\w+)\s*,\s*(\w+)\s*\}" % re.escape(parts[1]), text)
    if not found:
        return None
    values = []
    for item in found.groups():
        values.append(int(item) if item.isdigit() else _constant(root, parts[0], item))
    if None in values:
        return None
    return values[0], values[1]
