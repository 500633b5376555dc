#!/bin/sh
# Builds the OpenWrt package of one target in opkg's format with tar and gzip alone (opkg's own
# tools are not in Debian): a gzip'd tar of ./debian-binary, ./control.tar.gz and ./data.tar.gz,
# every member owned 0:0 and dated SOURCE_DATE_EPOCH (else the last commit), so that the same
# inputs give the same bytes.
#   build_ipk.sh BINARY TARGET VERSION OUT.ipk
set -eu

if [ $# -ne 4 ]; then
	echo "usage: build_ipk.sh BINARY TARGET VERSION OUT.ipk" >&2
	exit 1
fi
binary=$1 target=$2 version=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$binary" ] || { echo "build_ipk.sh: no binary $binary" >&2; exit 1; }
case "$target" in
*[!A-Za-z0-9_.-]* | "") echo "build_ipk.sh: bad target name \"$target\"" >&2; exit 1 ;;
esac
case "$version" in
*[!A-Za-z0-9.+~-]* | "") echo "build_ipk.sh: bad version \"$version\"" >&2; exit 1 ;;
esac

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)}
work=$(mktemp -d "${TMPDIR:-/tmp}/vorna-ipk.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# What tar writes for every member: root's, numbered, dated, in name order.
pack() {
	dir=$1 archive=$2
	shift 2
	(cd "$dir" && tar --format=gnu --numeric-owner --owner=0 --group=0 --mtime="@$epoch" \
		--sort=name -cf - "$@") | gzip -9n >"$archive"
}

data=$work/data
mkdir -p "$data/usr/bin" "$data/etc/init.d" "$data/etc/config"
cp "$binary" "$data/usr/bin/vornaagent"
cp "$here/vornaagent.init" "$data/etc/init.d/vornaagent"
cp "$here/vornaagent.config" "$data/etc/config/vornaagent"
find "$data" -type d -exec chmod 0755 {} +
chmod 0755 "$data/usr/bin/vornaagent" "$data/etc/init.d/vornaagent"
# It holds the passwords: the agent refuses it readable by others.
chmod 0600 "$data/etc/config/vornaagent"
size=$(find "$data" -type f -exec cat {} + | wc -c)

control=$work/control
mkdir "$control"
cat >"$control/control" <<END
Package: vornaagent
Version: $version
Depends:
Source: vornaagent
Section: net
Architecture: $target
Installed-Size: $size
Maintainer: Vorna Networks <support@vorna.example>
License: Proprietary
Description: Logs the router's WAN lines on to the site's network access server
 One agent per account section of /etc/config/vornaagent keeps its session alive,
 each bound to its own WAN device when one is given.
END
echo /etc/config/vornaagent >"$control/conffiles"
cat >"$control/postinst" <<'END'
#!/bin/sh
# On the router itself, not into an image being built: start at boot, and start now.
[ -n "$IPKG_INSTROOT" ] || {
	/etc/init.d/vornaagent enable
	/etc/init.d/vornaagent start
}
exit 0
END
cat >"$control/prerm" <<'END'
#!/bin/sh
# Stopping logs each account off first.
[ -n "$IPKG_INSTROOT" ] || {
	/etc/init.d/vornaagent stop
	/etc/init.d/vornaagent disable
}
exit 0
END
chmod 0644 "$control/control" "$control/conffiles"
chmod 0755 "$control/postinst" "$control/prerm"

outer=$work/outer
mkdir "$outer"
printf '2.0\n' >"$outer/debian-binary"
pack "$data" "$outer/data.tar.gz" .
pack "$control" "$outer/control.tar.gz" .
chmod 0644 "$outer"/*
mkdir -p "$(dirname "$out")"
(cd "$outer" && tar --format=gnu --numeric-owner --owner=0 --group=0 --mtime="@$epoch" \
	-cf - ./debian-binary ./data.tar.gz ./control.tar.gz) | gzip -9n >"$out.tmp"
mv "$out.tmp" "$out"
