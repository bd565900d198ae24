"""The kernel report's reading of SASS, on small hand-written listings (no GPU, no cuda build)."""
import dataclasses
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))

from kernelreport import (estimate, isa, latency, loops, machine, mainloop, metrics,  # noqa: E402
                          protocol, protocols, rows, sass, segments, sim, tools, traffic)
from kernelreport.rows import Row  # noqa: E402


def fixture(name):
    with open(os.path.join(HERE, "fixtures", name)) as f:
        return f.read()


def tiny_row(dynamic_shared):
    # Four warps over a 64 x 64 tile: four m16n8k32 MMAs per warp take 16 columns of k.
    return Row("tiny", "tiny_unit", "tiny", "mine", "", (80,), True, 128, 4, 64, 64, 16,
               dynamic_shared, "fixture")


class MiningLoopListing(unittest.TestCase):
    """mining_loop.sass: a K loop of 4 MMAs behind a copy and a barrier; every
    other trip may take the fold: one LDL, an inner loop of 4 trips with one
    shared store each, a barrier, a shared load, an STL, and a dump branch
    that the cheapest way skips."""

    def setUp(self):
        (self.function,) = sass.parse(fixture("mining_loop.sass"))
        self.loop = loops.main_loop(self.function, loops.natural_loops(self.function))

    def test_blocks_follow_branches_exits_and_uniform_predicates(self):
        successors = [block.successors for block in self.function.blocks]
        self.assertEqual(successors, [
            [1],        # @P0 EXIT falls through
            [2],
            [3, 7],     # @P1 BRA over the fold
            [4],
            [4, 5],     # the inner counted loop
            [6, 7],     # BRA.U !UP0 is conditional
            [7],
            [2, 8],     # the latch
            [],         # EXIT
            [9],        # the padding's self-branch, unreachable
            [],
        ])

    def test_main_loop_is_the_innermost_loop_with_tensor_instructions(self):
        self.assertEqual(self.loop.header, 2)
        self.assertEqual(self.loop.body, {2, 3, 4, 5, 6, 7})
        inner = [loop for loop in loops.natural_loops(self.function) if loop.header == 4]
        self.assertEqual(loops.counted_trips(self.function, inner[0]), 4)
        self.assertIsNone(loops.counted_trips(self.function, self.loop))  # limit is not a constant

    def test_hot_trip_and_fold(self):
        trip = mainloop.trip(self.function, self.loop)
        self.assertEqual(trip.hot, [2, 7])
        self.assertEqual((trip.hot_counts.instructions, trip.hot_counts.tensor), (15, 4))
        self.assertEqual((trip.hot_counts.local_loads, trip.hot_counts.local_stores), (0, 0))
        self.assertEqual(trip.hot_counts.shared_bytes, 512 + 512 + 256)
        self.assertEqual(trip.fold, [3, 4, 5])
        self.assertEqual(trip.fold_counts.instructions, 2 + 4 * 5 + 4)
        self.assertEqual((trip.fold_counts.local_loads, trip.fold_counts.local_stores), (1, 1))
        self.assertEqual(trip.fold_counts.barriers, 1)
        self.assertEqual(trip.fold_counts.shared_bytes, 4 * 128 + 128)
        self.assertEqual(trip.fold_skipped.instructions, 0)
        self.assertTrue(trip.trips_known)

    def test_report_numbers(self):
        resources = tools.Resources(registers=96, stack=168, shared=512, local=0)
        m = metrics.measure(self.function, resources, tiny_row(16384), 80, rank=32)
        self.assertEqual((m.blocks_per_sm, m.warps_per_sm), (5, 20))  # the registers limit it
        self.assertEqual(m.tensor_per_trip, 4)
        self.assertAlmostEqual(m.trips_per_step, 2.0)
        self.assertAlmostEqual(m.other_per_tensor, 11 / 4)
        self.assertAlmostEqual(m.other_per_tensor_fold, (2 * 11 + 26) / 8)
        self.assertEqual((m.loop_local, m.fold_local), ((0, 0), (1, 1)))
        self.assertTrue(m.local_in_loop_or_fold)
        # Per rank step and block: 64 tensor clocks, 56 issue, 100 shared-memory.
        self.assertAlmostEqual(m.fold_share_of_tensor, 26 / 64)
        self.assertAlmostEqual(m.peak, 64 / 100)

    def test_a_lone_block_waits_out_its_fold(self):
        resources = tools.Resources(registers=96, stack=0, shared=512, local=0)
        m = metrics.measure(self.function, resources, tiny_row(100000), 80, rank=32)
        self.assertEqual(m.blocks_per_sm, 1)
        self.assertAlmostEqual(m.peak, 64 / (max(64, 30, 100) + 26))


