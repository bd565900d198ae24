#!/usr/bin/env bash
# The main job: builds korvath and runs a short dry run: on the real GPU when
# one is present, else on the host stand-in device at a small shape.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
if command -v nvidia-smi >/dev/null 2>&1 || [ -e /proc/driver/nvidia ]; then
  cmake --preset cuda >/dev/null
  cmake --build --preset cuda -j "$jobs" --target korvath
  ./build/cuda/korvath --dry-run --max-attempts 20
else
  cmake --preset host >/dev/null
  cmake --build --preset host -j "$jobs" --target korvath
  # The stand-in runs kernels on the CPU, so the shape is small. A capability
  # 8.6 device selects the ampere row, which mines through the two-slot
  # offline pipeline.
  HOSTGPU_DEVICES="8.6,Host RTX 3090,1024,82" ./build/host/korvath --dry-run \
    --m 256 --n 256 --k 256 --rank 64 --max-attempts 20 --status-interval 5
fi
