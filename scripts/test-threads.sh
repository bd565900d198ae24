#!/usr/bin/env bash
# Builds the threaded tests (pool, gateway, submitter, engine) under
# ThreadSanitizer and runs each binary; a reported race fails the run.
# Usage: scripts/test-threads.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
binaries=(pool_text_test pool_connection_test gateway_client_test submitter_tests engine_tests pool_mining_tests)
# The rows' own pool runs check their kernels' proofs, not threading; under
# ThreadSanitizer their kernels run too slowly for the scripted pool's clock.
declare -A filters=([pool_mining_tests]="-PoolMining.TheHopperRowsSharesVerify:TwoSmPoolMining.*")
cmake --preset host-tsan >/dev/null
cmake --build --preset host-tsan -j "$jobs" --target "${binaries[@]}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
failed=()
for name in "${binaries[@]}"; do
  binary=$(find build/host-tsan/tests -name "$name" -type f -perm -u+x | head -n 1)
  echo "test-threads: $name"
  if ! (cd "$(dirname "$binary")" && "./$name" --gtest_brief=1 --gtest_filter="${filters[$name]:-*}"); then
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-threads: failed: ${failed[*]}" >&2
  exit 1
fi
