#pragma once
#include <cstddef>
#include <functional>
#include <memory>

#include "bridge/AnswerSpool.h"

namespace Voxlet {
class Client;
using ClientPtr = std::shared_ptr<Client>;
}  // namespace Voxlet

// What the session needs from the outside world; tests replace it.
struct SessionEnvironment {
  // The software-service client (Client(true, no user, no password)); null when the client
  // library is not live.
  std::function<Voxlet::ClientPtr()> makeClient;
  // The pause the send queue keeps after a power-down, a network stop and a network start (the
  // class lifecycle and the loss of the software service).
  int powerDownStepMs = 2000;
  // How long a class switch waits for the clickers' log-offs.
  int switchWaitMs = 60000;
  // How long the goodbye of a receiver that closes waits for the clickers' answers on their way,
  // and for the goodbye's own reply.
  int farewellWaitMs = 5000;
  int goodbyeWaitMs = 15000;
  // Answers held while the software service is away, delivered when it is back: as many as the
  // spool holds, or, without a working spool, this many in memory.
  size_t heldAnswerLimit = 4096;
  // Where answers are kept until the software service has taken them; null for none.
  std::shared_ptr<AnswerSpool> spool;
  // How many ticks answers from the spool wait for their clicker to be announced again before
  // they are sent all the same.
  int spooledAnswerWaitTicks = 120;
  // How long the simulated-answers mode waits before its first question.
  int simulatedAnswersFirstWaitMs = 20000;
  // An assessment without a current question sends its whole question list (in question-number
  // order) instead of nothing.
  bool sendWholeAssessment = false;
};
