#pragma once
// What the simulated session manager plays: a class with its students, one assessment, and a
// timeline of what the teacher does.
#include <optional>
#include <string>
#include <vector>

namespace ServiceSim {

struct Student {
  std::string number;  // what the student types on the clicker (the whois number)
  std::string id;      // the student id the service answers with
  std::string name;
};

// One teacher action, `at` seconds after the first receiver subscribed.
// Actions: activate-class, deactivate-class [logoff] [next-anonymous], activate-assessment,
// deactivate-assessment, activate-question ID, deactivate-question, network-name TEXT,
// disconnect-student STUDENT-ID, cancel-raised-hand STUDENT-ID, review-mode-off,
// database-opened, mode-switching.
struct TimelineEvent {
  double at = 0;
  std::string action;
  std::vector<std::string> args;
};

struct Scenario {
  std::string networkName = "Room 101";
  std::string classId = "class-1";
  bool anonymous = false;
  std::vector<Student> students;
  std::string assessmentId = "assessment-1";
  std::string assessmentXml;  // the assessment document served under /voxlet/database/
  std::string metadataRdf;    // its RDF/XML metadata
  std::vector<TimelineEvent> timeline;

  const Student* FindByNumber(const std::string& number) const;
  const Student* FindById(const std::string& id) const;
};

// Reads a scenario file: "key = value" lines (network-name, class-id, class-anonymous,
// student = NUMBER ID NAME..., assessment-id, assessment = FILE, metadata = FILE; files relative
// to the scenario's folder), "at SECONDS ACTION ARGS..." lines, '#' comments. Nothing, with
// `error` set, when the file or a line is unusable.
std::optional<Scenario> LoadScenario(const std::string& path, std::string& error);

// The known actions, for checking a timeline.
bool IsKnownAction(const std::string& action);

// Whole file as text; false when unreadable.
bool ReadWholeFile(const std::string& path, std::string& text);

}  // namespace ServiceSim
