#!/usr/bin/env bash
# The main job: builds korvath and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target korvath
./build/host/korvath help