class InlineFoldListing(unittest.TestCase):
    """inline_fold.sass: the fold (XOR, shuffle, barrier) on every trip; one
    detour touches no accumulator, the other calls the runtime's printf."""

    def test_no_detour_is_a_fold(self):
        (function,) = sass.parse(fixture("inline_fold.sass"))
        loop = loops.main_loop(function, loops.natural_loops(function))
        trip = mainloop.trip(function, loop)
        self.assertEqual(trip.fold, [])
        self.assertEqual((trip.hot_counts.instructions, trip.hot_counts.barriers), (11, 1))
        m = metrics.measure(function, None, tiny_row(0), 120, rank=32)
        self.assertTrue(m.fold_inline)
        self.assertAlmostEqual(m.other_per_tensor_fold, m.other_per_tensor)
        self.assertIsNone(m.fold_share_of_tensor)


class StepLoopFoldListing(unittest.TestCase):
    """step_loop_fold.sass: a K loop of 2 MMAs inside the rank-step loop; the
    step's tail XORs the accumulators into shared memory behind a barrier,
    with a dump the cheapest way skips, then the step loop starts again."""

    def setUp(self):
        (self.function,) = sass.parse(fixture("step_loop_fold.sass"))
        self.loop = loops.main_loop(self.function, loops.natural_loops(self.function))

    def test_fold_is_the_step_loop_outside_the_main_loop(self):
        self.assertEqual((self.loop.header, self.loop.body), (2, {2}))
        trip = mainloop.trip(self.function, self.loop)
        self.assertEqual(trip.hot, [2])
        self.assertEqual((trip.hot_counts.instructions, trip.hot_counts.tensor), (7, 2))
        self.assertEqual(trip.fold, [3, 5, 1])  # tail, latch, header; not the dump
        self.assertEqual(trip.fold_counts.instructions, 5 + 3 + 2)
        self.assertEqual((trip.fold_counts.barriers, trip.fold_counts.shared_bytes), (1, 128))
        self.assertTrue(trip.trips_known)

    def test_report_numbers(self):
        resources = tools.Resources(registers=96, stack=0, shared=512, local=0)
        m = metrics.measure(self.function, resources, tiny_row(16384), 80, rank=32)
        self.assertFalse(m.fold_inline)
        self.assertAlmostEqual(m.trips_per_step, 4.0)  # 8 columns of k per trip
        self.assertAlmostEqual(m.other_per_tensor, 5 / 2)
        self.assertAlmostEqual(m.other_per_tensor_fold, (4 * 5 + 10) / (4 * 2))
        self.assertEqual(m.fold_barriers, 1)
        # Per rank step and block: 64 tensor clocks, 38 issue, (4 x 512 + 128) x 4 / 128 shared.
        self.assertAlmostEqual(m.fold_share_of_tensor, 10 / 64)
        self.assertAlmostEqual(m.peak, 64 / 68)

    def test_no_step_loop_fold_without_accumulator_reads(self):
        text = fixture("step_loop_fold.sass").replace("LOP3.LUT R40, R16, R20,", "LOP3.LUT R40, R6, R7,") \
            .replace("MOV R9, R16", "MOV R9, R6").replace("MOV R10, R17", "MOV R10, R7")
        (function,) = sass.parse(text)
        trip = mainloop.trip(function, loops.main_loop(function, loops.natural_loops(function)))
        self.assertEqual(trip.fold, [])


