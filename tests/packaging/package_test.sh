#!/bin/sh
# Checks the Debian package that dpkg-buildpackage made: what it holds, then, as root on this
# machine, installing it, upgrading it (to a copy of itself with a higher version), removing
# and purging it, with the files appearing and going as the README says. The maintainer
# scripts must succeed without systemd as PID 1 or a running udev (CI, a container, a chroot).
# Refuses to run where the package is installed already.
#
# package_test.sh SOURCE_DIR DEB
set -eu
PATH=$PATH:/usr/sbin:/sbin

source=$1 deb=$2
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

# ---- What the package holds ----
# Exactly these files and links, owned by root, with these modes, and the spool's directory.
expected=$(sort <<LIST
-rwxr-xr-x ./usr/bin/ovanta-sdk-client
-rwxr-xr-x ./usr/sbin/ovanta-hardware
-rw-r--r-- ./lib/systemd/system/$unit
-rw-r--r-- ./lib/udev/rules.d/60-ovanta-hardware.rules
-rw-r--r-- ./usr/share/doc/$package/changelog.gz
-rw-r--r-- ./usr/share/doc/$package/copyright
-rw-r--r-- ./usr/share/doc/$package/examples/registry.ini
-rw-r--r-- ./usr/share/man/man1/ovanta-sdk-client.1.gz
-rw-r--r-- ./usr/share/man/man5/ovanta-hardware.conf.5.gz
-rw-r--r-- ./usr/share/man/man7/ovanta-sdk.7.gz
-rw-r--r-- ./usr/share/man/man8/ovanta-hardware.8.gz
drwxr-xr-x ./var/lib/ovanta/spool/
LIST
)
dpkg-deb -c "$deb" >"$scratch/contents"
found=$(awk '$1 !~ /^d/ || $6 == "./var/lib/ovanta/spool/" {print $1, $6}' "$scratch/contents" | sort)
[ "$found" = "$expected" ] || fail "the package holds:
$found
expected:
$expected"
owners=$(awk '{print $2}' "$scratch/contents" | sort -u)
[ "$owners" = root/root ] || fail "entries not owned by root/root: $owners"

dpkg-deb -x "$deb" "$scratch/root"
sed 's|^ExecStart=@OVANTA_EXEC_START@$|ExecStart="/usr/sbin/ovanta-hardware"|' "$source/packaging/$unit.in" >"$scratch/expected.service"
cmp "$scratch/root/lib/systemd/system/$unit" "$scratch/expected.service" ||
	fail "the packaged unit is not packaging/$unit.in for /usr/sbin/ovanta-hardware"
cmp "$scratch/root/lib/udev/rules.d/60-ovanta-hardware.rules" "$source/packaging/60-ovanta-hardware.rules" ||
	fail "the packaged udev rules are not packaging/60-ovanta-hardware.rules"
zcat "$scratch/root/usr/share/man/man8/ovanta-hardware.8.gz" | grep -q "^\.TH .* \"ovanta-hardware ${version%%-*}\" " ||
	fail "ovanta-hardware(8) does not carry version $version"

# ---- Installing, upgrading, removing and purging ----
# installed FILE...: each is on the machine and listed by dpkg as the package's.
installed() {
	for f in "$@"; do
		[ -e "$f" ] || fail "$f is not there"
		dpkg -S "$f" >/dev/null 2>&1 || fail "dpkg does not list $f as $package's"
	done
}
gone() {
	for f in "$@"; do
		if [ -e "$f" ] || [ -L "$f" ]; then fail "$f is still there"; fi
	done
}
files="/usr/sbin/ovanta-hardware /usr/bin/ovanta-sdk-client /lib/systemd/system/$unit
/lib/udev/rules.d/60-ovanta-hardware.rules /usr/share/man/man8/ovanta-hardware.8.gz
/usr/share/man/man1/ovanta-sdk-client.1.gz /usr/share/man/man5/ovanta-hardware.conf.5.gz
/usr/share/man/man7/ovanta-sdk.7.gz /usr/share/doc/$package/copyright
/usr/share/doc/$package/examples/registry.ini /var/lib/ovanta/spool"
dpkg_step() {
	echo "-- dpkg $*"
	dpkg "$@" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; die "dpkg $* failed"; }
}
enabled() { [ "$(readlink "$wants" 2>/dev/null)" = "/lib/systemd/system/$unit" ]; }

# A first install enables the unit (a link under /etc, made without systemd running).
dpkg_step -i "$deb"
# shellcheck disable=SC2086
installed $files
enabled || fail "the first install did not enable the unit: $(ls -l "$wants" 2>&1)"
/usr/sbin/ovanta-hardware --version | grep -q "^ovanta-hardware ${version%%-*} " ||
	fail "the installed program does not say version $version"

# What the service keeps while it runs: the registry store, an answer in the spool, a log.
echo "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]" >/var/lib/ovanta/registry.ini
echo answer >/var/lib/ovanta/spool/kept
mkdir -p /var/log/ovanta/Debug
echo line >/var/log/ovanta/Debug/OvantaHardwareService.log

# An upgrade keeps the unit enabled and, once the administrator disabled it, disabled (the
# second install of the higher version goes through the upgrade steps too).
dpkg-deb -R "$deb" "$scratch/next"
sed -i "s/^Version: .*/Version: $version+next/" "$scratch/next/DEBIAN/control"
dpkg-deb -b "$scratch/next" "$scratch/next.deb" >/dev/null
dpkg_step -i "$scratch/next.deb"
enabled || fail "an upgrade lost the unit's enabling"
systemctl disable "$unit"
enabled && fail "systemctl disable left the unit enabled"
dpkg_step -i "$scratch/next.deb"
enabled && fail "an upgrade enabled the unit the administrator had disabled"
# shellcheck disable=SC2086
installed $files
[ -s /var/lib/ovanta/spool/kept ] || fail "an upgrade lost the spool's answer"

# Removing keeps what the service kept; purging takes it all, and the unit's enabling state.
systemctl enable "$unit"
enabled || fail "systemctl enable did not enable the unit"
dpkg_step -r "$package"
# shellcheck disable=SC2086
gone /usr/sbin/ovanta-hardware /usr/bin/ovanta-sdk-client /lib/systemd/system/$unit \
	/lib/udev/rules.d/60-ovanta-hardware.rules /usr/share/man/man8/ovanta-hardware.8.gz \
	/usr/share/man/man1/ovanta-sdk-client.1.gz /usr/share/man/man5/ovanta-hardware.conf.5.gz \
	/usr/share/man/man7/ovanta-sdk.7.gz /usr/share/doc/$package/examples/registry.ini
[ -s /var/lib/ovanta/registry.ini ] && [ -s /var/lib/ovanta/spool/kept ] || fail "removing took the registry store or the spool"
dpkg_step -P "$package"
gone /var/lib/ovanta /var/log/ovanta "$wants" /var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also
if dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
	fail "dpkg still knows $package after the purge"
fi

passed "package checks"
