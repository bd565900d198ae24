#!/usr/bin/env bash
# Installs what the build needs and is missing; quick when everything is there.
set -euo pipefail

CUTLASS_VERSION=4.2.0.0

need_apt=()
dpkg -s librust-blake3-dev >/dev/null 2>&1 || need_apt+=(librust-blake3-dev)
dpkg -s libboost-context-dev >/dev/null 2>&1 || need_apt+=(libboost-context-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
dpkg -s b3sum >/dev/null 2>&1 || need_apt+=(b3sum)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

have_cutlass=$(python3 -m pip show nvidia-cutlass 2>/dev/null | sed -n 's/^Version: //p')
if [ "$have_cutlass" != "$CUTLASS_VERSION" ]; then
  echo "setup: installing nvidia-cutlass==$CUTLASS_VERSION (headers only)"
  python3 -m pip install -q --no-deps "nvidia-cutlass==$CUTLASS_VERSION"
fi
