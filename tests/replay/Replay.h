#pragma once
// Plays a replay script against the service binary with both simulators and writes the
// transcript of what the software service received and what went over the receiver's line.
//
// A script is plain text, one step per line ('#' starts a comment). Before the first step:
//   clickers N            the receiver's clickers 0 .. N-1 (default 4)
//   setting NAME=VALUE    a value of the hardware-service key in the registry store
// Steps (I = clicker index, Q = question number):
//   start                 the service binary starts (again, once it has ended)
//   stop                  Ctrl-C to the service binary
//   kill TERM|KILL        SIGTERM (the Windows service: Ctrl-C) or SIGKILL to the service
//                         binary, which has ended after it
//   spool cut N           the last N bytes of the answer spool's records lost (service ended)
//   spool flip B          bit B of the middle byte of its records flipped (service ended)
//   spool read-only       the answer spool's directory cannot be written, not even by root
//   teacher LINE          a teacher's action on the software service (its control lines)
//   join I [STUDENT] | login I STUDENT | choice|number|short|text|math I Q TEXT... |
//   hand I [0|1] | battery I LOW QUALITY | end I | logoff I
//                         a clicker's action on the receiver
//   replug                the receiver is pulled out and plugged in again under the same path
//   service hold PATH     the software service answers no request on PATH (a prefix) from now on
//   service reply [PATH STATUS TYPE BODY...]
//                         the software service answers every request on exactly PATH with that
//                         reply instead (not recorded); without PATH, as it should again
//   service release       the software service answers the requests it holds, and holds no more
//   service stall-poll    the receiver's next poll gets no reply: its connection stays open and
//                         silent (later polls are answered)
//   service drop-stalled  the software service closes the stalled poll's connection, no reply
//   service stop          the software service stops (what it knew is gone with it)
//   service start [CLASS[/ASSESSMENT[/QUESTION]]]
//                         a new software service on the same port, with that much running
//   expect duplicates N   the software service has recorded exactly N duplicate submissions
//                         (the same document of the same endpoint again); fails at once if not
//   wait CONDITION        waits (with a deadline) until the condition holds; see Replay.cpp
// The steps up to a run of waits form one section of the transcript, and the waits are its end:
// whatever arrives before the last of them is written in that section.
#include <optional>
#include <string>
#include <vector>

namespace Replay {

struct Step {
  int line = 0;
  std::string text;
  std::vector<std::string> words;
  bool IsWait() const { return !words.empty() && words[0] == "wait"; }
};

struct Script {
  int clickers = 4;
  std::vector<std::string> settings;
  std::vector<Step> steps;
};

std::optional<Script> ParseScript(const std::string& text, std::string& error);

struct Outcome {
  bool ok = false;
  std::string transcript;  // as far as the script got
  std::string error;       // why it stopped early, with the service's last log lines
  std::string log;         // the service's log as far as it got
};

// Plays the script; `simData` is the software-service simulator's data folder (its sample lesson).
Outcome Play(const Script& script, const std::string& simData);

}  // namespace Replay
