# On a machine without the package, `ovanta-hardware -i` of the same build installs, enables and
# starts the unit (and its udev rules); `-u` stops it and removes them.
# limit: 300
PATH=$PATH:/usr/sbin:/sbin
if dpkg-query -W -f '${db:Status-Status}' ovanta-hardware 2>/dev/null | grep -qv '^not-installed$'; then
  apt-get purge -y ovanta-hardware >"$dir/apt-purge.log" 2>&1 || fail "the package could not be purged first"
fi
program=/opt/ovanta/ovanta-hardware
mkdir -p /opt/ovanta
cp "$root/opt/ovanta-hardware" "$program"
unit_file=/etc/systemd/system/$service
rules=/etc/udev/rules.d/60-ovanta-hardware.rules
"$program" -i >"$dir/install.out" 2>&1 || fail "-i exited with status $?"
[ -f "$unit_file" ] || fail "-i wrote no $unit_file"
grep -qx "ExecStart=\"$program\"" "$unit_file" || fail "the unit does not run $program: $(grep ExecStart "$unit_file")"
[ -f "$rules" ] || fail "-i wrote no $rules"
cmp -s "$rules" "$root/packaging/60-ovanta-hardware.rules" || fail "-i wrote other udev rules than the package's"
[ "$(systemctl is-enabled $service)" = enabled ] || fail "-i did not enable the unit"
wait_until 60 "the service -i installed is not running" service_active
[ "$(readlink -f "/proc/$(service_pid)/exe")" = "$program" ] || fail "the running service is not $program"
"$program" -u >"$dir/uninstall.out" 2>&1 || fail "-u exited with status $?"
[ -e "$unit_file" ] && fail "-u left $unit_file"
[ -e "$rules" ] && fail "-u left $rules"
service_active && fail "the service still runs after -u"
pgrep -x ovanta-hardware >/dev/null && fail "an ovanta-hardware process is left after -u"
pass "-i installed, enabled and started $program; -u stopped it and removed the unit and the rules"
