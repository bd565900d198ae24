#!/usr/bin/env bash
# Runs scripts/setup.sh against stand-ins for dpkg, apt-get and python3 -m pip
# that report a chosen machine state and record what they are asked to
# install, so the outcome never depends on what this machine has.
# Usage: setup_test.sh <setup script>
set -uo pipefail

SCRIPT=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

# The few real tools the scripts under test use; nothing else is on PATH.
TOOLS=$WORK/tools
mkdir -p "$TOOLS"
for t in bash sh cat sed grep rm chmod mkdir env tr head sort dirname; do
  ln -s "$(command -v "$t")" "$TOOLS/$t"
done

# Stand-ins. State lives in $STUB: debs (installed Debian packages), pips
# (name==version), requests (what was asked), fail (a request text that fails).
write_stubs() {
  local bin=$1
  mkdir -p "$bin"
  cat >"$bin/dpkg" <<'EOF'
#!/bin/bash
[ "$1" = "-s" ] || { echo "dpkg stand-in: unexpected $*" >&2; exit 2; }
if grep -qx -- "$2" "$STUB/debs"; then
  printf 'Package: %s\nStatus: install ok installed\nVersion: 1.0\n' "$2"
  exit 0
fi
echo "dpkg-query: package '$2' is not installed and no information is available" >&2
exit 1
EOF
  cat >"$bin/apt-get" <<'EOF'
#!/bin/bash
fails() { grep -qxF -- "$1" "$STUB/fail" 2>/dev/null; }
case $1 in
  update)
    echo "apt-get update" >>"$STUB/requests"
    fails "apt-get update" && exit 100
    exit 0 ;;
  install)
    shift
    for p in "$@"; do
      case $p in -*) continue ;; esac
      echo "apt-get install $p" >>"$STUB/requests"
      fails "apt-get install $p" && exit 100
    done
    for p in "$@"; do
      case $p in
        -*) ;;
        cmake | make | g++) printf '#!/bin/bash\n' >"$STUB/bin/$p"; chmod +x "$STUB/bin/$p" ;;
        python3-pip) rm -f "$STUB/nopip" ;;
        *) echo "$p" >>"$STUB/debs" ;;
      esac
    done
    exit 0 ;;
esac
echo "apt-get stand-in: unexpected $*" >&2
exit 2
EOF
  cat >"$bin/python3" <<'EOF'
#!/bin/bash
fails() { grep -qxF -- "$1" "$STUB/fail" 2>/dev/null; }
[ "$1 $2" = "-m pip" ] || { echo "python3 stand-in: unexpected $*" >&2; exit 2; }
[ -e "$STUB/nopip" ] && { echo "No module named pip" >&2; exit 1; }
shift 2
case $1 in
  --version) echo "pip 23.2.1"; exit 0 ;;
  show)
    v=$(sed -n "s/^$2==//p" "$STUB/pips")
    if [ -z "$v" ]; then echo "WARNING: Package(s) not found: $2" >&2; exit 1; fi
    printf 'Name: %s\nVersion: %s\nSummary: x\n' "$2" "$v"
    exit 0 ;;
  install)
    shift
    target="" nodeps=0 reqs=()
    while [ $# -gt 0 ]; do
      case $1 in
        --target) target=$2; shift ;;
        --no-deps) nodeps=1 ;;
        -q) ;;
        -*) echo "python3 stand-in: unexpected option $1" >&2; exit 2 ;;
        *) reqs+=("$1") ;;
      esac
      shift
    done
    [ "$nodeps" = 1 ] || { echo "python3 stand-in: install without --no-deps" >&2; exit 2; }
    for r in "${reqs[@]}"; do
      echo "pip install $r${target:+ into $target}" >>"$STUB/requests"
      fails "pip install $r" && exit 1
    done
    for r in "${reqs[@]}"; do
      if [ -z "$target" ]; then
        sed -i "/^${r%%==*}==/d" "$STUB/pips"
        echo "$r" >>"$STUB/pips"
        continue
      fi
      case ${r%%==*} in
        nvidia-cuda-nvcc-cu12) f=nvidia/cuda_nvcc/bin/ptxas ;;
        nvidia-cuda-cuobjdump) f=nvidia/cu13/bin/cuobjdump ;;
        nvidia-cuda-nvdisasm) f=nvidia/cu13/bin/nvdisasm ;;
        *) continue ;;
      esac
      mkdir -p "$target/$(dirname "$f")"
      printf 'binary\n' >"$target/$f"  # wheels do not keep the executable bit
    done
    exit 0 ;;
