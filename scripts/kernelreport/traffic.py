"""DRAM and L2 traffic of one launch, from the order in which the grid walks its tiles.

Each output tile reads a panel of A (its rows x k) and a panel of B from L2.
The blocks resident at once (a wave: SMs x blocks per SM, in launch order)
walk k together, so within a wave each distinct panel comes from DRAM at most
once; a panel an earlier wave read comes from L2 if the L2 still holds it.
The walk is replayed wave by wave over an L2 of the GPU's size holding whole
panels, least recently used out first. A cluster reads its shared A panel
from L2 once (multicast) and each of its B panels once. Out: bytes from
DRAM, bytes read from L2, and the L2 hit rate the simulation's loads see.
"""
from collections import OrderedDict
from dataclasses import dataclass
from functools import lru_cache

from .protocol import TileOrder


@dataclass(frozen=True)
class Traffic:
    dram_bytes: float
    l2_bytes: float

    @property
    def hit(self) -> float:
        return 1.0 - self.dram_bytes / self.l2_bytes if self.l2_bytes else 0.0


def _walk(order: TileOrder, tiles_m: int, tiles_n: int):
    """The panels each unit of work (a block, or a cluster) reads, in launch order."""
    if order.kind == "grouped":
        group = order.group
        for first in range(0, tiles_m, group):
            for tn in range(tiles_n):
                for tm in range(first, min(first + group, tiles_m)):
                    yield (tm,), (tn,)
    elif order.group > 1:
        group = order.group
        for first in range(0, tiles_m, group):
            for cn in range(0, tiles_n, order.cluster_n):
                for tm in range(first, min(first + group, tiles_m)):
                    yield (tm,), tuple(range(cn, min(cn + order.cluster_n, tiles_n)))
    else:
        for cn in range(0, tiles_n, order.cluster_n):
            for tm in range(tiles_m):
                yield (tm,), tuple(range(cn, min(cn + order.cluster_n, tiles_n)))


@lru_cache(maxsize=None)
def traffic(order: TileOrder, m: int, n: int, k: int, element_bytes: int, l2_bytes: float,
            wave_units: int = 1) -> Traffic:
    """wave_units: units of the walk (blocks, or clusters) resident at once."""
    tiles_m, tiles_n = m // order.tile_m, n // order.tile_n
    a_panel = order.tile_m * k * element_bytes
    b_panel = order.tile_n * k * element_bytes
    cache: "OrderedDict" = OrderedDict()
    held = 0.0
    dram = 0.0
    l2 = 0.0

    def end_wave(used: "OrderedDict") -> None:
        nonlocal held, dram
        for key, size in used.items():
            if key in cache:
                cache.move_to_end(key)
                continue
            dram += size
            cache[key] = size
            held += size
        while held > l2_bytes and len(cache) > 1:
            _, dropped = cache.popitem(last=False)
            held -= dropped

    used: "OrderedDict" = OrderedDict()  # this wave's panels, by last use
    units = 0
    for a_ids, b_ids in _walk(order, tiles_m, tiles_n):
        for key, size in [(("a", i), a_panel) for i in a_ids] + [(("b", i), b_panel) for i in b_ids]:
            l2 += size
            used[key] = size
            used.move_to_end(key)
        units += 1
        if units == wave_units:
            end_wave(used)
            used, units = OrderedDict(), 0
    if used:
        end_wave(used)
    return Traffic(dram, l2)
