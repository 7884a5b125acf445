#!/bin/sh
# The firtune rc.d script, its %%PREFIX%% filled in as the port does, run
# against the rc.subr stand-in and under the device stand-in, with the real
# firtune doing the loads. Four tables, one per behaviour, one runner.
#   rc_test.sh FIRTUNE SIM_LIBRARY
# Columns: case | action | profiles in etc/firtune | rc.conf lines (;) |
# control node appears after (s, or never) | requests to fail | exit status |
# channels written, in order | text expected (;, "log:" for the syslog
# lines, which must be all there are) | seconds taken (min-max)
# Profiles: a (channel 0), b (channel 1), x (channel 2), nolayout (layout
# file missing), nodevice (no device line); @ETC and @OTHER are their folders.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
firtune=$1 simlib=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/firtune-rc.XXXXXX")
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=verify_asan_link_order=0
failures=0
t=$work/t

profile() { # folder name device channel layout
	{ [ "$3" = - ] || echo "device $3"; echo "what tx_dev"; echo "part 0"; echo "channel $4 $5"; } >"$1/$2.profile"
}

run_case() {
	rm -rf "$t" && mkdir -p "$t/prefix/bin" "$t/prefix/etc/firtune" "$t/other" "$t/dev" "$t/stub"
	ln -s "$firtune" "$t/prefix/bin/firtune"
	sed -e "s|%%PREFIX%%|$t/prefix|g" -e "s|^\. /etc/rc.subr\$|. $top/sim/rc.subr|" \
		"$top/packaging/freebsd/audio/firload/files/firtune.in" >"$t/firtune"
	printf '#!/bin/sh\necho "$*" >>"%s"\n' "$t/log" >"$t/stub/logger" && chmod +x "$t/stub/logger" && : >"$t/log"
	for f in flat bass-boost loudness; do cp "$top/examples/$f.eq" "$t/prefix/etc/firtune/" && cp "$top/examples/$f.eq" "$t/other/"; done
	dev=$t/dev/pcmx.ctl
	for p in $3; do profile "$t/prefix/etc/firtune" "$p" "$dev" "$(echo "$p" | tr ab 01)" "$(echo "$p" | sed 's/a/flat.eq/; s/b/bass-boost.eq/')"; done
	echo "a 0 b 1" >"$t/prefix/etc/firtune/notes.txt"
	profile "$t/other" x "$dev" 2 loudness.eq && profile "$t/other" nolayout "$dev" 0 missing.eq && profile "$t/other" nodevice - 0 flat.eq
	echo "$4" | sed "s|@ETC|$t/prefix/etc/firtune|g; s|@OTHER|$t/other|g" | tr ';' '\n' >"$t/rc.conf"
	bg=""
	case $5 in never) ;; 0) : >"$dev" ;; *) (sleep "$5" && : >"$dev") & bg=$! ;; esac
	start=$(date +%s) status=0
	RC_CONF="$t/rc.conf" PATH="$t/stub:$PATH" "$top/sim/firload-sim" -L "$simlib" -D "$dev" -n 64 -C 4 \
		-j "$t/journal" ${6:+-F "$6"} sh "$t/firtune" "$2" >"$t/out" 2>&1 </dev/null || status=$?
	took=$(($(date +%s) - start))
	[ -z "$bg" ] || { kill "$bg" 2>/dev/null || true; wait "$bg" 2>/dev/null || true; }
	written=$(sed -n 's/.*fir_write .* channel=\([0-9]*\) .*-> loaded$/\1/p' "$t/journal" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')
	bad=""
	[ "$status" = "$7" ] || bad="$bad; exit $status, not $7"
	[ "$written" = "$8" ] || bad="$bad; wrote channels '$written', not '$8'"
	logs=0
	expect=$(echo "$9" | sed "s|@DEV|$dev|g")
	old=$IFS IFS=';'
	for want in $expect; do
		case $want in log:*) logs=$((logs + 1)) && file=$t/log want=${want#log:} ;; *) file=$t/out ;; esac
		grep -qF -- "$want" "$file" || bad="$bad; no '$want'"
	done
	IFS=$old
	[ "$(wc -l <"$t/log")" -eq "$logs" ] || bad="$bad; $(wc -l <"$t/log") syslog lines, not $logs"
	[ "$took" -ge "${10%-*}" ] && [ "$took" -le "${10#*-}" ] || bad="$bad; took $took s, not ${10}"
	if [ -n "$bad" ]; then
		echo "FAIL $1$bad" && sed 's/^/  | /' "$t/out" "$t/log" && failures=$((failures + 1))
	else
		echo "ok   $1"
	fi
}

