#!/bin/sh
# Builds the fuzz targets with clang and runs each of them in turn, SECONDS
# in all, split evenly among the targets (at least a second each).
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)

# Every target this script runs; the time is split over this list.
targets="fuzz_designer fuzz_format fuzz_readers fuzz_import fuzz_firtune"
count=$(echo "$targets" | wc -w)
share=$((seconds / count))
if [ "$share" -lt 1 ]; then
	share=1
fi

cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	-DFIRLOAD_FUZZ=ON -DFIRLOAD_TESTS=OFF -DFIRLOAD_BENCH=OFF >/dev/null
# shellcheck disable=SC2086 # the list is split on purpose
cmake --build "$build" --target $targets -j "$(nproc 2>/dev/null || echo 2)"

# One target for its share of the time: run TARGET [libFuzzer arguments].
run() {
	target=$1
	shift
	"$build/fuzz/$target" -max_total_time="$share" -print_final_stats=1 "$@"
}

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

run fuzz_designer -max_len=8192 -timeout=10 -rss_limit_mb=4096 "$corpus" "$seeds"

# Doubles as raw bytes; seeds of the values printf rounds hardest.
mkdir -p "$build/corpus-format"
printf '\000\000\000\000\000\000\300\077' >"$build/corpus-format/0.125"
printf '\232\231\231\231\231\231\271\077' >"$build/corpus-format/0.1"
printf '\000\000\000\000\000\000\370\177' >"$build/corpus-format/nan"
run fuzz_format -max_len=64 "$build/corpus-format"

# The readers alone. Seeds: the example sources at 48 kHz, the first byte
# picking the reader: Equalizer APO (0), a REW measurement (1), a target
# curve (2) or a layout in dB (3).
mkdir -p "$build/corpus-readers" "$build/seeds-readers"
for f in "$top"/examples/*.txt "$top"/examples/*.db; do
	base=$(basename "$f")
	case "$base" in
	rew-measurement*) heads='\011' ;;
	*.db) heads='\012 \013' ;;
	*) heads='\010' ;;
	esac
	n=0
	for head in $heads; do
		n=$((n + 1))
		# shellcheck disable=SC2059 # the head is an octal escape, meant as the format
		printf "$head" >"$build/seeds-readers/$base.$n"
		cat "$f" >>"$build/seeds-readers/$base.$n"
	done
done
run fuzz_readers -max_len=4096 -timeout=10 "$build/corpus-readers" "$build/seeds-readers"

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
run fuzz_import -max_len=4096 -timeout=10 "$build/corpus-import" "$build/seeds-import"

# firtune's request handler: seeds of each request
# with every header right (first byte: path; second: headers).
mkdir -p "$build/corpus-firtune" "$build/seeds-firtune"
printf '\000\017{"layout":"60 2\\n150 2\\n"}' >"$build/seeds-firtune/design"
printf '\001\017{"text":"Filter 1: ON PK Fc 100 Hz Gain 3 dB Q 1","format":null}' \
	>"$build/seeds-firtune/import"
printf '\002\017{"channels":[0],"layout":"100 2"}' >"$build/seeds-firtune/load"
printf '\045\017{"channels":{"0":"100 2"}}' >"$build/seeds-firtune/profile"
printf '\200\017/api/../index.html\n' >"$build/seeds-firtune/path"
run fuzz_firtune -max_len=4096 -timeout=30 "$build/corpus-firtune" "$build/seeds-firtune"
