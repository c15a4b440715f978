# shellcheck shell=bash
# Sourced by every step of the test machine: the step's result, waits, figures, the simulators
# and the USB gadgets that play receivers.
root=/opt/ovanta-test
bin=$root/bin
export LD_LIBRARY_PATH=$root/lib  # the simulators' own libraries, apart from the machine's
service=ovanta-hardware.service
service_log=/var/log/ovanta/Debug/OvantaHardwareService.log
step=""
dir=""
children=()

step_begin() {
  step=$1 dir=$2
  trap 'stop_children; gadgets_remove_all' EXIT
}
stop_children() {
  local pid
  for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null && kill -CONT "$pid" 2>/dev/null; done
  for pid in "${children[@]}"; do wait "$pid" 2>/dev/null; done
  children=()
}
pass() {
  echo "ovanta-vm: $step: PASS ${*:-}"
  exit 0
}
fail() {
  echo "ovanta-vm: $step: FAIL $*"
  diagnose >"$dir/diagnosis.txt" 2>&1
  exit 1
}
# What the step's children were doing when it failed: their threads' states and wait channels.
diagnose() {
  local pid t
  for pid in "${children[@]}"; do
    echo "== $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
    for t in /proc/"$pid"/task/*; do
      echo "  ${t##*/} $(cut -d' ' -f3 "$t/stat" 2>/dev/null) $(cat "$t/wchan" 2>/dev/null)"
    done
    ls -l "/proc/$pid/fd" 2>/dev/null | sed 's/^/  /'
  done
  ps -eo pid,stat,wchan:30,cmd | grep -v ' \[' || true
}
# A measured figure, collected by the host: figure NAME VALUE UNIT
figure() { echo "ovanta-vm: figure $1 $2 $3"; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 0.2 s until it succeeds; fails the
# step with "WHAT" when it has not within SECONDS.
wait_until() {
  local limit=$1 what=$2 deadline
  shift 2
  deadline=$(($(date +%s) + limit))
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "$what (waited $limit s)"
    sleep 0.2
  done
}

# at_least N COMMAND...: COMMAND prints a number of at least N (more_than: above N).
at_least() { [ "$("${@:2}")" -ge "$1" ] 2>/dev/null; }
more_than() { [ "$("${@:2}")" -gt "$1" ] 2>/dev/null; }

service_active() { [ "$(systemctl is-active "$service")" = active ]; }
service_pid() { systemctl show -p MainPID --value "$service"; }
log_has() { grep -aq -- "$1" "$service_log" 2>/dev/null; }
log_count() { grep -ac -- "$1" "$service_log" 2>/dev/null || true; }

# ---- The software-service simulator, on the default address of the service (port 8630) ----
service_sim_start() {  # service_sim_start [SCENARIO]
  "$bin/ovanta-service-sim" --port 8630 --scenario "${1:-$root/data/lesson.scenario}" \
    >"$dir/service-sim.out" 2>&1 </dev/null &
  children+=($!)
  service_sim_pid=$!
  wait_until 30 "the software-service simulator did not start" grep -q 'listening on' "$dir/service-sim.out"
}
# lesson_scenario NAME [TIMELINE-LINE...]: the sample lesson's classes and quiz with a timeline
# of its own (none: nothing happens by itself), as $root/data/NAME.scenario.
lesson_scenario() {
  local file=$root/data/$1.scenario
  shift
  sed '/^# seconds after/,$d' "$root/data/lesson.scenario" >"$file"
  [ $# -eq 0 ] || printf '%s\n' "$@" >>"$file"
}
# control LINES: the teacher's actions on the simulator (POST /control), its reply on stdout.
control() {
  local reply
  exec 9<>/dev/tcp/127.0.0.1/8630 || return 1
  printf 'POST /control HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s' \
    "$(printf %s "$1" | wc -c)" "$1" >&9
  reply=$(cat <&9)
  exec 9<&-
  printf '%s\n' "${reply#*$'\r\n\r\n'}"
}

# ---- Receiver simulators on gadgets' serial lines ----
# receiver_sim_start NAME TTY [OPTIONS...]: the simulator plays the receiver's firmware on TTY
# (the gadget's /dev/ttyGS<n>); commands go to it with `sim NAME COMMAND`.
receiver_sim_start() {
  local name=$1 tty=$2
  shift 2
  rm -f "$dir/$name.in"
  mkfifo "$dir/$name.in"
  "$bin/receiver-sim" --tty "$tty" --stay "$@" <"$dir/$name.in" >"$dir/$name.out" 2>&1 &
  children+=($!)
  eval "simpid_$name=$!"
  eval "exec {fd_$name}>\"$dir/$name.in\""
  wait_until 10 "the receiver simulator $name did not start" test -s "$dir/$name.out"
}
sim() {
  local fd="fd_$1"
  shift
  echo "$*" >&"${!fd}"
}
# How many packets the simulator NAME received that start with HEX (as `received` prints them).
sim_received() {
  local before
  before=$(wc -l <"$dir/$1.out")
  sim "$1" received
  sleep 0.3
  tail -n +"$((before + 1))" "$dir/$1.out" | grep -c "^$2" || true
}
# The start-up queries end with the MAC-address query (00 00 16 00).
startup_queries() { sim_received "$1" "00 00 16 00"; }

# ---- Receivers as USB gadgets (dummy_hcd: two controllers, dummy_udc.0 and dummy_udc.1) ----
gadgets=/sys/kernel/config/usb_gadget
usb_setup() {
  modprobe dummy_hcd num=2 || fail "no dummy_hcd"
  modprobe libcomposite || fail "no libcomposite"
  mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config
}
# gadget_make NAME PRODUCT SERIAL [hid]: a receiver 16d3:PRODUCT with a CDC-ACM function (and
# a HID function after it when asked: the composite receiver); SERIAL "" gives none. Prints the
# far end's tty (/dev/ttyGS<n>).
gadget_make() {
  local g=$gadgets/$1 product=$2 serial=$3 hid=${4:-}
  mkdir -p "$g/strings/0x409" "$g/configs/c.1/strings/0x409"
  echo 0x16d3 >"$g/idVendor"
  echo "0x$product" >"$g/idProduct"
  echo Ovanta >"$g/strings/0x409/manufacturer"
  echo "Receiver $product" >"$g/strings/0x409/product"
  [ -n "$serial" ] && echo "$serial" >"$g/strings/0x409/serialnumber"
  echo "receiver" >"$g/configs/c.1/strings/0x409/configuration"
  mkdir -p "$g/functions/acm.$1"
  ln -s "$g/functions/acm.$1" "$g/configs/c.1/"
  if [ "$hid" = hid ]; then
    mkdir -p "$g/functions/hid.$1"
    echo 0 >"$g/functions/hid.$1/protocol"
    echo 0 >"$g/functions/hid.$1/subclass"
    echo 8 >"$g/functions/hid.$1/report_length"
    printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x08\x09\x01\x81\x02\x09\x01\x91\x02\xc0' \
      >"$g/functions/hid.$1/report_desc"
    ln -s "$g/functions/hid.$1" "$g/configs/c.1/"
  fi
  echo "/dev/ttyGS$(cat "$g/functions/acm.$1/port_num")"
}
gadget_plug() { echo "$2" >"$gadgets/$1/UDC"; }
gadget_unplug() { echo "" >"$gadgets/$1/UDC"; }
gadget_remove() {
  local g=$gadgets/$1 pid="simpid_$1"
  [ -d "$g" ] || return 0
  # The function's removal waits until its tty is closed: the far end goes first.
  if [ -n "${!pid:-}" ]; then
    kill -TERM "${!pid}" 2>/dev/null
    wait "${!pid}" 2>/dev/null
  fi
  [ -n "$(cat "$g/UDC" 2>/dev/null)" ] && gadget_unplug "$1"
  rm -f "$g"/configs/c.1/acm.* "$g"/configs/c.1/hid.*
  rmdir "$g"/configs/c.1/strings/0x409 "$g"/configs/c.1 "$g"/functions/* "$g"/strings/0x409 "$g" 2>/dev/null
  return 0
}
gadgets_remove_all() {
  local g
  for g in "$gadgets"/*; do [ -d "$g" ] && gadget_remove "${g##*/}"; done
  return 0
}
# The host's tty of a gadget plugged into controller UDC (dummy_udc.N is bus N+1's port 1).
host_tty() {
  local bus=$((${1##*.} + 1)) t
  for t in /sys/bus/usb/devices/"$bus"-1:1.0/tty/ttyACM*; do
    [ -e "$t" ] && echo "/dev/${t##*/}" && return 0
  done
  return 1
}

# The service's processor time (user and system, in clock ticks).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
