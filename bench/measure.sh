#!/bin/sh
# firmeasure's figures: the accuracy of a response recovered from
# recordings made by sox's biquads and numpy (tests/measure/recording.py),
# the delay with a loopback channel, the time of a whole --recording run of
# a 5 s sweep at 48 kHz (median of RUNS), and the demo's loop: the default
# simulated room corrected at N = 65536 and measured again.
#   bench/measure.sh BUILD_DIR [RUNS]
set -eu
build=${1:-build}
runs=${2:-11}
top=$(cd "$(dirname "$0")/.." && pwd)
fm="$build/firmeasure"
rec() { /usr/bin/python3 "$top/tests/measure/recording.py" "$@"; }
work=$(mktemp -d "${TMPDIR:-/tmp}/firmeasure-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
chain="highpass 60 0.707q equalizer 1000 2q 6 treble -4 8000"

"$fm" --sweep "$work/sweep.wav" >/dev/null
printf '%-44s %s\n' "case (chain: $chain)" "largest error, 40 Hz to 16 kHz"
accuracy() {
	name=$1 smooth=$2
	shift 2
	rec make "$work/sweep.wav" "$work/rec.wav" "$@"
	if [ "$smooth" = 0 ]; then
		"$fm" --recording "$work/rec.wav" -o "$work/m.txt" >"$work/summary"
		worst=$(rec check "$work/m.txt" --chain "$chain")
	else
		"$fm" --recording "$work/rec.wav" --smooth "1/$smooth" -o "$work/m.txt" >"$work/summary"
		worst=$(rec check "$work/m.txt" --chain "$chain" --smooth "$smooth")
	fi
	printf '%-44s %s dB   (%s)\n' "$name" "$worst" "$(grep -h 'signal-to-noise\|distortion' "$work/summary" | tr '\n' ' ')"
}
accuracy "no noise, unsmoothed" 0 --chain "$chain" --delay 100
accuracy "60 dB SNR, unsmoothed" 0 --chain "$chain" --delay 100 --snr 60
accuracy "20 dB SNR, 1/6 octave" 6 --chain "$chain" --delay 100 --snr 20
accuracy "5 % second harmonic, 60 dB SNR" 0 --chain "$chain" --h2 5 --snr 60

rec make "$work/sweep.wav" "$work/loop.wav" --chain "$chain" --delay 37 --loopback 211 --snr 60
"$fm" --recording "$work/loop.wav" --loopback 1 -o /dev/null | sed -n 's/^delay: /delay with loopback (true: 37 samples): /p'

rec make "$work/sweep.wav" "$work/time.wav" --chain "$chain" --delay 100 --snr 60
i=0
while [ $i -lt "$runs" ]; do
	/usr/bin/time -f '%e %U %S' -o "$work/t.$i" "$fm" --recording "$work/time.wav" -o /dev/null >/dev/null
	i=$((i + 1))
done
# Wall time, and the processor time (user and system), which a loaded
# machine does not stretch.
median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }
wall=$(cat "$work"/t.* | awk '{ print $1 }' | median)
cpu=$(cat "$work"/t.* | awk '{ printf "%.2f\n", $2 + $3 }' | median)
echo "whole --recording run, 5 s sweep at 48 kHz, median of $runs: ${wall} s wall, ${cpu} s processor (bound 0.150 s; load $(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo ?))"

mkdir -p "$work/state"
room() {
	FIRLOAD_SIM_STATE="$work/state" "$top/sim/firload-sim" -L "$build/libfirload_sim.so" \
		-r 48000 -n 65536 -C 2 "$@"
}
room "$fm" -o "$work/room.txt" >/dev/null
room "$build/firdesign" -q -i rew -d /dev/pcmx.ctl --range 50:16000 --max-boost 6 \
	-L "$work/correction.eq" "$work/room.txt"
room "$build/firload" -q -d /dev/pcmx.ctl -f "$work/correction.eq"
room "$fm" --smooth 1/6 -o "$work/after.txt" >/dev/null
awk '!/^\*/ && $1 >= 50 && $1 <= 16000 { d[n++] = $2; s += $2 }
END { m = s / n; w = 0; for (i = 0; i < n; i++) { e = d[i] - m; if (e < 0) e = -e; if (e > w) w = e }
	printf "demo loop, N = 65536: corrected room within %.2f dB of the target (1/6 octave, 50 Hz to 16 kHz)\n", w }' "$work/after.txt"
