#!/bin/sh
# Builds the Debian package from the built programs, unpacks it into a scratch root with
# dpkg -x and checks what it installs: the files and their modes, the unit and udev rules
# against what the packaged "ovanta-hardware -i" writes, the Depends field against the
# libraries the programs load, and the maintainer scripts in a root without systemd or udev
# running. Without cpack or dpkg-deb, checks a `cmake --install` into a scratch root instead.
#
# package_test.sh CPACK CMAKE BUILD_DIR PACKAGING_DIR HARDWARE_EXE SDK_CLIENT_EXE
set -eu
PATH=$PATH:/usr/sbin:/sbin

cpack=$1 cmake=$2 build=$3 packaging=$4 hardware_exe=$5 sdk_client_exe=$6
unit=ovanta-hardware.service
rules=60-ovanta-hardware.rules

failures=0
fail() {
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}
die() {
	echo "FAIL: $*" >&2
	exit 1
}

for exe in "$hardware_exe" "$sdk_client_exe"; do
	[ -x "$exe" ] || die "$exe is not built: build ovanta-hardware and ovanta-sdk-client first"
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ovanta-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
scratch=$(cd "$scratch" && pwd -P)
root=$scratch/root
mkdir "$root"

# mode FILE: the permission bits in octal.
mode() { stat -c %a "$1"; }

# owner_of FILE: the Debian package that holds a file, known to dpkg by its own path or, with
# /lib merged into /usr/lib, by the other.
owner_of() {
	dpkg -S "$1" "$(readlink -f "$1")" "/usr$1" "${1#/usr}" 2>/dev/null | head -n 1 | cut -d: -f1
}

