#!/bin/sh
# Builds the fuzz targets with clang and runs them for a while: the designer
# for SECONDS, the importers and the report's number formatting for half as
# long each.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)

cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	-DFIRLOAD_FUZZ=ON -DFIRLOAD_TESTS=OFF -DFIRLOAD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_designer fuzz_format fuzz_import -j "$(nproc 2>/dev/null || echo 2)"

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
		# shellcheck disable=SC2059 # the head is octal escapes, meant as the format
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

# Doubles as raw bytes; seeds of the values printf rounds hardest.
mkdir -p "$build/corpus-format"
printf '\000\000\000\000\000\000\300\077' >"$build/corpus-format/0.125"
printf '\232\231\231\231\231\231\271\077' >"$build/corpus-format/0.1"
printf '\000\000\000\000\000\000\370\177' >"$build/corpus-format/nan"
"$build/fuzz/fuzz_format" -max_total_time="$((seconds / 2))" -max_len=64 \
	-print_final_stats=1 "$build/corpus-format"

# Seeds: the example sources, as Equalizer APO (even first byte) or REW
# (odd) at 48 kHz.
mkdir -p "$build/corpus-import" "$build/seeds-import"
for f in "$top"/examples/*.txt; do
	base=$(basename "$f")
	case "$base" in
	rew-measurement*) head='\005' ;;
	*) head='\004' ;;
	esac
	# shellcheck disable=SC2059 # the head is an octal escape, meant as the format
	printf "$head" >"$build/seeds-import/$base"
	cat "$f" >>"$build/seeds-import/$base"
done
"$build/fuzz/fuzz_import" -max_total_time="$((seconds / 2))" -max_len=4096 -timeout=10 \
	-print_final_stats=1 "$build/corpus-import" "$build/seeds-import"
