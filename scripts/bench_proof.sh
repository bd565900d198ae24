#!/usr/bin/env bash
# Times the CPU proof builder (korvath --proof-bench, default shape: A and B of
# 512 MiB each, every tree hashed once) against single-threaded keyed BLAKE3
# (b3sum --keyed --num-threads 1) over a file of the same 1 GiB, holding the
# same bytes as A followed by B, and prints the ratio. Each side runs a few
# times and its best time counts, so the page cache and CPU clocks are warm.
#
# usage: scripts/bench_proof.sh [path/to/korvath] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
korvath=${1:-build/host/korvath}
runs=${2:-3}
command -v b3sum >/dev/null || { echo "b3sum is not installed" >&2; exit 1; }
[ -x "$korvath" ] || { echo "no korvath binary at $korvath" >&2; exit 1; }

m=131072 n=131072 k=4096
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work/ab.bin" "$m" "$n" "$k" <<'PY'
import sys
path, m, n, k = sys.argv[1], *map(int, sys.argv[2:])
def matrix(step, size):
    # element i is (step * i mod 127) - 63, as the proof bench fills A (step 1) and B (step 3)
    period = bytes(((step * i) % 127 - 63) & 0xFF for i in range(127))
    return (period * (size // 127 + 1))[:size]
with open(path, "wb") as out:
    out.write(matrix(1, m * k))
    out.write(matrix(3, n * k))
PY
printf 'proof-bench-key-0123456789abcdef' > "$work/key"  # any 32 bytes

best() { sort -g | head -1; }
korvath_times=() b3sum_times=()
for _ in $(seq "$runs"); do
  report=$("$korvath" --proof-bench --m "$m" --n "$n" --k "$k" | grep '^proof_bench raw_bytes=')
  korvath_times+=("$(sed -E 's/.* build_seconds=([^ ]+).*/\1/' <<<"$report")")
  start=$(date +%s.%N)
  b3sum --keyed --num-threads 1 --no-names "$work/ab.bin" < "$work/key" >/dev/null
  end=$(date +%s.%N)
  b3sum_times+=("$(python3 -c "print($end - $start)")")
done
korvath_best=$(printf '%s\n' "${korvath_times[@]}" | best)
b3sum_best=$(printf '%s\n' "${b3sum_times[@]}" | best)
echo "$report"
echo "korvath_build_seconds=${korvath_best} (runs: ${korvath_times[*]})"
echo "b3sum_keyed_1thread_seconds=${b3sum_best} (runs: ${b3sum_times[*]})"
python3 -c "import sys; r=float(sys.argv[1])/float(sys.argv[2]); print(f'ratio={r:.3f} (bar: 1.25) {\"ok\" if r <= 1.25 else \"SLOWER THAN THE BAR\"}')" \
  "$korvath_best" "$b3sum_best"
