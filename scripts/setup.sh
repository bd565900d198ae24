#!/usr/bin/env bash
# Installs what the build needs and is missing; quick when everything is there.
# Every probe treats "not installed" as an answer; every install step that
# fails ends the script with a line naming the step.
set -euo pipefail

CUTLASS_VERSION=4.2.0.0

# The CUDA 12 assembler for the sm_70 images (the installed toolkit no longer
# targets sm_70); kept apart from other Python packages, whose nvidia/ tree
# it would otherwise share.
SM70_PTXAS_VERSION=12.9.86
SM70_PTXAS_PREFIX=${KORVATH_SM70_PTXAS_PREFIX:-/opt/korvath/cuda12-ptxas}

# cuobjdump and nvdisasm for the kernel report, kept apart for the same reason.
DISASM_VERSION=13.2.86
DISASM_PREFIX=${KORVATH_DISASM_PREFIX:-/opt/korvath/cuda-disasm}

fail() {
  echo "setup: $*" >&2
  exit 1
}

# step NAME COMMAND...: runs COMMAND; a failure ends the script naming NAME.
step() {
  local name=$1 status=0
  shift
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    fail "step \"$name\" failed (exit status $status)"
  fi
}

# Whether dpkg knows the package as installed (not merely configured or removed).
deb_installed() {
  local out
  out=$(dpkg -s "$1" 2>/dev/null) || return 1
  case $'\n'"$out" in
    *$'\nStatus: install ok installed'*) return 0 ;;
  esac
  return 1
}

# The installed version of a PyPI package, or nothing.
pip_version() {
  local out line
  out=$(python3 -m pip show "$1" 2>/dev/null) || return 0
  while IFS= read -r line; do
    case $line in
      "Version: "*) echo "${line#Version: }"; return 0 ;;
    esac
  done <<<"$out"
}

# The version a prefix install recorded, or nothing when a file it must hold is missing.
prefix_version() {
  local prefix=$1 version=""
  shift
  local f
  for f in "$@"; do
    [ -x "$prefix/$f" ] || return 0
  done
  if [ -r "$prefix/VERSION" ]; then
    IFS= read -r version <"$prefix/VERSION" || true
  fi
  echo "$version"
}

# prefix_install PREFIX VERSION "REQUIREMENTS" EXECUTABLES...: a fresh
# pip --target install; VERSION is written last, so an interrupted install
# is redone by the next run.
prefix_install() {
  local prefix=$1 version=$2 requirements=$3
  shift 3
  case $prefix in
    "" | / | /opt | /opt/ | /usr | /usr/*) fail "refusing to install into '$prefix'" ;;
  esac
  local -a reqs
  read -r -a reqs <<<"$requirements"
  echo "setup: installing ${reqs[*]} into $prefix"
  step "remove old $prefix" rm -rf "$prefix"
  step "pip install ${reqs[*]}" python3 -m pip install -q --no-deps --target "$prefix" "${reqs[@]}"
  local f
  for f in "$@"; do
    [ -f "$prefix/$f" ] || fail "step \"pip install ${reqs[*]}\" left no $prefix/$f"
    step "chmod +x $prefix/$f" chmod +x "$prefix/$f"
  done
  echo "$version" >"$prefix/VERSION" || fail "step \"record $prefix/VERSION\" failed"
}

# Debian packages.
need_apt=()
for pkg in librust-blake3-dev libboost-context-dev libgtest-dev b3sum clang libclang-rt-14-dev; do
  deb_installed "$pkg" || need_apt+=("$pkg")
done
# The presets generate Makefiles.
for tool in cmake make g++; do
  command -v "$tool" >/dev/null 2>&1 || need_apt+=("$tool")
done
if ! command -v python3 >/dev/null 2>&1; then
  need_apt+=(python3 python3-pip)
elif ! python3 -m pip --version >/dev/null 2>&1; then
  need_apt+=(python3-pip)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  step "apt-get update" apt-get update -qq
  step "apt-get install ${need_apt[*]}" apt-get install -y -qq "${need_apt[@]}"
fi

# PyPI packages.
if [ "$(pip_version nvidia-cutlass)" != "$CUTLASS_VERSION" ]; then
  echo "setup: installing nvidia-cutlass==$CUTLASS_VERSION (headers only)"
  step "pip install nvidia-cutlass==$CUTLASS_VERSION" \
    python3 -m pip install -q --no-deps "nvidia-cutlass==$CUTLASS_VERSION"
fi

ptxas=nvidia/cuda_nvcc/bin/ptxas
if [ "$(prefix_version "$SM70_PTXAS_PREFIX" "$ptxas")" != "$SM70_PTXAS_VERSION" ]; then
  prefix_install "$SM70_PTXAS_PREFIX" "$SM70_PTXAS_VERSION" \
    "nvidia-cuda-nvcc-cu12==$SM70_PTXAS_VERSION" "$ptxas"
fi

cuobjdump=nvidia/cu13/bin/cuobjdump
nvdisasm=nvidia/cu13/bin/nvdisasm
if [ "$(prefix_version "$DISASM_PREFIX" "$cuobjdump" "$nvdisasm")" != "$DISASM_VERSION" ]; then
  prefix_install "$DISASM_PREFIX" "$DISASM_VERSION" \
    "nvidia-cuda-cuobjdump==$DISASM_VERSION nvidia-cuda-nvdisasm==$DISASM_VERSION" "$cuobjdump" "$nvdisasm"
fi
