#!/usr/bin/env bash
# Whole runs side by side, alternating, median of several, report to a file:
#  - firload against a floor: the firload of revision $floor_rev (report
#    through fprintf) built with FFTW_ESTIMATE plans;
#  - firdesign writing a PNG plot, a CSV table and f64 taps against
#    firload's own run at the same length and layout;
#  - the same firdesign run with --phase minimum against its linear one.
# Usage: bench/compare.sh [BUILD_DIR [RUNS]]
set -euo pipefail
build=${1:-build}
runs=${2:-7}
top=$(cd "$(dirname "$0")/.." && pwd)
floor_rev=4842216
floor="$build/floor"
layout="$top/examples/loudness.eq"
work=$(mktemp -d "${TMPDIR:-/tmp}/firload-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ ! -x "$floor/build/firload" ]; then
	rm -rf "$floor/src"
	mkdir -p "$floor/src"
	git -C "$top" archive "$floor_rev" | tar -x -C "$floor/src"
	sed -i.orig 's/FFTW_MEASURE/FFTW_ESTIMATE/' "$floor/src/designer/eq.cpp"
	cmake -S "$floor/src" -B "$floor/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build "$floor/build" --target firload -j 2 >/dev/null
fi

sim() {
	env LD_PRELOAD="$build/libfirload_sim.so" FIRLOAD_SIM_LENGTH="$1" FIRLOAD_SIM_CHANNELS=2 \
		"${@:2}"
}

# Seconds of one run of the command.
timed() {
	local start=$EPOCHREALTIME
	"$@" >"$work/out" 2>"$work/err" || true
	local end=$EPOCHREALTIME
	echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Alternates a and b RUNS times; prints "median_a median_b".
side_by_side() {
	local n=$1 a=$2 b=$3 i
	: >"$work/a"
	: >"$work/b"
	for ((i = 0; i < runs; i++)); do
		eval "timed $a" >>"$work/a"
		eval "timed $b" >>"$work/b"
	done
	echo "$(median <"$work/a") $(median <"$work/b")"
}

load="-d /dev/pcmx.ctl -f $layout"
echo "firload against the floor (seconds, median of $runs; report to a file)"
printf '%10s %10s %10s %7s\n' N firload floor ratio
for n in 512 4096 65536 1000003 1048576; do
	read -r mine base < <(side_by_side "$n" "sim $n $build/firload $load" \
		"sim $n $floor/build/firload $load")
	printf '%10s %10s %10s %7.2f\n' "$n" "$mine" "$base" "$(echo "$mine $base" | awk '{ print $1 / $2 }')"
done

echo
echo "firdesign -P x.png -R x.csv -T x.f64 against firload's whole run (seconds)"
printf '%10s %10s %10s %7s\n' N firdesign firload ratio
for n in 65536 1048576; do
	outs="-P $work/x.png -R $work/x.csv -T $work/x.f64"
	read -r mine base < <(side_by_side "$n" "$build/firdesign -q -r 48000 -n $n $outs $layout" \
		"sim $n $build/firload $load")
	printf '%10s %10s %10s %7.2f\n' "$n" "$mine" "$base" "$(echo "$mine $base" | awk '{ print $1 / $2 }')"
done

echo
echo "firdesign --phase minimum against its linear run, same outputs (seconds)"
printf '%10s %10s %10s %7s\n' N minimum linear ratio
for n in 65536 1048576; do
	outs="-P $work/x.png -R $work/x.csv -T $work/x.f64"
	read -r mine base < <(side_by_side "$n" \
		"$build/firdesign -q -r 48000 -n $n --phase minimum $outs $layout" \
		"$build/firdesign -q -r 48000 -n $n $outs $layout")
	printf '%10s %10s %10s %7.2f\n' "$n" "$mine" "$base" "$(echo "$mine $base" | awk '{ print $1 / $2 }')"
done
