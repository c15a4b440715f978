# Receivers that are USB gadgets, plugged in after the service started: found by vendor and
# product through sysfs and udev, given the start-up sequence on their line (the far end is
# the receiver simulator on the gadget's /dev/ttyGS<n>); the composite receiver (16d3:0051,
# its serial function first, a HID function beside it) found through its first interface;
# unplugged, the service idles (under 5 % of a core); plugged again, opened again; two receivers without serial
# numbers told apart.
# limit: 600
# The HID function's interface (the third: the serial function has two) holds the HID device,
# which holds its hidraw node.
composite_hidraw() { compgen -G "/sys/bus/usb/devices/2-1:1.2/*/hidraw/hidraw*" >/dev/null; }

service_active || fail "the service is not running"
usb_setup
pgrep -f ovanta-service-sim >/dev/null || service_sim_start

# The plain receiver, with a serial number.
tty=$(gadget_make plain 3000 OV-PLAIN-1)
receiver_sim_start plain "$tty" --clickers 3 --mac-low 0A0B0001
t0=$(now)
gadget_plug plain dummy_udc.0
wait_until 30 "the gadget 16d3:3000 made no ttyACM" host_tty dummy_udc.0
acm=$(host_tty dummy_udc.0)
wait_until 120 "no start-up sequence reached the receiver on $acm" at_least 1 startup_queries plain
plug_s=$(elapsed "$t0" "$(now)")
figure plug_to_startup_s "$plug_s" s
udevadm info "$acm" >"$dir/udev-$(basename "$acm").txt"
grep -q '^E: ID_MM_DEVICE_IGNORE=1$' "$dir/udev-$(basename "$acm").txt" || fail "$acm lacks ID_MM_DEVICE_IGNORE=1 (the package's udev rules)"
grep -q '^E: TAGS=.*:systemd:' "$dir/udev-$(basename "$acm").txt" || fail "$acm is not tagged for systemd"

# The composite receiver, without a serial number: its tty is its first interface.
tty2=$(gadget_make composite 0051 "" hid)
receiver_sim_start composite "$tty2" --clickers 3 --mac-low 0A0B0002
gadget_plug composite dummy_udc.1
wait_until 30 "the composite gadget 16d3:0051 made no ttyACM" host_tty dummy_udc.1
# usbhid binds the HID interface on its own time (the module is loaded by udev on the first HID
# device, seconds under TCG): the ttyACM alone says nothing of it.
wait_until 60 "the composite gadget made no hidraw device" composite_hidraw
wait_until 120 "no start-up sequence reached the composite receiver" at_least 1 startup_queries composite

# Unplugged: the service keeps running and idles (the composite receiver unplugged first, so
# that no receiver is left to serve).
gadget_unplug composite
gadget_unplug plain
wait_until 30 "the service did not log the unplug" log_has "DBT_DEVICEREMOVECOMPLETE"
sleep 2
service_active || fail "the service stopped when a receiver was unplugged"
pid=$(service_pid)
ticks0=$(cpu_ticks "$pid")
sleep 10
ticks1=$(cpu_ticks "$pid")
cpu=$(awk -v t=$((ticks1 - ticks0)) -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", 100 * t / hz / 10 }')
figure unplugged_cpu_percent "$cpu" %
awk -v c="$cpu" 'BEGIN { exit !(c < 5) }' || fail "the service used $cpu % of a core over 10 s with a receiver unplugged"

# Plugged again: opened again (a second start-up sequence on the same far end).
before=$(startup_queries plain)
gadget_plug plain dummy_udc.0
wait_until 120 "the receiver plugged in again was not opened again" more_than "$before" startup_queries plain

# Two receivers without serial numbers, told apart by their place on the bus.
gadget_remove plain
gadget_remove composite
stop_children
sleep 2
service_sim_start
tty3=$(gadget_make twin1 3000 "")
tty4=$(gadget_make twin2 3000 "")
receiver_sim_start twin1 "$tty3" --clickers 3 --mac-low 0A0B0003
receiver_sim_start twin2 "$tty4" --clickers 3 --mac-low 0A0B0004
gadget_plug twin1 dummy_udc.0
gadget_plug twin2 dummy_udc.1
wait_until 120 "the first receiver without a serial number got no start-up sequence" at_least 1 startup_queries twin1
wait_until 120 "the second receiver without a serial number got no start-up sequence" at_least 1 startup_queries twin2
acm4=$(host_tty dummy_udc.1)
gadget_unplug twin1
sleep 3
ovanta-sdk-client list >"$dir/sdk-list.txt" 2>&1 || fail "ovanta-sdk-client list failed: $(head -1 "$dir/sdk-list.txt")"
grep -q "$acm4" "$dir/sdk-list.txt" || fail "unplugging one twin left the other ($acm4) unlisted: $(tr '\n' ' ' <"$dir/sdk-list.txt")"
[ "$(grep -c ttyACM "$dir/sdk-list.txt")" -eq 1 ] || fail "the service lists $(grep -c ttyACM "$dir/sdk-list.txt") receivers after one of two was unplugged"
before=$(sim_received twin2 "")
sim twin2 "join 0"
wait_until 60 "the remaining twin's clicker join was not answered" more_than "$before" sim_received twin2 ""
gadget_remove twin1
gadget_remove twin2
pass "plugged in: start-up sequence after $plug_s s (TCG); composite found by its first interface; unplugged: $cpu % of a core; plugged again: opened again; twins without serial numbers told apart"
