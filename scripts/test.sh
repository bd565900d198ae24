#!/usr/bin/env bash
# Installs what is missing, builds both flavours and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
cmake --preset cuda >/dev/null
cmake --build --preset cuda -j "$jobs"
# Host flavour: every test, on the stand-in device. CUDA flavour: what needs no device.
ctest --preset host -j "$jobs"
ctest --preset cuda -j "$jobs"
