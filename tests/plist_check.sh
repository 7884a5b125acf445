#!/bin/sh
# The port's pkg-plist against what "cmake --install" puts in a staging tree,
# so the two cannot drift apart. The tree is read as the ports framework
# stages it: manual pages gzipped (plist names end in .gz), and the rc.d
# script left out, as USE_RC_SUBR installs it and adds it to the package
# itself; when the build installs it, it must be mode 555 with %%PREFIX%%
# filled in. Plist lines starting with @ are not files.
#   plist_check.sh BUILD_DIR PKG_PLIST
set -eu
build=$1 plist=$2
stage=$(mktemp -d "${TMPDIR:-/tmp}/firload-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
prefix=/usr/local

DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$stage/install.log" 2>&1 || {
	cat "$stage/install.log" && rm -f "$stage/install.log"
	echo "plist_check: cmake --install failed"
	exit 1
}
rm -f "$stage/install.log"
root=$stage$prefix
rc=$root/etc/rc.d/firtune
if [ -e "$rc" ]; then
	mode=$(find "$rc" -perm 555 -type f)
	[ -n "$mode" ] || { echo "plist_check: etc/rc.d/firtune is not mode 555"; exit 1; }
	! grep -n '%%' "$rc" || { echo "plist_check: etc/rc.d/firtune has a placeholder left"; exit 1; }
	rm -f "$rc"
fi
(cd "$root" && find . ! -type d | sed 's|^\./||; s|^\(share/man/man[1-9]/.*\.[1-9]\)$|\1.gz|' | LC_ALL=C sort) >"$stage/installed"
grep -v '^@' "$plist" | LC_ALL=C sort >"$stage/listed"
if ! cmp -s "$stage/installed" "$stage/listed"; then
	echo "plist_check: pkg-plist and the installed tree differ (< installed only, > pkg-plist only):"
	diff "$stage/installed" "$stage/listed" | grep '^[<>]'
	exit 1
fi
echo "plist_check: $(wc -l <"$stage/listed") files, pkg-plist matches"
