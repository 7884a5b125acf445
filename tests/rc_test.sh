#!/bin/sh
# The firtune rc.d script, %%PREFIX%% filled in as the port does, against the
# rc.subr stand-in, under the device stand-in, the real firtune loading.
#   rc_test.sh FIRTUNE SIM_LIBRARY
# Columns: case | action | profiles in etc/firtune | rc.conf lines (;) |
# control node appears after (s, or never) | requests to fail | exit status |
# channels written, in order | text expected (;, "log:" for the syslog
# lines, which must be all there are) | seconds taken (min-max)
# Profiles in @SRC: a (channel 0), b (1), x (2), nolayout (its layout is
# missing), nodevice (no device line); @ETC is PREFIX/etc/firtune.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
firtune=$1 simlib=$2 failures=0
w=$(mktemp -d "${TMPDIR:-/tmp}/firtune-rc.XXXXXX")
trap 'rm -rf "$w"' EXIT
export ASAN_OPTIONS=verify_asan_link_order=0
etc=$w/prefix/etc/firtune dev=$w/pcmx.ctl
mkdir -p "$w/prefix/bin" "$w/src" "$w/stub" && ln -s "$firtune" "$w/prefix/bin/firtune"
sed -e "s|%%PREFIX%%|$w/prefix|g" -e "s|^\. /etc/rc.subr\$|. $top/sim/rc.subr|" \
	"$top/packaging/freebsd/audio/firload/files/firtune.in" >"$w/firtune"
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$w/log" >"$w/stub/logger" && chmod +x "$w/stub/logger"
cp "$top/examples/flat.eq" "$top/examples/bass-boost.eq" "$top/examples/loudness.eq" "$w/src/"
for p in a:0:flat b:1:bass-boost x:2:loudness nolayout:0:missing nodevice:0:flat; do
	IFS=: read -r name ch eq <<-P
	$p
	P
	{ [ "$name" = nodevice ] || echo "device $dev"; printf 'what tx_dev\npart 0\nchannel %s %s.eq\n' "$ch" "$eq"; } >"$w/src/$name.profile"
done

run() {
	rm -rf "$etc" "$dev" && mkdir -p "$etc" && : >"$w/log" && : >"$w/journal" && echo "a 0" >"$etc/notes.txt"
	for p in $3; do cp "$w/src/$p.profile" "$w/src/"*.eq "$etc/"; done
	echo "$4" | sed "s|@ETC|$etc|g; s|@SRC|$w/src|g" | tr ';' '\n' >"$w/rc.conf"
	bg=""
	case $5 in never) ;; 0) : >"$dev" ;; *) (sleep "$5" && : >"$dev") & bg=$! ;; esac
	start=$(date +%s) status=0
	RC_CONF="$w/rc.conf" PATH="$w/stub:$PATH" "$top/sim/firload-sim" -L "$simlib" -D "$dev" -n 64 -C 4 \
		-j "$w/journal" ${6:+-F "$6"} sh "$w/firtune" "$2" >"$w/out" 2>&1 </dev/null || status=$?
	took=$(($(date +%s) - start))
	[ -z "$bg" ] || { kill "$bg" 2>/dev/null || true; wait "$bg" 2>/dev/null || true; }
	written=$(sed -n 's/.*fir_write .* channel=\([0-9]*\) .*-> loaded$/\1/p' "$w/journal" | tr '\n' ' ')
	bad="" logs=0
	[ "$status" = "$7" ] || bad="$bad; exit $status, not $7"
	[ "$written" = "${8:+$8 }" ] || bad="$bad; wrote channels '$written', not '$8'"
	old=$IFS IFS=';'
	for want in $(echo "$9" | sed "s|@DEV|$dev|g"); do
		case $want in log:*) logs=$((logs + 1)) file=$w/log want=${want#log:} ;; *) file=$w/out ;; esac
		grep -qF -- "$want" "$file" || bad="$bad; no '$want'"
	done
	IFS=$old
	[ "$(wc -l <"$w/log")" -eq "$logs" ] || bad="$bad; $(wc -l <"$w/log") syslog lines, not $logs"
	[ "$took" -ge "${10%-*}" ] && [ "$took" -le "${10#*-}" ] || bad="$bad; took $took s, not ${10}"
	[ -z "$bad" ] && echo "ok   $1" && return
	echo "FAIL $1$bad" && sed 's/^/  | /' "$w/out" "$w/log" && failures=$((failures + 1))
}
table() {
	while IFS='|' read -r c a e r n f x o t s; do
		[ -z "$c" ] || run "$c" "$a" "$e" "$r" "$n" "$f" "$x" "$o" "$t" "$s"
	done
}

