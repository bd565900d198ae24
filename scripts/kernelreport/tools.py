"""The disassembly tools: where they are, and what they say about one object file."""
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from typing import Dict, List, Optional, Set, Tuple

# Where scripts/setup.sh installs the pinned PyPI disassemblers (the same
# prefix variable as there); failing that, PATH.
PREFIX_VARIABLE = "KORVATH_DISASM_PREFIX"
DEFAULT_PREFIX = "/opt/korvath/cuda-disasm"


def find_tool(name: str) -> str:
    directory = os.path.join(os.environ.get(PREFIX_VARIABLE, DEFAULT_PREFIX), "nvidia", "cu13", "bin")
    candidate = os.path.join(directory, name)
    if os.access(candidate, os.X_OK):
        return candidate
    found = shutil.which(name)
    if found:
        return found
    raise RuntimeError(f"{name} not found in {directory} ({PREFIX_VARIABLE}) nor on PATH "
                       "(scripts/setup.sh installs it)")


@dataclass
class Resources:
    registers: int
    stack: int
    shared: int   # static shared memory, bytes
    local: int


_RES_FUNCTION = re.compile(r"^\s*Function\s+(\S+?):\s*$")
_RES_VALUES = re.compile(r"REG:(\d+)\s+STACK:(\d+)\s+SHARED:(\d+)\s+LOCAL:(\d+)")


def parse_resource_usage(text: str) -> Dict[str, Resources]:
    out: Dict[str, Resources] = {}
    name = None
    for line in text.splitlines():
        function = _RES_FUNCTION.match(line)
        if function:
            name = function.group(1)
            continue
        values = _RES_VALUES.search(line)
        if values and name:
            out[name] = Resources(*(int(v) for v in values.groups()))
            name = None
    return out


def _run(arguments: List[str]) -> str:
    done = subprocess.run(arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(arguments)} failed: {done.stderr.strip()}")
    return done.stdout


_ARCH = re.compile(r"\.sm_(\d+)[a-z]?\.cubin$")


@dataclass
class Image:
    arch: int                         # 80 for sm_80
    sass: str                         # nvdisasm -c text; empty when it cannot disassemble
    resources: Dict[str, Resources]
    note: str = ""


def images_of(object_file: str, archs: Optional[Set[int]] = None) -> List[Image]:
    """The device images of an object file or archive (those of `archs`, when
    given), disassembled."""
    cuobjdump = find_tool("cuobjdump")
    nvdisasm = find_tool("nvdisasm")
    images: List[Image] = []
    with tempfile.TemporaryDirectory(prefix="kernel_report.") as work:
        listing = _run([cuobjdump, "-lelf", os.path.abspath(object_file)])
        if "ELF file" not in listing:
            return images
        subprocess.run([cuobjdump, "-xelf", "all", os.path.abspath(object_file)], cwd=work,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
        for name in sorted(os.listdir(work)):
            arch = _ARCH.search(name)
            if not arch or (archs is not None and int(arch.group(1)) not in archs):
                continue
            path = os.path.join(work, name)
            resources = parse_resource_usage(_run([cuobjdump, "-res-usage", path]))
            done = subprocess.run([nvdisasm, "-c", path], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
            if done.returncode == 0:
                images.append(Image(int(arch.group(1)), done.stdout, resources))
            else:
                images.append(Image(int(arch.group(1)), "", resources,
                                    f"nvdisasm: {done.stderr.strip().splitlines()[-1] if done.stderr.strip() else 'failed'}"))
    return images


def demangle(names: List[str]) -> Dict[str, str]:
    tool = shutil.which("c++filt")
    if not tool or not names:
        return {name: name for name in names}
    done = subprocess.run([tool], input="\n".join(names), stdout=subprocess.PIPE, text=True)
    lines = done.stdout.splitlines()
    return {name: (lines[i] if i < len(lines) else name) for i, name in enumerate(names)}


def split_name(mangled: str) -> Tuple[str, str]:
    """(namespace, function) from an Itanium-mangled nested name, enough to tell kernels apart."""
    parts = []
    rest = mangled[3:] if mangled.startswith("_ZN") else mangled
    while rest and rest[0].isdigit():
        digits = re.match(r"\d+", rest).group(0)
        length = int(digits)
        parts.append(rest[len(digits):len(digits) + length])
        rest = rest[len(digits) + length:]
    if not parts:
        return "", mangled
    namespaces = [p for p in parts[:-1] if not p.startswith("_GLOBAL__N")]
    return "::".join(namespaces), parts[-1]
