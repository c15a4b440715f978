#!/bin/sh
# The Debian package's maintainer scripts where neither systemd nor udev runs (a chroot, a
# container, this CI machine): installing (which enables the unit with a link made without
# systemd), upgrading to a copy of itself with a higher version, removing and purging all
# succeed, and the purge takes the enabling link with it. What the package holds and its whole
# life cycle with systemd running are checked on a booted machine (scripts/vm/run package).
# Refuses to run where the package is installed already.
#
# package_test.sh SOURCE_DIR DEB
set -eu
PATH=$PATH:/usr/sbin:/sbin

deb=$2
package=ovanta-hardware
unit=ovanta-hardware.service
wants=/etc/systemd/system/multi-user.target.wants/$unit

. "$(dirname "$0")/checks.sh"

[ "$(id -u)" -eq 0 ] || die "installs the package: run as root"
[ -f "$deb" ] || die "no package at $deb"
# The administrator's systemctl, which enables and disables units without systemd running.
command -v systemctl >/dev/null || die "no systemctl (package systemd)"
if dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
	die "$package is installed on this machine already; remove it with dpkg -P first"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ovanta-package-XXXXXX")
trap 'rm -rf "$scratch"; dpkg -P "$package" >/dev/null 2>&1 || true' EXIT
version=$(dpkg-deb -f "$deb" Version)
echo "package: $(basename "$deb") ($version)"

dpkg_step() {
	echo "-- dpkg $*"
	dpkg "$@" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; die "dpkg $* failed"; }
}
enabled() { [ "$(readlink "$wants" 2>/dev/null)" = "/lib/systemd/system/$unit" ]; }

dpkg_step -i "$deb"
enabled || fail "the first install did not enable the unit without systemd: $(ls -l "$wants" 2>&1)"
dpkg-deb -R "$deb" "$scratch/next"
sed -i "s/^Version: .*/Version: $version+next/" "$scratch/next/DEBIAN/control"
dpkg-deb -b "$scratch/next" "$scratch/next.deb" >/dev/null
dpkg_step -i "$scratch/next.deb"
enabled || fail "an upgrade without systemd lost the unit's enabling"
dpkg_step -r "$package"
[ -e /usr/sbin/ovanta-hardware ] && fail "removing left the program"
dpkg_step -P "$package"
for f in /var/lib/ovanta "$wants"; do
	if [ -e "$f" ] || [ -L "$f" ]; then fail "$f is still there after the purge"; fi
done

passed "package maintainer scripts without systemd"
