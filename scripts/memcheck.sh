#!/bin/sh
# valgrind memcheck over the tool's main paths under the device stand-in:
# no memory errors and no definite leaks, or this fails.
# Usage: scripts/memcheck.sh BUILD_DIR
set -eu
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
tool="$build/firload"
log=$(mktemp "${TMPDIR:-/tmp}/firload-memcheck.XXXXXX")
trap 'rm -f "$log"' EXIT

failed=0
check() {
	name=$1 want=$2 input=$3
	shift 3
	status=0
	env LD_PRELOAD="$build/libfirload_sim.so" FIRLOAD_SIM_LENGTH=256 \
		valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
		--log-file="$log" "$tool" "$@" <"$input" 2>/dev/null || status=$?
	if [ "$status" = "$want" ] && [ ! -s "$log" ]; then
		echo "memcheck $name: ok"
	else
		echo "memcheck $name: FAILED (status $status, expected $want)"
		cat "$log"
		failed=1
	fi
}

check load 0 /dev/null -d /dev/pcmx.ctl -f "$top/examples/loudness.eq"
check load-normalized 0 /dev/null -d /dev/pcmx.ctl -f "$top/examples/normalized-treble.eq"
check disable 0 /dev/null -d /dev/pcmx.ctl -o
check standard-input 0 "$top/examples/bass-boost.eq" -d /dev/pcmx.ctl
check parse-error 70 "$top/fuzz/layouts.txt" -d /dev/pcmx.ctl
check usage 64 /dev/null -d /dev/pcmx.ctl -c 0

# firdesign: design, table, taps, an SVG plot and an import. (PNG and PDF
# go through cairo and fontconfig, whose caches valgrind counts as lost.)
out=$(mktemp -d "${TMPDIR:-/tmp}/firload-memcheck.XXXXXX")
trap 'rm -f "$log"; rm -rf "$out"' EXIT
tool="$build/firdesign"
printf 'Preamp: -1 dB\nFilter 1: ON XX Fc 100 Hz\n' >"$out/bad.txt"
check design 0 "$top/examples/loudness.eq" -q -n 256 -R "$out/r.csv" -T "$out/t.wav" -P "$out/p.svg"
check design-device 0 "$top/examples/loudness.eq" -q -d /dev/pcmx.ctl -L "$out/l.eq"
check import-eqapo 0 /dev/null -q -n 256 "$top/examples/headphone-parametric.txt"
check import-rew 0 /dev/null -q -n 256 "$top/examples/rew-measurement.txt"
check import-refused 65 /dev/null "$out/bad.txt"

# firtune --apply: a profile of two channels, and one that names a missing
# layout.
tool="$build/firtune"
printf 'device /dev/pcmx.ctl\nchannel 0 %s\nchannel 1 %s\n' "$top/examples/loudness.eq" \
	"$top/examples/bass-boost.eq" >"$out/room.profile"
printf 'device /dev/pcmx.ctl\nchannel 0 gone.eq\n' >"$out/gone.profile"
check apply 0 /dev/null --apply "$out/room.profile"
check apply-refused 65 /dev/null --apply "$out/gone.profile"
exit $failed
