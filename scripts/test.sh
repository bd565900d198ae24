#!/usr/bin/env bash
# Installs what is missing, builds both flavours and runs every test; then the
# host flavour's tests under the sanitizers and the fuzz harnesses.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
cmake --preset cuda >/dev/null
cmake --build --preset cuda -j "$jobs"
# What the mining kernels issue, from the disassembly: a tensor-core row whose
# main loop holds no tensor-core instruction, any local-memory access in that
# loop or its fold, resident CTAs that could over-allocate tensor memory, a
# latency-aware estimate below its floor, or a protocol the code contradicts
# fails the run.
python3 scripts/kernel_report --main-only --check
# Host flavour: every test, on the stand-in device. CUDA flavour: what needs no device.
ctest --preset host -j "$jobs"
ctest --preset cuda -j "$jobs"

# Every host test again under AddressSanitizer and UndefinedBehaviorSanitizer;
# any finding ends its process with an error.
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j "$jobs"
ctest --preset host-asan -j "$jobs"

# The threaded tests (pool, gateway, submitter, engine) under ThreadSanitizer.
bash scripts/test-threads.sh "$jobs"

# The fuzz harnesses, a few seconds each, when clang is there to build them.
if command -v clang++ >/dev/null 2>&1; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  ctest --preset fuzz -j "$jobs"
else
  echo "test: no clang++, fuzz harnesses not built"
fi
