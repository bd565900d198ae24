#!/usr/bin/env bash
# Installs what the build needs and is missing; quick when everything is there.
set -euo pipefail

CUTLASS_VERSION=4.2.0.0

need_apt=()
dpkg -s librust-blake3-dev >/dev/null 2>&1 || need_apt+=(librust-blake3-dev)
dpkg -s libboost-context-dev >/dev/null 2>&1 || need_apt+=(libboost-context-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
dpkg -s b3sum >/dev/null 2>&1 || need_apt+=(b3sum)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need_apt+=(clang libclang-rt-14-dev)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

# "pip show" exits 1 for a package that is not installed: that is an answer.
have_cutlass=$( { python3 -m pip show nvidia-cutlass 2>/dev/null || true; } | sed -n 's/^Version: //p')
if [ "$have_cutlass" != "$CUTLASS_VERSION" ]; then
  echo "setup: installing nvidia-cutlass==$CUTLASS_VERSION (headers only)"
  python3 -m pip install -q --no-deps "nvidia-cutlass==$CUTLASS_VERSION"
fi

# The CUDA 12 assembler for the sm_70 images (the installed toolkit no longer
# targets sm_70); kept apart from other Python packages, whose nvidia/ tree
# it would otherwise share.
SM70_PTXAS_VERSION=12.9.86
SM70_PTXAS_PREFIX=/opt/korvath/cuda12-ptxas
if [ "$(cat "$SM70_PTXAS_PREFIX/VERSION" 2>/dev/null)" != "$SM70_PTXAS_VERSION" ]; then
  echo "setup: installing nvidia-cuda-nvcc-cu12==$SM70_PTXAS_VERSION (ptxas for sm_70) into $SM70_PTXAS_PREFIX"
  rm -rf "$SM70_PTXAS_PREFIX"
  python3 -m pip install -q --no-deps --target "$SM70_PTXAS_PREFIX" "nvidia-cuda-nvcc-cu12==$SM70_PTXAS_VERSION"
  chmod +x "$SM70_PTXAS_PREFIX/nvidia/cuda_nvcc/bin/ptxas"
  echo "$SM70_PTXAS_VERSION" > "$SM70_PTXAS_PREFIX/VERSION"
fi
