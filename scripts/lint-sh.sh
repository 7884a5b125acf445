#!/bin/sh
# Every shell script of the tree through shellcheck, and the POSIX sh ones
# through sh -n as well.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
posix="scripts/*.sh bench/measure.sh sim/firload-sim sim/rc.subr tests/*.sh packaging/freebsd/audio/firload/files/firtune.in"
others="bench/compare.sh .ci/run"
status=0
# shellcheck disable=SC2086
shellcheck $posix $others || status=1
# shellcheck disable=SC2086
for f in $posix; do
	sh -n "$f" || status=1
done
# shellcheck disable=SC2086
for f in $others; do
	bash -n "$f" || status=1
done
# shellcheck disable=SC2086
set -- $posix $others
[ $status = 0 ] && echo "lint-sh: $# scripts clean"
exit $status