# Which profiles start applies.
table <<'T'
default: every etc profile|start|a b|firtune_enable=YES|0||0|0 1|log:a.profile: applied: channel 0: flat.eq;log:b.profile: applied: channel 1: bass-boost.eq|0-3
list given|start|a b|firtune_enable=YES;firtune_profiles=@SRC/x.profile|0||0|2|log:x.profile: applied|0-3
list order kept|start|a b|firtune_enable=YES;firtune_profiles="@SRC/x.profile @ETC/a.profile"|0||0|2 0|log:x.profile: applied;log:a.profile: applied|0-3
pattern in list|start|a b|firtune_enable=YES;firtune_profiles="@ETC/b*.profile"|0||0|1|log:b.profile: applied|0-3
empty folder|start||firtune_enable=YES|0||1||log:no profiles to apply|0-3
not enabled|start|a b|firtune_enable=NO|0||0||Cannot 'start' firtune|0-3
onestart when not enabled|onestart|a|firtune_enable=NO|0||0|0|log:a.profile: applied|0-3
T

# The wait for each profile's control node.
table <<'T'
node there|start|a|firtune_enable=YES;firtune_wait=10|0||0|0|log:a.profile: applied|0-2
node late|start|a|firtune_enable=YES;firtune_wait=6|2||0|0|log:a.profile: applied|2-5
node too late|start|a|firtune_enable=YES;firtune_wait=1|4||1||log:a.profile: failed: @DEV did not appear within 1 s|1-4
node never|start|a b|firtune_enable=YES;firtune_wait=2|never||1||log:a.profile: failed;log:b.profile: failed|4-7
no wait|start|a|firtune_enable=YES;firtune_wait=0|never||1||log:a.profile: failed|0-1
wait not a number|start|a|firtune_enable=YES;firtune_wait=soon|0||1||whole number of seconds|0-1
T

# A failed profile does not keep the next one from loading.
table <<'T'
all load|start|b|firtune_enable=YES;firtune_profiles="@SRC/x.profile @ETC/b.profile"|0||0|2 1|log:x.profile: applied;log:b.profile: applied|0-3
missing layout first|start|a|firtune_enable=YES;firtune_profiles="@SRC/nolayout.profile @ETC/a.profile"|0||1|0|log:nolayout.profile: failed (status;log:a.profile: applied|0-3
refused write first|start|a b|firtune_enable=YES;firtune_profiles="@ETC/b.profile @ETC/a.profile"|0|write@1|1|0|log:b.profile: failed (status;log:a.profile: applied|0-3
no such profile|start|a|firtune_enable=YES;firtune_profiles="@SRC/gone.profile @ETC/a.profile"|0||1|0|log:gone.profile: failed: cannot read;log:a.profile: applied|0-3
no device line|start|a|firtune_enable=YES;firtune_profiles="@SRC/nodevice.profile @ETC/a.profile"|0||1|0|log:nodevice.profile: failed (status;log:a.profile: applied|0-3
T

# What status shows; it, stop and a disabled service write nothing.
table <<'T'
status|status|a b|firtune_enable=YES|0||0||a.profile: @DEV (present);	channel 0 flat.eq;b.profile: @DEV (present);	channel 1 bass-boost.eq|0-2
status node absent|status|a|firtune_enable=YES|never||0||a.profile: @DEV (absent)|0-2
status unreadable|status|a|firtune_enable=YES;firtune_profiles="@SRC/gone.profile @ETC/a.profile"|0||1||gone.profile: cannot read the profile;a.profile: @DEV (present)|0-2
status no profiles|status||firtune_enable=YES|0||1||no profiles to apply|0-2
onestatus|onestatus|a|firtune_enable=NO|0||0||a.profile: @DEV (present)|0-2
stop|stop|a|firtune_enable=YES|0||0|||0-2
T

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
