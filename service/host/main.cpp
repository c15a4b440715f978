#include <cstdio>

#include "platform/SystemServices.h"
#include "service/ServiceHost.h"

int main(int argc, char** argv) {
  // A console that goes away (standard error closed under "-d") must not end the service:
  // writes to it then fail and are dropped.
  Platform::IgnoreBrokenPipes();
  if (const auto status = AnswerOnTerminal(argc, argv, {OVANTA_VERSION, OVANTA_GIT_COMMIT}, stdout, stderr))
    return *status;
  return win32tmain(argc, argv);
}