table() {
	while IFS='|' read -r c a e r n f x w o s; do
		[ -n "$c" ] && run_case "$c" "$a" "$e" "$r" "$n" "$f" "$x" "$w" "$o" "$s"
	done
}

# Which profiles start applies.
table <<'T'
default: every etc profile|start|a b|firtune_enable=YES|0||0|0 1|log:a.profile: applied: channel 0: flat.eq;log:b.profile: applied: channel 1: bass-boost.eq|0-3
list given|start|a b|firtune_enable=YES;firtune_profiles=@OTHER/x.profile|0||0|2|log:x.profile: applied|0-3
list order kept|start|a b|firtune_enable=YES;firtune_profiles="@OTHER/x.profile @ETC/a.profile"|0||0|2 0|log:x.profile: applied;log:a.profile: applied|0-3
pattern in list|start|a b|firtune_enable=YES;firtune_profiles="@ETC/b*.profile"|0||0|1|log:b.profile: applied|0-3
empty folder|start||firtune_enable=YES|0||1||log:no profiles to apply|0-3
not enabled|start|a b|firtune_enable=NO|0||0||Cannot 'start' firtune|0-3
onestart when not enabled|onestart|a|firtune_enable=NO|0||0|0|log:a.profile: applied|0-3
T

# The wait for each profile's control node.
table <<'T'
node there|start|a|firtune_enable=YES;firtune_wait=10|0||0|0|log:a.profile: applied|0-2
node late|start|a|firtune_enable=YES;firtune_wait=6|2||0|0|log:a.profile: applied|2-4
node too late|start|a|firtune_enable=YES;firtune_wait=1|4||1||log:a.profile: failed: @DEV did not appear within 1 s|1-3
node never|start|a b|firtune_enable=YES;firtune_wait=2|never||1||log:a.profile: failed;log:b.profile: failed|4-6
no wait|start|a|firtune_enable=YES;firtune_wait=0|never||1||log:a.profile: failed|0-1
wait not a number|start|a|firtune_enable=YES;firtune_wait=soon|0||1||whole number of seconds|0-1
T

# A failed profile does not keep the next one from loading.
table <<'T'
all load|start|b|firtune_enable=YES;firtune_profiles="@OTHER/x.profile @ETC/b.profile"|0||0|2 1|log:x.profile: applied;log:b.profile: applied|0-3
missing layout first|start|a|firtune_enable=YES;firtune_profiles="@OTHER/nolayout.profile @ETC/a.profile"|0||1|0|log:nolayout.profile: failed (status;log:a.profile: applied|0-3
refused write first|start|a b|firtune_enable=YES;firtune_profiles="@ETC/b.profile @ETC/a.profile"|0|write@1|1|0|log:b.profile: failed (status;log:a.profile: applied|0-3
no such profile|start|a|firtune_enable=YES;firtune_profiles="@OTHER/gone.profile @ETC/a.profile"|0||1|0|log:gone.profile: failed: cannot read;log:a.profile: applied|0-3
no device line|start|a|firtune_enable=YES;firtune_profiles="@OTHER/nodevice.profile @ETC/a.profile"|0||1|0|log:nodevice.profile: failed (status;log:a.profile: applied|0-3
T

# What status shows; it, stop and a disabled service write nothing.
table <<'T'
status|status|a b|firtune_enable=YES|0||0||a.profile: @DEV (present);	channel 0 flat.eq;b.profile: @DEV (present);	channel 1 bass-boost.eq|0-2
status node absent|status|a|firtune_enable=YES|never||0||a.profile: @DEV (absent)|0-2
status unreadable|status|a|firtune_enable=YES;firtune_profiles="@OTHER/gone.profile @ETC/a.profile"|0||1||gone.profile: cannot read the profile;a.profile: @DEV (present)|0-2
status no profiles|status||firtune_enable=YES|0||1||no profiles to apply|0-2
onestatus|onestatus|a|firtune_enable=NO|0||0||a.profile: @DEV (present)|0-2
stop|stop|a|firtune_enable=YES|0||0|||0-2
T

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