class PairMmaListing(unittest.TestCase):
    """pair_mma.sass: a loop issuing two-SM tensor-memory MMAs, each in an
    elect loop (the elected thread issues; the warp loops while a lane is left)."""

    def test_elect_loops_are_straight_code(self):
        (function,) = sass.parse(fixture("pair_mma.sass"))
        loop = loops.main_loop(function, loops.natural_loops(function))
        self.assertEqual((loop.header, loop.body), (1, {1, 2, 3, 4}))
        trip = mainloop.trip(function, loop)
        self.assertEqual((trip.hot_counts.instructions, trip.hot_counts.tensor), (11, 2))
        self.assertTrue(trip.hot_counts.pair_mma)
        self.assertTrue(trip.trips_known)

    def test_peak_from_the_rows_instruction_shape(self):
        (function,) = sass.parse(fixture("pair_mma.sass"))
        cases = [
            # sm, M x N x K of the instruction, trips per rank-128 step, peak
            (100, (256, 256, 32), 2.0, 1.0),
            (103, (256, 256, 32), 2.0, None),  # no int8 rate there
            (100, (), 1.0, None),               # shape unknown: k per trip from the row
        ]
        for sm, shape, trips, peak in cases:
            with self.subTest(sm=sm, shape=shape):
                row = dataclasses.replace(tiny_row(0), main_archs=(sm,), k_tile=128, mma_shape=shape)
                m = metrics.measure(function, None, row, sm, rank=128)
                self.assertAlmostEqual(m.trips_per_step, trips)
                self.assertEqual(m.peak, peak)

    def test_tensor_clocks_against_issue(self):
        # 2 trips x 2 MMAs x 256 x 256 x 32 / 2 SMs / 8192 MACs per clock = 512 tensor clocks;
        # the issuing warp alone runs the trip: a trip of 4096 instructions takes 1024 clocks.
        text = fixture("pair_mma.sass").replace(
            "        /*00a0*/", "".join("        /*00a0*/                   NOP ;\n" for _ in range(4085))
            + "        /*00a0*/")
        (function,) = sass.parse(text)
        row = dataclasses.replace(tiny_row(0), mma_shape=(256, 256, 32))
        m = metrics.measure(function, None, row, 100, rank=128)
        self.assertEqual(m.tensor_per_trip, 2)
        self.assertAlmostEqual(m.peak, 512 / (2 * 4096 / 4))