esac
echo "python3 stand-in: unexpected pip $*" >&2
exit 2
EOF
  chmod +x "$bin/dpkg" "$bin/apt-get" "$bin/python3"
}

ALL_DEBS="librust-blake3-dev libboost-context-dev libgtest-dev b3sum clang libclang-rt-14-dev"

# new_machine NAME: a machine with nothing installed.
new_machine() {
  export STUB=$WORK/$1
  mkdir -p "$STUB"
  : >"$STUB/debs"
  : >"$STUB/pips"
  : >"$STUB/requests"
  : >"$STUB/fail"
  write_stubs "$STUB/bin"
  export KORVATH_SM70_PTXAS_PREFIX=$STUB/opt/cuda12-ptxas
  export KORVATH_DISASM_PREFIX=$STUB/opt/cuda-disasm
}

# install_prefix PREFIX VERSION FILES...: a prefix as a finished install leaves it.
install_prefix() {
  local prefix=$1 version=$2 f
  shift 2
  for f in "$@"; do
    mkdir -p "$prefix/$(dirname "$f")"
    printf 'binary\n' >"$prefix/$f"
    chmod +x "$prefix/$f"
  done
  echo "$version" >"$prefix/VERSION"
}

# everything_installed CUTLASS PTXAS DISASM: every dependency, at the given versions.
everything_installed() {
  local p
  for p in $ALL_DEBS; do echo "$p" >>"$STUB/debs"; done
  for p in cmake make g++; do
    printf '#!/bin/bash\n' >"$STUB/bin/$p"
    chmod +x "$STUB/bin/$p"
  done
  echo "nvidia-cutlass==$1" >"$STUB/pips"
  install_prefix "$KORVATH_SM70_PTXAS_PREFIX" "$2" nvidia/cuda_nvcc/bin/ptxas
  install_prefix "$KORVATH_DISASM_PREFIX" "$3" nvidia/cu13/bin/cuobjdump nvidia/cu13/bin/nvdisasm
}

run_setup() {
  : >"$STUB/requests"
  PATH="$STUB/bin:$TOOLS" bash "$SCRIPT" >"$STUB/out" 2>"$STUB/err"
  echo $? >"$STUB/status"
}

problem() {
  echo "FAIL [$CASE]: $*" >&2
  echo "  requests:" >&2
  sed 's/^/    /' "$STUB/requests" >&2
  echo "  stdout:" >&2
  sed 's/^/    /' "$STUB/out" >&2
  echo "  stderr:" >&2
  sed 's/^/    /' "$STUB/err" >&2
  failures=$((failures + 1))
}

expect_status() {
  local got
  got=$(cat "$STUB/status")
  case $1 in
    0) [ "$got" = 0 ] || problem "exit status $got, expected 0" ;;
    nonzero) [ "$got" != 0 ] || problem "exit status 0, expected a failure" ;;
  esac
}

# expect_requests LINE...: exactly these requests, in any order.
expect_requests() {
  local want got
  want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
  got=$(sort "$STUB/requests")
  [ "$want" = "$got" ] || problem "requests differ; expected:
$(printf '    %s\n' "$@")"
}

expect_stderr() {
  grep -qF -- "$1" "$STUB/err" || problem "stderr lacks: $1"
}

expect_installed_prefix() {
  local prefix=$1 version=$2 f
  shift 2
  [ "$(cat "$prefix/VERSION" 2>/dev/null)" = "$version" ] || problem "$prefix/VERSION is not $version"
  for f in "$@"; do
    [ -x "$prefix/$f" ] || problem "$prefix/$f is not executable"
  done
}

CUTLASS=4.2.0.0
PTXAS=12.9.86
DISASM=13.2.86
PTXAS_BIN=nvidia/cuda_nvcc/bin/ptxas
DISASM_BINS="nvidia/cu13/bin/cuobjdump nvidia/cu13/bin/nvdisasm"

