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

// An assessment of a class: its id, its document and its RDF/XML metadata.
struct AssessmentSpec {
  std::string id;
  std::string xml;
  std::string rdf;
};

// A class: its id, whether clickers join it without login, its students and assessments.
struct ClassSpec {
  std::string id;
  bool anonymous = false;
  std::vector<Student> students;
  std::vector<AssessmentSpec> assessments;

  const Student* FindByNumber(const std::string& number) const;
  const AssessmentSpec* FindAssessment(const std::string& id) const;
};

// One teacher action, `at` seconds after the first receiver subscribed.
// Actions: activate-class [CLASS], deactivate-class [logoff] [next-anonymous], switch-class CLASS,
// activate-assessment [ASSESSMENT], deactivate-assessment, activate-question ID|NUMBER,
// next-question, deactivate-question, network-name TEXT, disconnect-student STUDENT-ID,
// cancel-raised-hand STUDENT-ID, review-mode-off, database-opened, mode-switching, and the
// simulator's own summary and results (print what was received and the results table).
struct TimelineEvent {
  double at = 0;
  std::string action;
  std::vector<std::string> args;
};

// The fields up to the timeline describe the first class; `classes`, when filled, describes all
// of them (a loaded scenario fills both).
struct Scenario {
  std::string networkName = "Room 101";
  std::string classId = "class-1";
  bool anonymous = false;
  std::vector<Student> students;
  std::string assessmentId = "assessment-1";
  std::string assessmentXml;  // the assessment document served under /voxlet/database/
  std::string metadataRdf;    // its RDF/XML metadata
  std::vector<TimelineEvent> timeline;
  std::vector<ClassSpec> classes;
  // What is already running when the simulator comes up (a session manager started again in
  // the middle of a lesson): a class, an assessment of it and its current question (by xml:id
  // or question number). Empty: nothing. No notification is queued for them; the activated
  // status shows them.
  std::string runningClass;
  std::string runningAssessment;
  std::string currentQuestion;

  // Every class: `classes`, or when it is empty the one class made of the fields above.
  std::vector<ClassSpec> AllClasses() const;
  const Student* FindByNumber(const std::string& number) const;
  const Student* FindById(const std::string& id) const;
};

// Reads a scenario file: "key = value" lines, "at SECONDS ACTION ARGS..." lines, '#' comments.
// Keys: network-name; class = ID [anonymous] (starts a class; the lines before the first one
// describe a first class, named by class-id); class-id, class-anonymous; student = NUMBER ID
// NAME...; assessment-id = ID (starts an assessment of the class); assessment = FILE and
// metadata = FILE (of the class's latest assessment; files relative to the scenario's folder);
// running-class, running-assessment, current-question (see Scenario).
// Nothing, with `error` set, when the file or a line is unusable.
std::optional<Scenario> LoadScenario(const std::string& path, std::string& error);

// The known actions, for checking a timeline.
bool IsKnownAction(const std::string& action);

// Empty when the running class, assessment and question name a class of the scenario, an
// assessment of that class and, for a question, an assessment; otherwise what is wrong. The
// question itself is looked up when the simulator starts.
std::string CheckRunning(const Scenario& scenario);

// Takes "CLASS[/ASSESSMENT[/QUESTION]]" into the scenario's running fields; false when empty or
// with more than three parts.
bool SetRunning(Scenario& scenario, const std::string& text);

// Whole file as text; false when unreadable.
bool ReadWholeFile(const std::string& path, std::string& text);

}  // namespace ServiceSim
