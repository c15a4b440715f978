#!/bin/sh
# Installs the built programs with `cmake --install` into a scratch root, as the Debian package
# does (debian/rules only moves the unit and the rules to /lib), and checks what is installed: the files, directories and modes, the unit and udev rules
# against the repository's files and against what the installed "ovanta-hardware -i" writes, and
# the version and date the manual pages carry against debian/changelog and CHANGELOG.md.
#
# install_test.sh CMAKE BUILD_DIR SOURCE_DIR VERSION RELEASE_DATE UNIT_DIR RULES_DIR
set -eu

cmake=$1 build=$2 source=$3 version=$4 release_date=$5 unit_dir=$6 rules_dir=$7
packaging=$source/packaging
unit=ovanta-hardware.service
rules=60-ovanta-hardware.rules

. "$(dirname "$0")/checks.sh"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ovanta-install-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
scratch=$(cd "$scratch" && pwd -P)
root=$scratch/root
mkdir "$root"

# Where the build installs the unit and the rules: a relative directory is under the prefix.
under_root() {
	case "$1" in
	/*) echo "${1#/}" ;;
	*) echo "usr/$1" ;;
	esac
}
unit_dir=$(under_root "$unit_dir")
rules_dir=$(under_root "$rules_dir")

DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$scratch/install.log" 2>&1 ||
	{ cat "$scratch/install.log" >&2; die "cmake --install failed"; }

# Exactly these files and empty directories, with these modes.
expected=$(LC_ALL=C sort -k2 <<LIST
644 $unit_dir/$unit
644 $rules_dir/$rules
755 usr/bin/ovanta-sdk-client
755 usr/sbin/ovanta-hardware
644 usr/share/man/man1/ovanta-sdk-client.1
644 usr/share/man/man5/ovanta-hardware.conf.5
644 usr/share/man/man7/ovanta-sdk.7
644 usr/share/man/man8/ovanta-hardware.8
755 var/lib/ovanta/spool
LIST
)
found=$(cd "$root" && find . -type f -o -type l -o -type d -empty | sed 's|^\./||' | LC_ALL=C sort |
	while read -r f; do echo "$(stat -c %a "$f") $f"; done)
[ "$found" = "$expected" ] || fail "installed files and modes:
$found
expected:
$expected"

# The unit and rules are the repository's files; the unit names the installed executable.
cmp "$root/$rules_dir/$rules" "$packaging/$rules" || fail "the installed udev rules differ from $packaging/$rules"
sed 's|^ExecStart=@OVANTA_EXEC_START@$|ExecStart="/usr/sbin/ovanta-hardware"|' "$packaging/$unit.in" >"$scratch/expected.service"
cmp "$root/$unit_dir/$unit" "$scratch/expected.service" ||
	fail "the installed unit is not $packaging/$unit.in with ExecStart=\"/usr/sbin/ovanta-hardware\": $(diff "$scratch/expected.service" "$root/$unit_dir/$unit")"

# What the installed executable's -i writes is what the package installs, but for the path.
fakebin=$scratch/bin
mkdir "$fakebin"
for tool in systemctl udevadm; do
	printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$scratch" >"$fakebin/$tool"
	chmod 755 "$fakebin/$tool"
done
mkdir "$scratch/etc-units" "$scratch/etc-rules" "$scratch/no-package"
env PATH="$fakebin:$PATH" OVANTA_UNIT_DIR="$scratch/etc-units" OVANTA_PACKAGE_UNIT_DIR="$scratch/no-package" \
	OVANTA_UDEV_DIR="$scratch/etc-rules" OVANTA_REGISTRY="$scratch/registry.ini" OVANTA_SYSTEM_DIR="$scratch/log" \
	"$root/usr/sbin/ovanta-hardware" -i -nologging || fail "ovanta-hardware -i exited with $?"
cmp "$scratch/etc-rules/$rules" "$root/$rules_dir/$rules" || fail "-i writes other udev rules than the package's"
sed "s|^ExecStart=\"/usr/sbin/ovanta-hardware\"\$|ExecStart=\"$root/usr/sbin/ovanta-hardware\"|" \
	"$root/$unit_dir/$unit" >"$scratch/expected-i.service"
cmp "$scratch/etc-units/$unit" "$scratch/expected-i.service" ||
	fail "-i writes another unit than the package's: $(diff "$scratch/expected-i.service" "$scratch/etc-units/$unit")"
grep -q "^systemctl enable $unit" "$scratch/calls" 2>/dev/null || fail "-i did not enable the unit: $(cat "$scratch/calls" 2>/dev/null)"

# One release everywhere: --version, the manual pages' title lines and CHANGELOG.md's newest
# entry say the version and date of debian/changelog's newest entry.
case "$("$root/usr/sbin/ovanta-hardware" --version)" in
"ovanta-hardware $version "*) ;;
*) fail "--version does not print $version: $("$root/usr/sbin/ovanta-hardware" --version)" ;;
esac
for page in man8/ovanta-hardware.8 man1/ovanta-sdk-client.1 man5/ovanta-hardware.conf.5 man7/ovanta-sdk.7; do
	title=$(grep '^\.TH ' "$root/usr/share/man/$page")
	case "$title" in
	*" $release_date \"ovanta-hardware $version\" "*) ;;
	*) fail "$page's title line does not carry $release_date and $version: $title" ;;
	esac
done
newest=$(grep -m 1 '^## ' "$source/CHANGELOG.md")
[ "$newest" = "## $version ($release_date)" ] ||
	fail "CHANGELOG.md's newest entry is \"$newest\", debian/changelog's is $version of $release_date"

passed "install checks"