ptxas_request() { echo "pip install nvidia-cuda-nvcc-cu12==$PTXAS into $KORVATH_SM70_PTXAS_PREFIX"; }
disasm_requests() {
  echo "pip install nvidia-cuda-cuobjdump==$DISASM into $KORVATH_DISASM_PREFIX"
  echo "pip install nvidia-cuda-nvdisasm==$DISASM into $KORVATH_DISASM_PREFIX"
}
everything_requests() {
  echo "apt-get update"
  local p
  for p in $ALL_DEBS cmake make g++; do echo "apt-get install $p"; done
  echo "pip install nvidia-cutlass==$CUTLASS"
  ptxas_request
  disasm_requests
}

# A bare machine: everything is asked for, the prefixes end up complete, and a
# second run on the machine this left asks for nothing.
CASE="bare machine"
new_machine bare
run_setup
expect_status 0
mapfile -t want < <(everything_requests)
expect_requests "${want[@]}"
expect_installed_prefix "$KORVATH_SM70_PTXAS_PREFIX" "$PTXAS" "$PTXAS_BIN"
# shellcheck disable=SC2086
expect_installed_prefix "$KORVATH_DISASM_PREFIX" "$DISASM" $DISASM_BINS
CASE="bare machine, second run"
run_setup
expect_status 0
expect_requests

CASE="everything installed"
new_machine complete
everything_installed "$CUTLASS" "$PTXAS" "$DISASM"
run_setup
expect_status 0
expect_requests

CASE="python3 without pip"
new_machine nopip
everything_installed "$CUTLASS" "$PTXAS" "$DISASM"
: >"$STUB/nopip"
run_setup
expect_status 0
expect_requests "apt-get update" "apt-get install python3-pip"

# Older pins: exactly that one package is installed again.
while IFS='|' read -r name cutlass ptxas disasm expected; do
  CASE="older pin: $name"
  new_machine "old-$name"
  everything_installed "$cutlass" "$ptxas" "$disasm"
  run_setup
  expect_status 0
  mapfile -t want < <(eval "$expected")
  expect_requests "${want[@]}"
done <<EOF
cutlass|4.1.0.0|$PTXAS|$DISASM|echo "pip install nvidia-cutlass==$CUTLASS"
ptxas|$CUTLASS|12.8.93|$DISASM|ptxas_request
disasm|$CUTLASS|$PTXAS|13.0.48|disasm_requests
EOF

# A prefix whose VERSION is current but whose program is gone is reinstalled.
CASE="ptxas missing under a current VERSION"
new_machine noptxas
everything_installed "$CUTLASS" "$PTXAS" "$DISASM"
rm "$KORVATH_SM70_PTXAS_PREFIX/$PTXAS_BIN"
run_setup
expect_status 0
mapfile -t want < <(ptxas_request)
expect_requests "${want[@]}"
expect_installed_prefix "$KORVATH_SM70_PTXAS_PREFIX" "$PTXAS" "$PTXAS_BIN"

# A failing install step ends the script with a message naming the step.
while IFS='|' read -r failing step; do
  CASE="failing: $failing"
  new_machine "fail-${failing// /-}"
  echo "$failing" >"$STUB/fail"
  run_setup
  expect_status nonzero
  expect_stderr "setup: step \"$step"
done <<EOF
apt-get update|apt-get update
apt-get install libgtest-dev|apt-get install
pip install nvidia-cutlass==$CUTLASS|pip install nvidia-cutlass==$CUTLASS
pip install nvidia-cuda-nvcc-cu12==$PTXAS|pip install nvidia-cuda-nvcc-cu12==$PTXAS
pip install nvidia-cuda-nvdisasm==$DISASM|pip install nvidia-cuda-cuobjdump==$DISASM nvidia-cuda-nvdisasm==$DISASM
EOF

# A failed prefix install records no version, so the next run tries again.
CASE="failed disasm install, second run"
echo "pip install nvidia-cuda-nvdisasm==$DISASM" >"$STUB/fail"
run_setup
expect_status nonzero
: >"$STUB/fail"
run_setup
expect_status 0
mapfile -t want < <(disasm_requests)
expect_requests "${want[@]}"
# shellcheck disable=SC2086
expect_installed_prefix "$KORVATH_DISASM_PREFIX" "$DISASM" $DISASM_BINS

if [ "$failures" -ne 0 ]; then
  echo "$failures setup check(s) failed" >&2
  exit 1
fi
echo "setup checks passed"
