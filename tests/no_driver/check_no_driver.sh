#!/usr/bin/env bash
# Runs the cuda-flavour binary where no CUDA driver is installed: help, version
# and validation work; anything that needs the device ends with status 1 and
# the CUDA error text.
set -u
korvath=$1
if ldconfig -p 2>/dev/null | grep -q 'libcuda\.so\.1'; then
  echo "a CUDA driver is installed here; nothing to check"
  exit 77
fi
failures=0
expect() {  # expect <status> <stdout|stderr> <text> -- args...
  local want=$1 stream=$2 text=$3; shift 4
  "$korvath" "$@" >/tmp/no_driver.out.$$ 2>/tmp/no_driver.err.$$
  local got=$?
  local file=/tmp/no_driver.out.$$
  [ "$stream" = stderr ] && file=/tmp/no_driver.err.$$
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" "$file"; then
    echo "FAILED: korvath $* -> status $got (want $want), $stream lacks: $text"
    sed 's/^/  | /' /tmp/no_driver.out.$$ /tmp/no_driver.err.$$
    failures=$((failures + 1))
  fi
}
expect 0 stdout "usage: korvath" -- help
expect 0 stdout "korvath 1.7.6" -- --version
expect 2 stderr 'component=cli error=' -- --pool example.org --address nonsense
expect 1 stderr 'error="cudaGetDeviceCount failed: ' -- --list-devices
expect 1 stderr 'error="cudaGetDeviceCount failed: ' -- --dry-run
expect 1 stderr 'error="cuInit: ' -- --dry-run --devices 0
rm -f /tmp/no_driver.out.$$ /tmp/no_driver.err.$$
[ "$failures" -eq 0 ] && echo "no-driver checks passed"
exit $((failures > 0))
