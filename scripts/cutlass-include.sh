#!/usr/bin/env bash
# Prints the include directory of the pinned CUTLASS/CuTe headers.
set -euo pipefail
python3 - <<'PY'
import importlib.util, os
spec = importlib.util.find_spec("cutlass_library")
print(os.path.join(os.path.dirname(spec.origin), "source", "include"))
PY