class Pieces(unittest.TestCase):
    def test_resource_usage(self):
        usage = tools.parse_resource_usage(fixture("resource_usage.txt"))
        self.assertEqual(usage["_ZN5tiny3mineEv"], tools.Resources(96, 168, 512, 0))
        self.assertEqual(usage["_ZN5tiny4idleEv"], tools.Resources(8, 0, 0, 0))

    def test_instruction_classes(self):
        cases = [
            # opcode, tensor, MACs per warp issue, shared bytes per warp
            ("IMMA.16832.S8.S8", True, 16 * 8 * 32, 0),
            ("IMMA.8816.S8.S8", True, 8 * 8 * 16, 0),
            ("HMMA.16816.F32.BF16", True, 16 * 8 * 16, 0),
            ("HGMMA.64x128x16.F32.BF16", True, 64 * 128 * 16 // 4, 0),
            ("IGMMA.64x128x32.S8.S8", True, 64 * 128 * 32 // 4, 0),
            ("UTCIMMA", True, None, 0),
            ("UTCHMMA.2CTA", True, None, 0),
            ("LDSM.16.M88.4", False, 0, 512),
            ("LDSM.16.MT88.2", False, 0, 256),
            ("STSM.16.M88.4", False, 0, 512),
            ("LDS.U.128", False, 0, 512),
            ("LDS", False, 0, 128),
            ("LDS.U8", False, 0, 32),
            ("STS.64", False, 0, 256),
            ("LDGSTS.E.BYPASS.LTC128B.128", False, 0, 512),
            ("IMAD.WIDE.U32", False, 0, 0),
        ]
        for opcode, tensor, macs, shared in cases:
            with self.subTest(opcode=opcode):
                instruction = sass.Instruction(0, None, opcode, "")
                self.assertEqual(isa.is_tensor(instruction), tensor)
                self.assertEqual(isa.tensor_macs_per_warp(instruction), macs)
                self.assertEqual(isa.shared_bytes(instruction), shared)

    def test_occupancy(self):
        cases = [
            # sm, threads, registers, static + dynamic shared, blocks per SM
            (75, 128, 255, 8192 + 16384, 2),
            (80, 128, 234, 512 + 49152, 2),
            (80, 128, 64, 512 + 49152, 3),      # then shared memory limits
            (89, 256, 210, 1024 + 98304, 1),
            (90, 384, 168, 1056 + 197632, 1),
            (120, 384, 168, 1056 + 197632, 0),  # more than the SM has
            (86, 1024, 32, 0, 1),               # resident warps
        ]
        for sm, threads, registers, shared, blocks in cases:
            with self.subTest(sm=sm, registers=registers, shared=shared):
                self.assertEqual(
                    machine.blocks_per_sm(machine.ARCHS[sm], threads, registers, shared), blocks)

    def test_launcher_constant_read_from_the_source(self):
        cases = [
            ("constexpr int kBytes = 49152;\n", 49152),
            ("constexpr int kBytes = 2 * kStage;\nstatic_assert(kBytes == 98304, \"two\");\n", 98304),
            ("constexpr int kBytes = 2 * kStage;  // 16384\n", None),
        ]
        for text, value in cases:
            with self.subTest(text=text), tempfile.TemporaryDirectory() as root:
                with open(os.path.join(root, "unit.cu"), "w") as f:
                    f.write(text)
                row = dataclasses.replace(tiny_row(0), source="unit.cu kBytes")
                self.assertEqual(rows.source_value(root, row), value)

    def test_warp_group_shape_printed_with_a_space(self):
        text = """
        .section .text._ZN5tiny4wgmmEv,"ax",@progbits
        /*0000*/                   IGMMA.64 x128x32.S8.S8 R24, gdesc[UR12], R24 ;
        /*0010*/                   IADD3 R7, R7, 0x1, RZ ;
        /*0020*/                   EXIT ;
"""
        (function,) = sass.parse(text)
        first, second = function.instructions[:2]
        self.assertEqual((first.opcode, first.operands), ("IGMMA.64x128x32.S8.S8", "R24, gdesc[UR12], R24"))
        self.assertEqual(isa.tensor_macs_per_warp(first), 64 * 128 * 32 // 4)
        self.assertEqual((second.opcode, second.operands), ("IADD3", "R7, R7, 0x1, RZ"))

    def test_pair_mma(self):
        cases = [("UTCIMMA.2CTA", True), ("UTCHMMA.2CTA", True), ("UTCIMMA", False),
                 ("IGMMA.64x128x32.S8.S8", False), ("IMMA.16832.S8.S8", False)]
        for opcode, pair in cases:
            with self.subTest(opcode=opcode):
                self.assertEqual(isa.is_pair_mma(sass.Instruction(0, None, opcode, "")), pair)

    def test_counted_loops(self):
        template = """
        .section .text._ZN5tiny4loopEv,"ax",@progbits
        /*0000*/                   {init} ;
.L_x_0:
        /*0010*/                   {step} ;
        /*0020*/                   ISETP.{relation}.AND P0, PT, R7, {limit}, PT ;
        /*0030*/               {branch} `(.L_x_0) ;
        /*0040*/                   EXIT ;
"""
        cases = [
            # counter start, its step, the test, the branch back: trips
            ("IMAD.MOV.U32 R7, RZ, RZ, RZ", "IADD3 R7, R7, 0x1, RZ", "NE", "0x8", "@P0 BRA", 8),
            ("MOV R7, 0x2", "IADD3 R7, PT, PT, R7, 0x2, RZ", "LT", "0x10", "@P0 BRA", 7),
            ("MOV R7, RZ", "VIADD R7, R7, 0x4", "GE", "0x20", "@!P0 BRA", 8),
            ("MOV R7, 0x10", "IADD3 R7, R7, -0x1, RZ", "NE", "RZ", "@P0 BRA", 16),
            ("MOV R7, R3", "IADD3 R7, R7, 0x1, RZ", "NE", "0x8", "@P0 BRA", None),
        ]
        for init, step, relation, limit, branch, trips in cases:
            with self.subTest(init=init, step=step, relation=relation):
                (function,) = sass.parse(template.format(init=init, step=step, relation=relation,
                                                         limit=limit, branch=branch))
                (loop,) = loops.natural_loops(function)
                self.assertEqual(loops.counted_trips(function, loop), trips)

    def test_names(self):
        self.assertEqual(tools.split_name("_ZN9vexal_ada53_GLOBAL__N__db227feb_20_ada_mining_kernel_cu_"
                                          "39233c4620headless_mine_kernelILb0ELb0EEEvv"),
                         ("vexal_ada", "headless_mine_kernel"))
        self.assertEqual(tools.split_name("_ZN5vexal14hopper_gemm_wsIiEEvv"),
                         ("vexal", "hopper_gemm_ws"))


# Latencies and rates the latency fixtures are worked out with, by hand in each docstring.
TIMING = latency.Timing(alu=4, fma=4, tmem=50, tmem_width=512, int_rate=64, fma_rate=64, mma=24,
                        tensor_rate=2048)


def functions(name):
    return {f.name: f for f in sass.parse(fixture(name))}


class FoldLatencyFixtures(unittest.TestCase):
    """Straight code through the scoreboard: a tensor-memory load is 50 clocks
    plus 32 lanes x 32 columns x 4 bytes / 512 per clock = 58; a LOP3 is 4
    clocks after its inputs and holds the integer pipe 2 clocks."""

    def test_segments(self):
        cases = [
            # fixture, function, instructions, alone, chain clocks and instructions,
            # tensor-memory loads in flight
            # 58 + 16 x 4 per chunk; the second load waits for the first chain's last read (118).
            ("tmem_loads.sass", "_ZN5tiny6reusedEv", 36, 245, 126, 18, 1),
            # Both loads issued first (8 clocks apart on the pipe): the second chain starts at 120.
            ("tmem_loads.sass", "_ZN5tiny7hoistedEv", 36, 188, 126, 18, 2),
            # 15 dependent XORs.
            ("xor_fold.sass", "_ZN5tiny5chainEv", 16, 60, 60, 15, 0),
            # 4 levels, 15 XORs on a pipe that takes one every 2 clocks.
            ("xor_fold.sass", "_ZN5tiny4treeEv", 16, 34, 16, 4, 0),
        ]
        for name, function, instructions, alone, chain, depth, in_flight in cases:
            with self.subTest(function=function):
                cost = latency.measure(functions(name)[function].instructions, TIMING)
                self.assertEqual(cost.instructions, instructions)
                self.assertEqual((cost.alone, cost.chain, cost.chain_instructions),
                                 (alone, chain, depth))
                self.assertEqual(cost.tmem_in_flight, in_flight)

    def test_register_widths(self):
        cases = [
            ("LDTM.x32", "R4, tmem[UR4]", 32, ["UR4"]),
            ("LDS.64", "R8, [R2+0x10]", 2, ["R2"]),
            ("IMMA.16832.S8.S8", "R16, R8.ROW, R12.COL, R16", 4, ["R8", "R12", "R16"]),
            ("STS", "[R0], R38", 0, ["R0", "R38"]),
            ("UTCIMMA.2CTA", "gdesc[UR16], gdesc[UR14], tmem[UR5], tmem[UR12], idesc[UR13], UPT",
             0, ["UR16", "UR14", "UR5"]),
        ]
        for opcode, operands, width, reads in cases:
            with self.subTest(opcode=opcode):
                written, read = latency._operands(sass.Instruction(0, None, opcode, operands))
                self.assertEqual(len(written), width)
                for register in reads:
                    self.assertIn(register, read)


class FoldLoopFixtures(unittest.TestCase):
    """fold_loop.sass and fold_unrolled.sass: the same fold, an inner loop of
    4 trips or unrolled; a barrier poll in the trip."""

    def test_inner_loops_count_their_trips(self):
        cases = [
            # fixture, fold instructions, fold alone: the loop's test and branch on the chain
            ("fold_loop.sass", 1 + 4 * 5 + 1, 62),
            ("fold_unrolled.sass", 8 + 1, 33),
        ]
        for name, instructions, alone in cases:
            with self.subTest(fixture=name):
                (function,) = sass.parse(fixture(name))
                loop = loops.main_loop(function, loops.natural_loops(function))
                trip = mainloop.trip(function, loop)
                self.assertTrue(trip.trips_known)  # the barrier poll counts once, and is known
                fold = latency.measure(segments.cut(function, loop, trip)["fold"], TIMING)
                self.assertEqual(fold.instructions, instructions)
                self.assertEqual((fold.alone, fold.chain, fold.chain_instructions), (alone, 32, 8))


class TensorMemoryFixtures(unittest.TestCase):
    """tmem_pair.sass: a pair-MMA kernel allocating 8 x 32 columns (the
    half_columns variant 4 x 32), folding inline behind two block barriers."""

    row = Row("tiny-pair", "tiny_unit", "tiny", "pair", "", (100,), True, 128, 4, 128, 128, 128,
              58496, "fixture", (256, 256, 32))
    # 154 registers and 59,520 bytes with the reserved KiB admit 3 CTAs on sm_100.
    resources = tools.Resources(registers=154, stack=0, shared=0, local=0)

    def setUp(self):
        protocols.PROTOCOLS["tiny-pair"] = protocols._two_sm("tiny-pair", {100: "B200"}, 1, 256, 128, 256)
        self.addCleanup(protocols.PROTOCOLS.pop, "tiny-pair")

    def test_columns_occupancy_and_contradictions(self):
        cases = [
            # function, columns, CTAs per SM, limited by, over-allocation, contradictions
            ("_ZN5tiny4pairEv", 256, 2, ["tensor memory"], True, 0),
            ("_ZN5tiny12half_columnsEv", 128, 3, ["registers", "shared memory"], False, 1),
        ]
        for name, columns, blocks, limiting, over, contradictions in cases:
            with self.subTest(function=name):
                function = functions("tmem_pair.sass")[name]
                self.assertEqual(segments.tmem_columns(function), columns)
                e = estimate.estimate(function, self.resources, self.row, 100, 128, tiles=3)
                self.assertEqual((e.blocks, e.limiting, e.tmem_overallocation), (blocks, limiting, over))
                self.assertEqual(len(e.contradictions), contradictions, e.contradictions)

    def test_a_protocol_with_two_accumulators_is_caught(self):
        two = protocols.PROTOCOLS["tiny-pair"]
        protocols.PROTOCOLS["tiny-pair"] = dataclasses.replace(two, tmem_columns=512, accumulators=2)
        e = estimate.estimate(functions("tmem_pair.sass")["_ZN5tiny4pairEv"], self.resources,
                              self.row, 100, 128)
        self.assertEqual(e.contradictions, [
            "the protocol allocates 512 tensor-memory columns (2 accumulator buffer(s)), the code 256"])

    def test_the_inline_fold_binds(self):
        e = estimate.estimate(functions("tmem_pair.sass")["_ZN5tiny4pairEv"], self.resources,
                              self.row, 100, 128)
        fold = e.costs["fold"]
        self.assertEqual((fold.tmem_loads, fold.tmem_in_flight, fold.barriers), (2, 1, 2))
        self.assertLessEqual(e.ends["low"], e.ends["base"])
        self.assertLessEqual(e.ends["base"], e.ends["high"])
        self.assertLess(e.ends["high"], 1.0)


class BarrierFixture(unittest.TestCase):
    """barrier_trip.sass: per trip one MMA (8 clocks of its sub-partition's
    tensor pipe, its result 32 clocks after issue) and a block barrier."""

    def test_the_round_trip_costs_its_latency_every_trip(self):
        (function,) = sass.parse(fixture("barrier_trip.sass"))
        loop = loops.main_loop(function, loops.natural_loops(function))
        trip = latency.measure(segments.cut(function, loop, mainloop.trip(function, loop))["trip"],
                               TIMING)
        self.assertEqual((trip.alone, trip.pipes["tensor"]), (32, 8))
        order = protocol.TileOrder("grouped", 128, 128)
        plan = protocol.Protocol("tiny", {80: "A100"}, "warp", 4, 2, 64, 1, 128, 128, order, {},
                                 (), (protocol.Run("trip"), protocol.Sync()), ())
        constants = dict(machine.constants_of("A100"), barrier=30)
        cases = [
            # removed, fraction: 8 tensor clocks in a trip of 32, plus the barrier's 30
            (set(), 8 / 62),
            ({"barriers"}, 8 / 32),
        ]
        for removed, fraction in cases:
            with self.subTest(removed=removed):
                inputs = sim.Inputs(plan, {"trip": trip}, constants, 1, 16, 2, tiles=1,
                                    removed=removed)
                self.assertAlmostEqual(sim.simulate(inputs), fraction)


class MachineModel(unittest.TestCase):
    def test_every_constant_has_a_range_and_a_source(self):
        for gpu, name, low, base, high, source in machine.table_lines():
            with self.subTest(gpu=gpu, name=name):
                self.assertLessEqual(low, base)
                self.assertLessEqual(base, high)
                self.assertTrue(source)

    def test_datasheet_rates_agree_with_the_rate_model(self):
        # The rate model's per-SM rates are the datasheets' rounded to a power of two: int8
        # everywhere, bf16 where a row multiplies in it (the GeForce parts' bf16 with f32
        # accumulation runs at half their f16 rate, which no row uses).
        for arch_number, gpu in machine.GPU_OF_ARCH.items():
            arch = machine.ARCHS[arch_number]
            values = machine.constants_of(gpu)
            pairs = [("int8_rate", arch.int8_macs)]
            if arch_number in (90, 100, 103):
                pairs.append(("bf16_rate", arch.f16_macs))
            for rate, model in pairs:
                if model:
                    with self.subTest(gpu=gpu, rate=rate):
                        self.assertAlmostEqual(values[rate] / model, 1.0, delta=0.03)

    def test_the_pessimistic_end_takes_the_slower_value(self):
        low, high = machine.constants_of("B200", "low"), machine.constants_of("B200", "high")
        self.assertGreater(low["tmem"], high["tmem"])
        self.assertLess(low["l2_bandwidth"], high["l2_bandwidth"])

    def test_tensor_memory_limits_occupancy(self):
        cases = [
            # sm, registers, shared, columns: limits that bind, blocks
            (103, 154, 1024 + 58496, 256, ["tensor memory"], 2),
            (103, 154, 1024 + 58496, 128, ["registers", "shared memory"], 3),
            (100, 79, 1024 + 84096, 256, ["shared memory", "tensor memory"], 2),
            (90, 168, 1024 + 197632, 256, ["registers", "shared memory"], 1),  # no tensor memory
        ]
        for sm, registers, shared, columns, binding, blocks in cases:
            with self.subTest(sm=sm, columns=columns):
                limits = machine.occupancy_limits(machine.ARCHS[sm], 128 if sm != 90 else 384,
                                                  registers, shared, columns, sm)
                self.assertEqual(min(limits.values()), blocks)
                self.assertEqual(sorted(k for k, v in limits.items() if v == blocks), binding)


class TileOrderTraffic(unittest.TestCase):
    def test_panels_come_from_dram_when_l2_lost_them(self):
        # 4 x 4 tiles of one-byte panels, clusters of 2 N tiles walked down every M tile.
        order = protocol.TileOrder("clusters", 1, 1, cluster_n=2)
        cases = [
            # L2 bytes: DRAM bytes
            (3, 12),  # A read again for the second cluster column
            (6, 11),  # that column's B panels push out the A panels not yet reused
            (8, 8),   # everything read once
        ]
        for l2, dram in cases:
            with self.subTest(l2=l2):
                moved = traffic.traffic(order, 4, 4, 1, 1, l2)
                self.assertEqual((moved.dram_bytes, moved.l2_bytes), (dram, 24))

    def test_bf16_clusters_reread_a_for_every_cluster_column(self):
        # B300 today: A (1 GiB of bf16) for each of the 512 column pairs of 128.
        order = protocols.PROTOCOLS["blackwell-b300"].order
        moved = traffic.traffic(order, 131072, 131072, 4096, 2, 126 * 2 ** 20, 74)
        self.assertAlmostEqual(moved.dram_bytes / 2 ** 30, 512 + 1, delta=0.5)


if __name__ == "__main__":
    unittest.main()