if command -v dpkg-deb >/dev/null 2>&1 && [ -x "$cpack" ]; then
	with_package=yes
	if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
		cat "$scratch/cpack.log" >&2
		die "cpack failed"
	fi
	set -- "$scratch"/out/*.deb
	if [ $# -ne 1 ] || [ ! -f "$1" ]; then die "expected one .deb in $scratch/out, found: $*"; fi
	deb=$1
	echo "package: $(basename "$deb")"
	dpkg-deb -c "$deb"
	dpkg-deb -x "$deb" "$root"
else
	with_package=no
	echo "no cpack or dpkg-deb: checking cmake --install instead"
	DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$scratch/install.log" 2>&1 ||
		{ cat "$scratch/install.log" >&2; die "cmake --install failed"; }
fi

# Exactly these files, with these modes.
expected="755 usr/bin/ovanta-sdk-client
644 usr/lib/systemd/system/$unit
644 usr/lib/udev/rules.d/$rules
755 usr/sbin/ovanta-hardware
644 usr/share/man/man1/ovanta-sdk-client.1
644 usr/share/man/man8/ovanta-hardware.8"
found=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort | while read -r f; do echo "$(mode "$f") $f"; done)
[ "$found" = "$expected" ] || fail "installed files and modes:
$found
expected:
$expected"

# The unit and rules are the repository's files; the unit names the installed executable.
cmp "$root/usr/lib/udev/rules.d/$rules" "$packaging/$rules" || fail "the installed udev rules differ from $packaging/$rules"
sed 's|^ExecStart=@OVANTA_EXEC_START@$|ExecStart="/usr/sbin/ovanta-hardware"|' "$packaging/$unit.in" >"$scratch/expected.service"
cmp "$root/usr/lib/systemd/system/$unit" "$scratch/expected.service" ||
	fail "the installed unit is not $packaging/$unit.in with ExecStart=\"/usr/sbin/ovanta-hardware\": $(diff "$scratch/expected.service" "$root/usr/lib/systemd/system/$unit")"

# A recording stand-in for each tool the service and the maintainer scripts call. systemctl
# answers is-active like systemd with the unit stopped; deb-systemd-helper answers was-enabled
# with $WAS_ENABLED.
fakebin=$scratch/bin
mkdir "$fakebin"
for tool in systemctl udevadm deb-systemd-helper deb-systemd-invoke; do
	cat >"$fakebin/$tool" <<TOOL
#!/bin/sh
echo "$tool \$*" >>"$scratch/calls"
case "$tool \$*" in
"systemctl is-active"*) echo inactive; exit 3 ;;
*was-enabled*) exit \${WAS_ENABLED:-0} ;;
esac
exit 0
TOOL
	chmod 755 "$fakebin/$tool"
done
calls() { cat "$scratch/calls" 2>/dev/null || true; }

# What the packaged executable's -i writes is what the package installs, but for the path.
mkdir "$scratch/etc-units" "$scratch/etc-rules" "$scratch/no-package"
env PATH="$fakebin:$PATH" OVANTA_UNIT_DIR="$scratch/etc-units" OVANTA_PACKAGE_UNIT_DIR="$scratch/no-package" \
	OVANTA_UDEV_DIR="$scratch/etc-rules" OVANTA_REGISTRY="$scratch/registry.ini" OVANTA_SYSTEM_DIR="$scratch/log" \
	"$root/usr/sbin/ovanta-hardware" -i -nologging || fail "ovanta-hardware -i exited with $?"
cmp "$scratch/etc-rules/$rules" "$root/usr/lib/udev/rules.d/$rules" || fail "-i writes other udev rules than the package's"
sed "s|^ExecStart=\"/usr/sbin/ovanta-hardware\"\$|ExecStart=\"$root/usr/sbin/ovanta-hardware\"|" \
	"$root/usr/lib/systemd/system/$unit" >"$scratch/expected-i.service"
cmp "$scratch/etc-units/$unit" "$scratch/expected-i.service" ||
	fail "-i writes another unit than the package's: $(diff "$scratch/expected-i.service" "$scratch/etc-units/$unit")"
case "$(calls)" in
*"systemctl enable $unit"*) ;;
*) fail "-i did not enable the unit: $(calls)" ;;
esac

if [ "$with_package" = yes ]; then
	dpkg-deb -e "$deb" "$scratch/control"
	for script in postinst prerm postrm; do
		cmp "$scratch/control/$script" "$packaging/$script" || fail "the package's $script is not $packaging/$script"
		[ "$(mode "$scratch/control/$script")" = 755 ] || fail "$script has mode $(mode "$scratch/control/$script")"
	done

	# Every entry owned by root.
	owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
	[ "$owners" = root/root ] || fail "entries not owned by root/root: $owners"

	[ "$(dpkg-deb -f "$deb" Package)" = ovanta-hardware ] || fail "Package: $(dpkg-deb -f "$deb" Package)"
	# Depends names the package of every shared library the programs load, and the tools the
	# maintainer scripts call.
	depends=$(dpkg-deb -f "$deb" Depends)
	echo "Depends: $depends"
	needed=$(objdump -p "$root/usr/sbin/ovanta-hardware" "$root/usr/bin/ovanta-sdk-client" | awk '$1 == "NEEDED" {print $2}' | sort -u)
	for lib in $needed; do
		path=$(ldconfig -p | awk -v lib="$lib" '$1 == lib {print $NF; exit}')
		[ -n "$path" ] || { fail "$lib (needed by the programs) is not on this machine"; continue; }
		owner=$(owner_of "$path")
		[ -n "$owner" ] || { fail "no package owns $path"; continue; }
		case ", $depends," in
		*", $owner "* | *", $owner,"*) ;;
		*) fail "Depends lacks $owner, which holds $lib" ;;
		esac
	done
	case ", $depends," in
	*", init-system-helpers"*) ;;
	*) fail "Depends lacks init-system-helpers" ;;
	esac

	# The maintainer scripts, where neither systemd nor udev runs (a chroot, a container): they
	# succeed, enable the unit on a first install, keep an administrator's disabling on an
	# upgrade, and forget the unit on removal. With systemd running they also reload and start
	# or stop it.
	if [ -d /run/systemd/system ]; then running=yes; else running=no; fi
	maintainer() {
		rm -f "$scratch/calls"
		env PATH="$fakebin:/usr/sbin:/usr/bin:/sbin:/bin" WAS_ENABLED="$1" sh "$scratch/control/$2" "$3" ${4:+"$4"} ||
			fail "$2 $3 exited with $?"
	}
	maintainer 0 postinst configure
	case "$(calls)" in
	*"deb-systemd-helper enable $unit"*) ;;
	*) fail "postinst configure did not enable the unit: $(calls)" ;;
	esac
	if [ "$running" = no ]; then
		case "$(calls)" in
		*systemctl* | *deb-systemd-invoke* | *udevadm*) fail "postinst called for a running systemd or udev: $(calls)" ;;
		esac
	fi
	maintainer 1 postinst configure 0.0.1
	case "$(calls)" in
	*"deb-systemd-helper enable"*) fail "postinst enabled a unit the administrator had disabled: $(calls)" ;;
	*"deb-systemd-helper update-state $unit"*) ;;
	*) fail "postinst on upgrade did not update the unit's state: $(calls)" ;;
	esac
	maintainer 0 prerm remove
	if [ "$running" = no ] && [ -n "$(calls)" ]; then fail "prerm without systemd called: $(calls)"; fi
	maintainer 0 postrm remove
	case "$(calls)" in
	*"deb-systemd-helper purge $unit"*) ;;
	*) fail "postrm remove did not remove the unit's links: $(calls)" ;;
	esac
fi

[ "$failures" -eq 0 ] || die "$failures check(s) failed"
echo "package checks passed"
