#!/bin/sh
# Builds the fuzz targets with clang and runs them for a while: the designer
# for SECONDS, the importers and the report's number formatting for half as
# long each, firtune's request handler for a tenth.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)

cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	-DFIRLOAD_FUZZ=ON -DFIRLOAD_TESTS=OFF -DFIRLOAD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_designer fuzz_format fuzz_import fuzz_firtune -j "$(nproc 2>/dev/null || echo 2)"

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
	printf "$head" >"$build/seeds-import/$base"
	cat "$f" >>"$build/seeds-import/$base"
done
"$build/fuzz/fuzz_import" -max_total_time="$((seconds / 2))" -max_len=4096 -timeout=10 \
	-print_final_stats=1 "$build/corpus-import" "$build/seeds-import"

# firtune's request handler, for a tenth of the time: seeds of each request
# with every header right (first byte: path; second: headers).
mkdir -p "$build/corpus-firtune" "$build/seeds-firtune"
printf '\000\017{"layout":"60 2\\n150 2\\n"}' >"$build/seeds-firtune/design"
printf '\001\017{"text":"Filter 1: ON PK Fc 100 Hz Gain 3 dB Q 1","format":null}' \
	>"$build/seeds-firtune/import"
printf '\002\017{"channels":[0],"layout":"100 2"}' >"$build/seeds-firtune/load"
printf '\045\017{"channels":{"0":"100 2"}}' >"$build/seeds-firtune/profile"
printf '\200\017/api/../index.html\n' >"$build/seeds-firtune/path"
"$build/fuzz/fuzz_firtune" -max_total_time="$((seconds / 10 + 1))" -max_len=4096 -timeout=30 \
	-print_final_stats=1 "$build/corpus-firtune" "$build/seeds-firtune"
