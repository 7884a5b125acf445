#!/bin/sh
# Builds the designer's fuzz target with clang and runs it for a while.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)

cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	-DFIRLOAD_FUZZ=ON -DFIRLOAD_TESTS=OFF -DFIRLOAD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_designer -j "$(nproc 2>/dev/null || echo 2)"

# Seeds: the examples and the layouts of the tests, each at a few lengths
# and rates (three leading bytes: N - 1 low byte, N - 1 high bit and rate).
seeds="$build/seeds"
corpus="$build/corpus"
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus"
i=0
add() {
	for head in '\007\000\001' '\010\000\001' '\377\001\377' '\000\000\000' '\100\200\017'; do
		i=$((i + 1))
		printf "$head" >"$seeds/seed$i"
		printf '%b' "$1" >>"$seeds/seed$i"
	done
}
for f in "$top"/examples/*.eq; do
	add "$(cat "$f")\n"
done
while IFS= read -r line; do
	add "$line"
done <"$top/fuzz/layouts.txt"

"$build/fuzz/fuzz_designer" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
	-rss_limit_mb=4096 -print_final_stats=1 "$corpus" "$seeds"
