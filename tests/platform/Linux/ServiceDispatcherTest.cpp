// Whether the systemd backend runs the service: only in the service's own unit, as systemd's
// record of the process says, whatever environment the process inherited.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Linux/SystemdServiceControl.h"

namespace {

constexpr const char* kName = "Ovanta Hardware";

// The variables systemd sets for a service, as a shell started from one inherits them.
class InheritedServiceEnvironment {
 public:
  InheritedServiceEnvironment() {
    setenv("INVOCATION_ID", "5f1d0e3c9a8b4e7f8a6b2c1d0e9f8a7b", 1);
    setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
  }
  ~InheritedServiceEnvironment() {
    unsetenv("INVOCATION_ID");
    unsetenv("NOTIFY_SOCKET");
  }
};

// RunDispatcher with the unit that systemd is made to answer for this process (none for
// nullopt): whether it ran the service's main, and the error when it did not.
struct Dispatch {
  bool ran = false, returned = false;
  std::string error;
};
Dispatch RunWithUnit(Platform::UnitOfProcess unitOfProcess) {
  auto control = Platform::MakeSystemdServiceControl(std::move(unitOfProcess));
  Dispatch dispatch;
  dispatch.returned = control->RunDispatcher(
      kName, [&] { dispatch.ran = true; }, [](const Platform::ServiceControlRequest&) { return 0u; }, dispatch.error);
  return dispatch;
}
Platform::UnitOfProcess Answering(std::optional<std::string> unit) {
  return [unit](std::string& answer) {
    if (unit) answer = *unit;
    return unit.has_value();
  };
}

TEST(ServiceDispatcher, OnlyTheServicesOwnUnitRunsItWhateverTheEnvironmentSays) {
  {
    const InheritedServiceEnvironment inherited;
    for (const auto& unit : {std::optional<std::string>(), std::optional<std::string>("session-2.scope"),
                             std::optional<std::string>("ovanta-hardware-old.service")}) {
      const Dispatch dispatch = RunWithUnit(Answering(unit));
      EXPECT_FALSE(dispatch.returned) << unit.value_or("no unit");
      EXPECT_FALSE(dispatch.ran);
      EXPECT_EQ(dispatch.error, "The service process could not connect to the service controller.");
    }
    // The real question, asked of this test process, which no service manager runs as the service.
    std::string unit;
    EXPECT_FALSE(Platform::SystemdUnitOfThisProcess(unit) && unit == Platform::UnitName(kName)) << unit;
    EXPECT_FALSE(RunWithUnit({}).ran);
  }
  // Without any of those variables, the unit systemd names is what counts.
  const Dispatch dispatch = RunWithUnit(Answering("ovanta-hardware.service"));
  EXPECT_TRUE(dispatch.returned) << dispatch.error;
  EXPECT_TRUE(dispatch.ran);
}

}  // namespace
