# The package removed with apt (the service stopped, the programs, unit and rules gone, the
# registry store and the spool kept), then purged (everything it made gone, its enabling too).
# limit: 300
PATH=$PATH:/usr/sbin:/sbin
unit=$service
dpkg-query -W -f '${db:Status-Status}' ovanta-hardware 2>/dev/null | grep -q '^installed$' || fail "the package is not installed"
[ -e /var/lib/ovanta/registry.ini ] || echo "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]" >/var/lib/ovanta/registry.ini
echo answer >/var/lib/ovanta/spool/kept
apt-get remove -y ovanta-hardware >"$dir/apt-remove.log" 2>&1 || fail "apt-get remove failed"
service_active && fail "the service still runs after apt remove"
pgrep -x ovanta-hardware >/dev/null && fail "an ovanta-hardware process is left after apt remove"
for f in /usr/sbin/ovanta-hardware /usr/bin/ovanta-sdk-client /lib/systemd/system/$unit \
  /lib/udev/rules.d/60-ovanta-hardware.rules /usr/share/man/man8/ovanta-hardware.8.gz \
  /usr/share/man/man1/ovanta-sdk-client.1.gz /usr/share/man/man5/ovanta-hardware.conf.5.gz \
  /usr/share/man/man7/ovanta-sdk.7.gz /usr/share/doc/ovanta-hardware/examples/registry.ini; do
  [ -e "$f" ] && fail "$f is still there after apt remove"
done
[ -s /var/lib/ovanta/registry.ini ] && [ -s /var/lib/ovanta/spool/kept ] || fail "apt remove took the registry store or the spool"
apt-get purge -y ovanta-hardware >"$dir/apt-purge.log" 2>&1 || fail "apt-get purge failed"
for f in /var/lib/ovanta /var/log/ovanta /etc/systemd/system/multi-user.target.wants/$unit \
  /var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also; do
  if [ -e "$f" ] || [ -L "$f" ]; then fail "$f is still there after apt purge"; fi
done
if dpkg-query -W -f '${db:Status-Status}' ovanta-hardware 2>/dev/null | grep -qv '^not-installed$'; then
  fail "dpkg still knows ovanta-hardware after the purge"
fi
pass "apt remove stopped it and kept the registry store and the spool; apt purge left nothing"
