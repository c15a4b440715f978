#!/usr/bin/env python3
"""The fault campaign's verdicts (scripts/chaos) on ledgers written here in the simulators'
formats: what counts as delivered once, refused, lost within the SIGKILL window, resent without a
verdict, and what fails the run."""
import os
import sys
import tempfile
import unittest
from importlib.machinery import SourceFileLoader

chaos = SourceFileLoader("chaos", sys.argv.pop(1)).load_module()

RX = "00-12-4B-00-0A-0B-0C-0D"
MAC = chaos.clicker_mac(0, 0)  # student 2001
OTHER = chaos.clicker_mac(1, 3)
T = 1796840000000


def ack(ms, mac, question, kind, text, address="0100"):
    return f"{ms} answer {RX} {mac} {address} {question} {kind} 4142 {text}\n"


def seen(ms, outcome, status, mac, question, answer, digest="00000000000000aa", delay=0, student="s-2001",
         endpoint="clickerhardware.receiver.x.256"):
    return (f"{ms} {outcome} {status} {delay} {endpoint} {student} {mac} class-a quiz-1 {question} {digest} "
            f"{answer}\n")


class Verdicts(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def verdict(self, receiver, service, events=(), kills=(), window=50):
        with open(os.path.join(self.dir.name, "receiver-0.ledger"), "w") as f:
            f.write("".join(receiver))
        with open(os.path.join(self.dir.name, "service.ledger"), "w") as f:
            f.write("".join(service))
        ledger = chaos.Ledger(self.dir.name)
        counts, failures, gaps = chaos.classify(ledger, list(events), list(kills), window)
        return ledger, counts, [(what, key) for what, key, _, _ in failures], gaps

    def test_each_answer_is_told_apart_by_its_number_or_its_choice_letter(self):
        _, counts, failures, _ = self.verdict(
            [ack(T, MAC, 2, "number", "41"), ack(T + 1, MAC, 4, "text", "answer 42"), ack(T + 2, MAC, 1, "choice", "c"),
             ack(T + 3, OTHER, 5, "math", "x^{43}")],
            [seen(T + 10, "accepted", 200, MAC, "q2", "41"), seen(T + 11, "accepted", 200, MAC, "q4", "answer 42"),
             seen(T + 12, "accepted", 200, MAC, "q1", "C"),
             # The MAC is not known once the simulator restarted: the student names the clicker.
             seen(T + 13, "accepted", 200, "-", "q5", "\\[x^{43}\\]", student="s-2054")])
        self.assertEqual(failures, [])
        self.assertEqual((counts["acknowledged"], counts["delivered once"]), (4, 4))

    def test_an_acknowledged_answer_never_accepted_is_lost_unless_a_sigkill_followed_within_the_window(self):
        _, counts, failures, gaps = self.verdict(
            [ack(T, MAC, 2, "number", "1"), ack(T + 1000, MAC, 2, "number", "2"), ack(T + 5000, MAC, 2, "number", "3")],
            # 503 and a closed connection are no verdict: the answer is still owed.
            [seen(T + 10, "unavailable", 503, "-", "q2", "1"), seen(T + 20, "reset", 0, "-", "q2", "1")],
            kills=[T + 1020, T + 5300])
        self.assertEqual(failures, [("lost", ("token", MAC, 1)), ("lost", ("token", MAC, 3))])
        self.assertEqual((counts["lost"], counts["lost in the kill window"]), (2, 1))
        self.assertEqual(gaps, [20])

    def test_a_byte_identical_resend_counts_once_only_after_an_exchange_without_a_verdict(self):
        _, counts, failures, _ = self.verdict(
            [ack(T, MAC, 2, "number", "1"), ack(T, MAC, 2, "number", "2"), ack(T, MAC, 2, "number", "3"),
             ack(T, MAC, 2, "number", "4")],
            [seen(T + 10, "accepted", 200, MAC, "q2", "1", delay=35000),  # held past the exchange limit
             seen(T + 30010, "accepted", 200, MAC, "q2", "1"),
             seen(T + 10000, "accepted", 200, MAC, "q2", "2"),  # answered at once, and yet sent again
             seen(T + 12000, "accepted", 200, MAC, "q2", "2"),
             seen(T + 10, "accepted", 200, MAC, "q2", "3"),  # a service restart between the two copies
             seen(T + 9000, "accepted", 200, MAC, "q2", "3"),
             seen(T + 10, "accepted", 200, MAC, "q2", "4", delay=35000),  # not the same document
             seen(T + 30010, "accepted", 200, MAC, "q2", "4", digest="00000000000000bb")],
            events=[(T + 5000, "hw-term", "")])
        self.assertEqual(failures, [("duplicated", ("token", MAC, 2)), ("duplicated", ("token", MAC, 4))])
        self.assertEqual((counts["delivered once"], counts["resends"]), (2, 2))

    def test_a_lesson_move_between_two_copies_does_not_excuse_a_duplicate(self):
        _, _, failures, _ = self.verdict(
            [ack(T, MAC, 2, "number", "1")],
            [seen(T + 10, "accepted", 200, MAC, "q2", "1"), seen(T + 9000, "accepted", 200, MAC, "q2", "1")],
            events=[(T + 5000, "class-switch", ""), (T + 6000, "clicker-off", "")])
        self.assertEqual(failures, [("duplicated", ("token", MAC, 1))])

    def test_a_refusal_is_a_verdict_and_review_mode_is_looked_up_for_the_clicker(self):
        review = f"{T + 50} review {RX} {MAC} 0100\n"
        _, counts, failures, _ = self.verdict(
            [ack(T, MAC, 2, "number", "1"), review, ack(T, OTHER, 2, "number", "2")],
            [seen(T + 10, "refused", 403, MAC, "q2", "1"),
             seen(T + 10, "refused", 403, OTHER, "q2", "2", student="s-2054")])
        self.assertEqual(failures, [])
        self.assertEqual((counts["refused"], counts["refused, review mode"]), (2, 1))

    def test_a_refusal_because_the_clickers_goodbye_came_first_is_a_loss(self):
        _, counts, failures, _ = self.verdict(
            [ack(T, MAC, 2, "number", "1"), ack(T, MAC, 2, "number", "2")],
            [seen(T + 10, "after-goodbye", 404, "-", "q2", "1"), seen(T + 20, "after-goodbye", 404, "-", "q2", "2"),
             seen(T + 30, "refused", 403, "-", "q2", "2")])
        self.assertEqual(failures, [("after-goodbye", ("token", MAC, 1))])
        self.assertEqual((counts["refused after the goodbye"], counts["refused"]), (1, 1))

    def test_what_no_acknowledgement_covers_is_reported_apart(self):
        ledger, counts, failures, _ = self.verdict(
            [ack(T, MAC, 2, "number", "1")],
            [seen(T + 10, "accepted", 200, MAC, "q2", "1"), seen(T + 20, "accepted", 200, MAC, "q2", "3"),
             seen(T + 30, "refused", 403, MAC, "-", "-"),  # a session end's empty submission
             seen(T + 40, "accepted", 200, "-", "q2", "5", student="s-9999", endpoint="unknown")])
        self.assertEqual(failures, [])
        self.assertEqual(counts["delivered, acknowledgement not seen"], 1)
        self.assertEqual((ledger.empty, ledger.unattributed), (1, 1))


if __name__ == "__main__":
    unittest.main()
