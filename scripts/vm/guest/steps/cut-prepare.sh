# The power cut, before it: a class runs, then the software service goes away and the clickers
# go on answering (number answers, each clicker's own and never the same twice); the receiver
# simulator's ledger of what the service acknowledged leaves the machine through a
# virtio-serial port as it is written. Once enough answers were acknowledged the console says
# "cut-ready", and the host ends QEMU while the clickers still answer: this step has no end.
# limit: 900
service_active || fail "the service is not running"
usb_setup
port=/dev/virtio-ports/ovanta.ledger
wait_until 30 "no virtio-serial port for the ledger" test -e "$port"
pkill -f ovanta-service-sim && sleep 1
lesson_scenario cut "at 1 database-opened" "at 2 activate-class class-1" "at 5 activate-assessment lesson-quiz" \
  "at 8 activate-question q2"
service_sim_start "$root/data/cut.scenario"
tty=$(gadget_make cutter 3000 OV-CUT-1)
receiver_sim_start cutter "$tty" --clickers 30 --auto 30 --no-auto-answers --delay 300 1500 \
  --mac-low 0A0B0030 --ledger "$port"
gadget_plug cutter dummy_udc.0
wait_until 300 "the class did not fill: $(control progress | head -1)" eval 'control progress | grep -q "30 clicker(s) signed in"'
wait_until 60 "question q2 did not reach the receiver" eval 'sim cutter questions; sleep 0.3; grep -q "^  2 " "$dir/cutter.out"'
# The software service goes away (its process ended). The hardware service then ends the class
# and powers the clickers off; the simulated clickers answer on regardless, as packets the
# receiver still passes on and the service still acknowledges, and those must be kept as well.
kill -TERM "$service_sim_pid"
wait "$service_sim_pid" 2>/dev/null
for round in $(seq 1 200); do
  for i in $(seq 0 29); do
    sim cutter "number $i 2 $round"
    sleep 0.05
  done
  if [ "$round" = 3 ]; then
    sim cutter clickers
    sleep 0.5
    states=$(grep -o '^[0-9]* 0x0[0-9a-f]* [a-z-]*' "$dir/cutter.out" | tail -30 | awk '{print $3}' | sort | uniq -c | tr -s ' \n' ' ')
    echo "ovanta-vm: cut-ready (clickers:$states; refused commands: $(grep -c '^receiver-sim:' "$dir/cutter.out"))" >/dev/console
  fi
done
fail "the machine was not cut"
