"""Warp-group MMAs in the kernel report: register accumulators, asynchronous
issue, and tensor time counted once (the protocol's Mma), on a hand-written
listing of a K loop inside a rank-step loop whose tail folds the accumulators."""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))

from kernelreport import isa, latency, loops, machine, mainloop, sass, sim  # noqa: E402
from kernelreport.protocol import Mma, Protocol, Run, TileOrder, WaitMma  # noqa: E402

STEP_LOOP = """
	.target	sm_90a

//--------------------- .text._ZN4tiny5groupEv --------------------------
	.section	.text._ZN4tiny5groupEv,"ax",@progbits
	.align	128
_ZN4tiny5groupEv:
.text._ZN4tiny5groupEv:
        /*0000*/                   MOV R1, c[0x0][0x28] ;
.L_x_0:
        /*0010*/                   MOV R2, RZ ;
.L_x_1:
        /*0020*/                   WARPGROUP.ARRIVE ;
        /*0030*/                   IGMMA.64x128x32.S8.S8 R24, gdesc[UR4], R24 ;
        /*0040*/                   IGMMA.64x128x32.S8.S8 R24, gdesc[UR8], R24 ;
        /*0050*/                   IGMMA.64x128x32.S8.S8 R24, gdesc[UR12], R24 ;
        /*0060*/                   IGMMA.64x128x32.S8.S8 R24, gdesc[UR16], R24, gsb0 ;
        /*0070*/                   WARPGROUP.DEPBAR.LE gsb0, 0x0 ;
        /*0080*/                   IADD3 R2, R2, 0x1, RZ ;
        /*0090*/                   ISETP.NE.AND P0, PT, R2, R5, PT ;
        /*00a0*/               @P0 BRA `(.L_x_1) ;
        /*00b0*/                   LOP3.LUT R100, R24, R25, R87, 0x96, !PT ;
        /*00c0*/                   STS [R6], R100 ;
        /*00d0*/                   IADD3 R161, R161, 0x1, RZ ;
        /*00e0*/                   ISETP.NE.AND P2, PT, R161, c[0x0][0x174], PT ;
        /*00f0*/               @P2 BRA `(.L_x_0) ;
        /*0100*/                   EXIT ;
"""


def listing(text=STEP_LOOP):
    (function,) = sass.parse(text)
    return function, loops.main_loop(function, loops.natural_loops(function))


class WarpGroupMma(unittest.TestCase):
    def test_accumulator_registers_per_thread(self):
        cases = [
            ("IGMMA.64x128x32.S8.S8", 64),       # 64 x 128 int32 over 128 threads
            ("HGMMA.64x256x16.F32.BF16", 128),
            ("HGMMA.64x8x16.F16", 2),            # f16 accumulators, two to a register
            ("IMMA.16832.S8.S8", 4),
            ("UTCIMMA", 0),                      # tensor memory
        ]
        for opcode, registers in cases:
            with self.subTest(opcode=opcode):
                self.assertEqual(isa.accumulator_registers(sass.Instruction(0, None, opcode, "")), registers)

    def test_fold_in_the_step_loop_reads_warp_group_accumulators(self):
        function, loop = listing()
        self.assertEqual((loop.header, loop.body), (2, {2}))
        trip = mainloop.trip(function, loop)
        self.assertEqual(trip.fold, [3, 1])  # the step's tail, then the step loop's header
        self.assertEqual(trip.fold_counts.instructions, 5 + 1)
        # A tail that reads none of R24..R87 is no fold.
        function, loop = listing(STEP_LOOP.replace("R24, R25, R87", "R20, R21, R88"))
        self.assertEqual(mainloop.trip(function, loop).fold, [])

    def test_issue_does_not_wait_for_the_previous_mma_nor_hold_a_tensor_pipe(self):
        function, loop = listing()
        timing = latency.timing_for(machine.constants_of("H100"))
        cost = latency.measure(function.blocks[2].instructions, timing)
        self.assertNotIn("tensor", cost.pipes)
        # Nine instructions issue one per clock; were the four MMAs into R24
        # chained, they alone would take four MMA latencies.
        self.assertLess(cost.alone, 2 * timing.mma)

    def test_tensor_time_is_the_protocols_mma_only(self):
        function, loop = listing()
        constants = machine.constants_of("H100")
        issue = latency.measure(function.blocks[2].instructions, latency.timing_for(constants))
        protocol = Protocol(
            row="tiny", gpus={90: "H100"}, mma="warpgroup", warps=4, stages=1, k_tile=128,
            element_bytes=1, tile_m=64, tile_n=128, order=TileOrder("clusters", 64, 128),
            barriers={}, prologue=(), k_tile_ops=(Run(segment="issue"), Mma(), WaitMma()),
            epilogue=())
        run = sim.Sim(sim.Inputs(protocol, {"issue": issue}, constants, blocks=1, k_tiles=3,
                                 tiles_per_step=1, mma_pieces=4, mma_clocks=16.0, tiles=1))
        run.run()
        busy = sum(end - start for start, end in run.busy)
        self.assertEqual(busy, 3 * 4 * 4 * 16.0)  # trips x warps x pieces x clocks


if __name__ == "__main__":
    unittest.main()
