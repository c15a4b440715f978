# The package, installed with apt as an administrator would (no network: the machine holds its
# Depends), enabled and started; then upgraded to a build of the same tree with a higher
# version, which keeps the registry store, the spool and the administrator's enabling choice.
# limit: 600
PATH=$PATH:/usr/sbin:/sbin
deb=$(ls "$root"/deb/ovanta-hardware_*.deb)
unit=$service
wants=/etc/systemd/system/multi-user.target.wants/$unit
version=$(dpkg-deb -f "$deb" Version)
problems=()
problem() {
  echo "problem: $*"
  problems+=("$*")
}

# ---- What the package holds ----
# Exactly these files and links, owned by root, with these modes, and the spool's directory.
expected=$(sort <<LIST
-rwxr-xr-x ./usr/bin/ovanta-sdk-client
-rwxr-xr-x ./usr/sbin/ovanta-hardware
-rw-r--r-- ./lib/systemd/system/$unit
-rw-r--r-- ./lib/udev/rules.d/60-ovanta-hardware.rules
-rw-r--r-- ./usr/share/doc/ovanta-hardware/changelog.gz
-rw-r--r-- ./usr/share/doc/ovanta-hardware/copyright
-rw-r--r-- ./usr/share/doc/ovanta-hardware/examples/registry.ini
-rw-r--r-- ./usr/share/man/man1/ovanta-sdk-client.1.gz
-rw-r--r-- ./usr/share/man/man5/ovanta-hardware.conf.5.gz
-rw-r--r-- ./usr/share/man/man7/ovanta-sdk.7.gz
-rw-r--r-- ./usr/share/man/man8/ovanta-hardware.8.gz
drwxr-xr-x ./var/lib/ovanta/spool/
LIST
)
dpkg-deb -c "$deb" >"$dir/contents"
found=$(awk '$1 !~ /^d/ || $6 == "./var/lib/ovanta/spool/" {print $1, $6}' "$dir/contents" | sort)
[ "$found" = "$expected" ] || problem "the package holds other files: $(echo $found)"
owners=$(awk '{print $2}' "$dir/contents" | sort -u)
[ "$owners" = root/root ] || problem "entries not owned by root/root: $owners"

# ---- Installed with apt ----
t0=$(now)
apt-get install -y "$deb" >"$dir/apt-install.log" 2>&1 || fail "apt-get install failed: $(grep -a '^E:' "$dir/apt-install.log" | head -1)"
figure install_s "$(elapsed "$t0" "$(now)")" s
wait_until 60 "the service is not running after the install ($(systemctl is-active $unit))" service_active
[ "$(systemctl is-enabled $unit)" = enabled ] || problem "the install did not enable the unit"
systemctl status --no-pager $unit >"$dir/status.txt" 2>&1
grep -q 'Active: active (running)' "$dir/status.txt" || problem "systemctl status does not show it running"
for f in /usr/sbin/ovanta-hardware /usr/bin/ovanta-sdk-client /lib/systemd/system/$unit \
  /lib/udev/rules.d/60-ovanta-hardware.rules /usr/share/man/man8/ovanta-hardware.8.gz \
  /usr/share/man/man1/ovanta-sdk-client.1.gz /usr/share/man/man5/ovanta-hardware.conf.5.gz \
  /usr/share/man/man7/ovanta-sdk.7.gz /usr/share/doc/ovanta-hardware/copyright \
  /usr/share/doc/ovanta-hardware/examples/registry.ini /var/lib/ovanta/spool; do
  dpkg -S "$f" >/dev/null 2>&1 || problem "$f is not there as the package's"
done
sed 's|^ExecStart=@OVANTA_EXEC_START@$|ExecStart="/usr/sbin/ovanta-hardware"|' "$root/packaging/$unit.in" >"$dir/expected.service"
cmp -s /lib/systemd/system/$unit "$dir/expected.service" || problem "the installed unit is not packaging/$unit.in"
cmp -s /lib/udev/rules.d/60-ovanta-hardware.rules "$root/packaging/60-ovanta-hardware.rules" ||
  problem "the installed udev rules are not packaging/60-ovanta-hardware.rules"
zcat /usr/share/man/man8/ovanta-hardware.8.gz | grep -q "^\.TH .* \"ovanta-hardware ${version%%-*}\" " ||
  problem "ovanta-hardware(8) does not carry version $version"
/usr/sbin/ovanta-hardware --version | grep -q "^ovanta-hardware ${version%%-*} " ||
  problem "the installed program does not say version $version"

# From systemctl start to ready (Type=notify: start returns once the service said READY=1).
systemctl stop $unit
t0=$(now)
systemctl start $unit || fail "systemctl start failed"
ready=$(elapsed "$t0" "$(now)")
figure start_to_ready_s "$ready" s
pid_before=$(service_pid)

# ---- Upgraded ----
# What the service keeps while it runs: the registry store, an answer in the spool, a log.
[ -e /var/lib/ovanta/registry.ini ] || echo "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]" >/var/lib/ovanta/registry.ini
cp /var/lib/ovanta/registry.ini "$dir/registry.before"
echo answer >/var/lib/ovanta/spool/kept
dpkg-deb -R "$deb" "$dir/next"
sed -i "s/^Version: .*/Version: $version+next/" "$dir/next/DEBIAN/control"
dpkg-deb -b "$dir/next" "$dir/next.deb" >/dev/null
rm -rf "$dir/next"
apt-get install -y "$dir/next.deb" >"$dir/apt-upgrade.log" 2>&1 || fail "the upgrade failed: $(grep -a '^E:' "$dir/apt-upgrade.log" | head -1)"
[ "$(dpkg-query -W -f '${Version}' ovanta-hardware)" = "$version+next" ] || problem "the upgrade did not install $version+next"
wait_until 60 "the service is not running after the upgrade" service_active
[ "$(service_pid)" != "$pid_before" ] || problem "the upgrade did not restart the service"
[ "$(systemctl is-enabled $unit)" = enabled ] || problem "an upgrade lost the unit's enabling"
cmp -s /var/lib/ovanta/registry.ini "$dir/registry.before" || problem "an upgrade changed the registry store"
[ -s /var/lib/ovanta/spool/kept ] || problem "an upgrade lost the spool's answer"
# Disabled by the administrator, it stays disabled across an upgrade.
systemctl disable $unit 2>/dev/null
dpkg -i "$dir/next.deb" >"$dir/dpkg-reinstall.log" 2>&1 || fail "installing the upgrade again failed"
[ "$(systemctl is-enabled $unit)" = disabled ] || problem "an upgrade enabled the unit the administrator had disabled"
systemctl enable $unit 2>/dev/null
rm -f /var/lib/ovanta/spool/kept
wait_until 60 "the service is not running after the second upgrade" service_active

[ ${#problems[@]} -eq 0 ] || fail "${problems[0]}${problems[1]:+ (and $((${#problems[@]} - 1)) more: see install/output.txt)}"
pass "installed with apt, enabled and running (start to ready $ready s); upgraded to $version+next keeping the registry store and the spool"
