#pragma once
// The service simulator's sample lesson without its timeline, for tests that play the teacher
// themselves.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tools/service-sim/Scenario.h"

inline ServiceSim::Scenario SampleLessonWithoutTimeline() {
  std::string error;
  std::optional<ServiceSim::Scenario> scenario =
      ServiceSim::LoadScenario(std::string(OVANTA_SERVICE_SIM_DATA) + "/lesson.scenario", error);
  if (!scenario) ADD_FAILURE() << error;
  ServiceSim::Scenario lesson = scenario ? *scenario : ServiceSim::Scenario{};
  lesson.timeline.clear();
  return lesson;
}
