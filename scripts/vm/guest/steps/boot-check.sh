# After a clean reboot the service starts by itself (enabled by the package, Type=notify).
# limit: 180
wait_until 120 "the service did not start by itself after the reboot ($(systemctl is-active $service))" service_active
[ "$(systemctl is-enabled $service)" = enabled ] || fail "the unit is not enabled"
since=$(systemctl show -p ActiveEnterTimestampMonotonic --value $service)
pass "running since $(awk -v t="$since" 'BEGIN { printf "%.1f", t / 1e6 }') s after the boot began, started by systemd"
