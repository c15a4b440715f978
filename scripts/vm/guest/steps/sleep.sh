# Sleep with a class running: the machine suspends (S3 where QEMU offers it, woken by the RTC),
# logind's PrepareForSleep makes the service close its receivers, and on resume it opens them
# again (the kernel resets the USB device on resume: its tty stays, and an open one hangs up).
# Answers the clickers gave just before the suspend, while the software service was not
# answering, are delivered after it, once.
# limit: 900
service_active || fail "the service is not running"
usb_setup
pkill -f ovanta-service-sim && sleep 1
# The sample lesson's class and quiz, started at once, with no question until this step asks.
lesson_scenario sleep "at 1 database-opened" "at 2 activate-class class-1" "at 5 activate-assessment lesson-quiz"
service_sim_start "$root/data/sleep.scenario"
tty=$(gadget_make sleeper 3000 OV-SLEEP-1)
receiver_sim_start sleeper "$tty" --clickers 30 --auto 30 --delay 300 1500 --mac-low 0A0B0020
gadget_plug sleeper dummy_udc.0
wait_until 300 "the class did not fill: $(control progress | head -1)" eval 'control progress | grep -q "30 clicker(s) signed in"'
control "activate-question q1" >/dev/null
wait_until 60 "question q1 did not reach the receiver" eval 'sim sleeper questions; sleep 0.3; grep -q "^  1 " "$dir/sleeper.out"'
# From here the software service does not answer: the clickers' answers wait in the service.
kill -STOP "$service_sim_pid"
answered() {
  local before
  before=$(wc -l <"$dir/sleeper.out")
  sim sleeper clickers
  sleep 0.3
  tail -n +"$((before + 1))" "$dir/sleeper.out" | grep -c 'answers=[1-9]' || true
}
wait_until 60 "the clickers did not answer" at_least 15 answered
given=$(answered)
echo "answers given before the suspend: $given"

mode=$(cat /sys/power/mem_sleep)
echo "sleep modes: $mode"
case $mode in *deep*) echo deep >/sys/power/mem_sleep ;; esac
successes=$(cat /sys/power/suspend_stats/success)
startups=$(startup_queries sleeper)
rtcwake -m no -s 20 >/dev/null || fail "rtcwake could not set the wake alarm"
t0=$(now)
systemctl suspend || fail "systemctl suspend failed"
wait_until 180 "the machine did not suspend and resume" more_than "$successes" cat /sys/power/suspend_stats/success
figure suspend_resume_s "$(elapsed "$t0" "$(now)")" s
kill -CONT "$service_sim_pid"
wait_until 60 "the service did not log the suspend" log_has "PBT_APMSUSPEND"
wait_until 60 "the service did not log the resume" log_has "PBT_APMRESUMESUSPEND"
wait_until 120 "the receiver was not opened again after the resume" more_than "$startups" startup_queries sleeper
delivered() { control progress | sed -n 's/.*answers:.* q1=\([0-9]*\).*/\1/p'; }
wait_until 240 "not every answer given before the suspend was delivered ($given given)" at_least "$given" delivered
submissions=$(control summary | sed -n 's/^Submissions: //p')
case $submissions in *"(0 duplicate)"*) ;; *) fail "submissions after the resume: $submissions" ;; esac
gadget_remove sleeper
pass "suspended ($(sed 's/.*\[\(.*\)\].*/\1/' /sys/power/mem_sleep)) and resumed; receiver closed and opened again; $given answers given before the suspend, $(delivered) delivered; submissions $submissions"
