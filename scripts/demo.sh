#!/bin/sh
# The main job against the device stand-in: design the loudness-style layout
# of examples/, load it into a simulated two-channel part (48 kHz, N = 512),
# then switch that filter off again; show what the device received.
set -eu
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
tool="$build/firload"
sim() { "$top/sim/firload-sim" -L "$build/libfirload_sim.so" -r 48000 -n 512 -C 2 -N "pcmx front" "$@"; }
layout="$top/examples/loudness.eq"
work=$(mktemp -d "${TMPDIR:-/tmp}/firload-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== firload -d /dev/pcmx.ctl -f examples/loudness.eq   (48 kHz, N = 512, 2 channels)"
echo "-- layout:"
cat "$layout"
status=0
sim -j "$work/journal" "$tool" -d /dev/pcmx.ctl -f "$layout" 2>"$work/out" || status=$?
# The tool first reports on the flat filter it starts from; show the report
# on the layout's design, every 16th bin, and the start of its listing.
awk '/^Reloading/ { run++ } run == 2' "$work/out" >"$work/design"
echo "-- design report (every 16th bin of 257):"
grep ' Hz: ' "$work/design" | awk 'NR % 16 == 1'
echo "-- coefficient listing (first 4 and the centre of 512 lines):"
grep ' ms: ' "$work/design" | sed -n '1,4p;256,258p'
echo "-- exit status $status"
echo "-- the device received:"
awk '
/fir_read/ { sub(/.*length=/, ""); n = $0 }
/fir_write/ && /-> loaded/ { loaded++; ch = $0; sub(/.*channel=/, "", ch); sub(/ .*/, "", ch); chans = chans " " ch }
/fir_write/ && /-> fail/ { refused = $0; sub(/.*channel=/, "", refused); sub(/ .*/, "", refused) }
/^coefficient / { taps++; if ($3 != "0x0p+0") nonzero++; tap[loaded, $2] = $3 }
END {
	printf "   filter length N = %d; channels written:%s (%d); channel %s refused, ending the sweep\n", n, chans, loaded, refused
	printf "   taps per channel: %d (%d non-zero), linear phase, delay %d samples = %.3f ms at 48 kHz\n", taps / loaded, nonzero / loaded, n / 2, n / 2 * 1000 / 48000
	same = 1
	for (c = 2; c <= loaded; c++)
		for (k = 0; k < n; k++)
			if (tap[c, k] != tap[1, k])
				same = 0
	if (same)
		print "   every channel holds the same coefficients, bit for bit"
	else
		print "   the channels hold DIFFERENT coefficients"
}' "$work/journal"
echo
echo "== firload -d /dev/pcmx.ctl -o   (switch the filter off)"
status=0
sim -s "$tool" -d /dev/pcmx.ctl -o || status=$?
echo "-- exit status $status"

echo
echo "== firdesign examples/loudness.eq   (48 kHz, N = 4096: no device, nothing loaded)"
mkdir -p "$build/demo"
"$build/firdesign" -r 48000 -n 4096 -P "$build/demo/loudness.svg" "$layout"
"$build/firdesign" -q -r 48000 -n 4096 -P "$build/demo/loudness.png" "$layout"
echo "-- plots: $build/demo/loudness.svg and $build/demo/loudness.png"

echo
echo "== firdesign -L hp.eq examples/headphone-parametric.txt, then firload -f hp.eq"
"$build/firdesign" -q -r 48000 -n 512 -L "$build/demo/headphone-parametric.eq" \
	"$top/examples/headphone-parametric.txt"
echo "-- layout: $(wc -l <"$build/demo/headphone-parametric.eq") breakpoints in $build/demo/headphone-parametric.eq"
status=0
sim -j "$work/journal2" "$tool" -q -d /dev/pcmx.ctl -f "$build/demo/headphone-parametric.eq" || status=$?
echo "-- firload exit status $status; filters written: $(grep -c -- '-> loaded' "$work/journal2")"

echo
echo "== firtune: tune each channel by ear in the browser, against the stand-in"
echo "   $top/sim/firload-sim -L $build/libfirload_sim.so -r 48000 -n 4096 -C 2 -- $build/firtune -d /dev/pcmx.ctl"
echo "   then open the address it prints (http://127.0.0.1:PORT/#TOKEN); Ctrl-C stops it"

echo
echo "== firmeasure: measure the simulated room, correct it, measure again   (N = 65536)"
# The audio stand-in plays into its default room (a speaker rolling off
# below 45 Hz, a room mode at 110 Hz, a dip at 2.5 kHz, a reflection); the
# room hears what firload loaded, kept in a state folder between processes.
mkdir -p "$work/state"
room() {
	"$top/sim/firload-sim" -L "$build/libfirload_sim.so" -S "$work/state" \
		-r 48000 -n 65536 -C 2 -N "pcmx front" "$@"
}
# The largest deviation of a 1/6-octave-smoothed measurement from the
# correction's target (flat, at the mean level) over the corrected range.
deviation() {
	awk -v lo=50 -v hi=16000 '!/^\*/ && $1 >= lo && $1 <= hi { f[n] = $1; d[n++] = $2; s += $2 }
	END { m = s / n; w = 0
		for (i = 0; i < n; i++) { e = d[i] - m; if (e < 0) e = -e; if (e > w) { w = e; at = f[i] } }
		printf "%.2f dB (at %.0f Hz)", w, at }' "$1"
}
room "$build/firmeasure" -o "$work/room.txt"
room "$build/firmeasure" --smooth 1/6 -o "$work/before.txt" >/dev/null
echo "-- correction: firdesign -i rew --range 50:16000 --max-boost 6, loaded by firload"
room "$build/firdesign" -q -i rew -d /dev/pcmx.ctl --range 50:16000 --max-boost 6 \
	-L "$work/correction.eq" "$work/room.txt"
room "$tool" -q -d /dev/pcmx.ctl -f "$work/correction.eq"
room "$build/firmeasure" --smooth 1/6 -o "$work/after.txt" -P "$build/demo/room-after.png" >/dev/null
room "$tool" -q -d /dev/pcmx.ctl -o
echo "-- largest deviation from the target, 1/6 octave, 50 Hz to 16 kHz:"
echo "   before: $(deviation "$work/before.txt")"
echo "   after:  $(deviation "$work/after.txt")"
echo "-- plot of the corrected room: $build/demo/room-after.png"
