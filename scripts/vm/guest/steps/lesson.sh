# A lesson through the kernel's USB stack: the software-service simulator's sample lesson (a
# class of thirty and a five-question quiz) on the machine's loopback, thirty clickers on a
# gadget receiver, every answer delivered once, and the results table as the demo prints it.
# limit: 900
service_active || fail "the service is not running"
usb_setup
pkill -f ovanta-service-sim && sleep 1
service_sim_start
tty=$(gadget_make lesson 3000 OV-LESSON-1)
receiver_sim_start lesson "$tty" --clickers 30 --auto 30 --delay 300 2500 --mac-low 0A0B0010
gadget_plug lesson dummy_udc.0

# Progress as the software service sees it, until the quiz has run and its review is over.
last=""
seen_quiz=""
answers=""
deadline=$(($(date +%s) + 600))
while [ "$(date +%s)" -lt "$deadline" ]; do
  line=$(control progress | head -1)
  if [ -n "$line" ] && [ "$line" != "$last" ]; then
    echo "[$(date +%T)] $line"
    last=$line
  fi
  case $line in *"answers: q"*) answers=${line##*answers: } ;; esac
  case $line in
    *"question q"* | *"assessment lesson-quiz running"*) seen_quiz=1 ;;
    *"no assessment running"*) [ -n "$seen_quiz" ] && break ;;
  esac
  sleep 1
done
[ -n "$seen_quiz" ] || fail "the quiz never ran (last progress: $last)"
sleep 3  # the review results reach the clickers
sim lesson results
sleep 1
reviewed=$(grep -c ' results ' "$dir/lesson.out" || true)
control summary >"$dir/summary.txt"
control results >"$dir/results.txt"
echo "== results, as the simulated software service recorded them =="
cat "$dir/results.txt"
for q in q1 q2 q3 q4 q5; do
  case " $answers " in *" $q=30 "*) ;; *) fail "not every answer arrived: $answers" ;; esac
done
submissions=$(sed -n 's/^Submissions: //p' "$dir/summary.txt")
case $submissions in *"(0 duplicate)"*) ;; *) fail "submissions: $submissions" ;; esac
[ "$reviewed" -eq 30 ] || fail "$reviewed of 30 clickers got their review results"
gadget_remove lesson
pass "30 clickers, 5 questions: $answers; submissions $submissions; 30 review results"
