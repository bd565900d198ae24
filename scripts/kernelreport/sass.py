"""SASS text (nvdisasm -c) into functions, basic blocks and control-flow edges."""
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional

_SECTION = re.compile(r"^\s*\.section\s+\.text\.([^,\s]+)")
_LABEL = re.compile(r"^\s*([.$A-Za-z_][\w.$]*):\s*$")
_INSTRUCTION = re.compile(
    r"^\s*/\*([0-9a-fA-F]+)\*/\s+(?:(@!?U?P(?:T|\d+))\s+)?([A-Z][A-Za-z0-9_.]*)\s*([^;]*);")
_TARGET = re.compile(r"`\(([^)]+)\)")


@dataclass
class Instruction:
    offset: int
    predicate: Optional[str]  # "@P0", "@!P1", None
    opcode: str               # with modifiers: "IMMA.16832.S8.S8"
    operands: str

    @property
    def base(self) -> str:
        return self.opcode.split(".", 1)[0]

    @property
    def target(self) -> Optional[str]:
        found = _TARGET.search(self.operands)
        return found.group(1) if found else None


_SPLIT_SHAPE = re.compile(r"^(x\d+x\d+(?:\.[\w]+)*)\s*")


@dataclass
class Block:
    index: int
    instructions: List[Instruction] = field(default_factory=list)
    successors: List[int] = field(default_factory=list)
    predecessors: List[int] = field(default_factory=list)


@dataclass
class Function:
    name: str
    instructions: List[Instruction] = field(default_factory=list)
    labels: Dict[str, int] = field(default_factory=dict)  # label -> instruction index
    blocks: List[Block] = field(default_factory=list)


def parse(text: str) -> List[Function]:
    """Every function of the listing, with its blocks and edges built."""
    functions: List[Function] = []
    current: Optional[Function] = None
    pending_labels: List[str] = []
    for line in text.splitlines():
        section = _SECTION.match(line)
        if section:
            current = Function(section.group(1))
            functions.append(current)
            pending_labels = []
            continue
        if current is None:
            continue
        label = _LABEL.match(line)
        if label:
            pending_labels.append(label.group(1))
            continue
        found = _INSTRUCTION.match(line)
        if not found:
            continue
        for name in pending_labels:
            current.labels[name] = len(current.instructions)
        pending_labels = []
        offset, predicate, opcode, operands = found.groups()
        # The disassembler prints a warp-group shape with a space: "IGMMA.64 x128x32.S8.S8".
        split_shape = _SPLIT_SHAPE.match(operands)
        if split_shape and re.search(r"\.\d+$", opcode):
            opcode += split_shape.group(1)
            operands = operands[split_shape.end():]
        current.instructions.append(Instruction(int(offset, 16), predicate, opcode, operands.strip()))
    for function in functions:
        _build_blocks(function)
    return functions


def _never(instruction: Instruction) -> bool:
    return instruction.predicate == "@!PT"


_OPERAND_PREDICATE = re.compile(r"^(!?U?P(?:T|\d+))\s*,")


def _conditional(instruction: Instruction) -> bool:
    if instruction.predicate not in (None, "@PT"):
        return True
    # "BRA.U !UP0, target" and "BRA P1, target" test a predicate operand.
    operand = _OPERAND_PREDICATE.match(instruction.operands)
    if operand and operand.group(1) not in ("PT", "UPT"):
        return True
    # A divergence test branches on the warp's state, not on a predicate.
    return ".DIV" in instruction.opcode or ".CONV" in instruction.opcode


def _jump_call(instruction: Instruction) -> bool:
    # CALL.REL.NOINC to a label of the function is a jump that pushes no
    # return: the compiler's way out of a loop, not a call.
    return instruction.base == "CALL" and ".NOINC" in instruction.opcode \
        and (instruction.target or "").startswith(".L")


def _ends_block(instruction: Instruction) -> bool:
    return instruction.base in ("BRA", "BRX", "JMP", "JMX", "EXIT", "RET", "KILL") or (
        instruction.base == "BPT" and "TRAP" in instruction.opcode) or _jump_call(instruction)


def _build_blocks(function: Function) -> None:
    code = function.instructions
    if not code:
        return
    leaders = {0}
    leaders.update(index for index in function.labels.values() if index < len(code))
    for i, instruction in enumerate(code):
        if _ends_block(instruction) and i + 1 < len(code):
            leaders.add(i + 1)
    starts = sorted(leaders)
    block_of_instruction = {}
    for number, start in enumerate(starts):
        end = starts[number + 1] if number + 1 < len(starts) else len(code)
        block = Block(number, code[start:end])
        function.blocks.append(block)
        block_of_instruction[start] = number

    def block_at_label(label: Optional[str]) -> Optional[int]:
        if label is None or label not in function.labels:
            return None
        return block_of_instruction.get(function.labels[label])

    for block in function.blocks:
        last = block.instructions[-1]
        following = block.index + 1 if block.index + 1 < len(function.blocks) else None
        successors: List[int] = []
        if _never(last) or not _ends_block(last):
            successors.append(following)
        elif last.base in ("BRA", "JMP") or _jump_call(last):
            successors.append(block_at_label(last.target))
            if _conditional(last):
                successors.append(following)
        elif last.base in ("EXIT", "RET", "KILL", "BPT"):
            if _conditional(last):
                successors.append(following)
        # BRX and JMX: targets unknown, so no edge.
        # A call returns to the next instruction; its callee is not part of this flow.
        block.successors = sorted({s for s in successors if s is not None})
    for block in function.blocks:
        for successor in block.successors:
            function.blocks[successor].predecessors.append(block.index)
