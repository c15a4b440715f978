# The power cut, after it: the service started by itself, the software service back (its
# ledger records every submission), the same receiver plugged in again with its clickers
# announcing themselves. Waits until the spooled answers have been taken up (the deliveries
# settle, past the 120 s after which a clicker that did not come back has its answers sent);
# the host compares the two ledgers.
# limit: 600
wait_until 120 "the service did not start by itself after the cut" service_active
usb_setup
service_sim_start_ledger() {
  "$bin/ovanta-service-sim" --port 8630 --scenario "$root/data/cut.scenario" --running class-1/lesson-quiz/q2 \
    --ledger "$dir/submissions.txt" >"$dir/service-sim.out" 2>&1 </dev/null &
  children+=($!)
  wait_until 30 "the software-service simulator did not start" grep -q 'listening on' "$dir/service-sim.out"
}
lesson_scenario cut
touch "$dir/submissions.txt"
service_sim_start_ledger
tty=$(gadget_make cutter 3000 OV-CUT-1)
receiver_sim_start cutter "$tty" --clickers 30 --auto 30 --no-auto-answers --delay 300 1500 --mac-low 0A0B0030
gadget_plug cutter dummy_udc.0
started=$(date +%s)
last=-1
quiet_since=$(date +%s)
while :; do
  n=$(wc -l <"$dir/submissions.txt")
  [ "$n" != "$last" ] && quiet_since=$(date +%s) && last=$n
  now_s=$(date +%s)
  [ $((now_s - started)) -ge 140 ] && [ $((now_s - quiet_since)) -ge 20 ] && break
  [ $((now_s - started)) -ge 400 ] && break
  sleep 1
done
echo "submissions received: $(wc -l <"$dir/submissions.txt")"
grep -a "spool\|whole answer" "$service_log" | tail -20
pass "the software service received $(wc -l <"$dir/submissions.txt") submissions after the cut (the host compares them with the ledger)"
