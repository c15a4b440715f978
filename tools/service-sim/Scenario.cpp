#include "tools/service-sim/Scenario.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tools/service-sim/SimText.h"

namespace ServiceSim {

namespace {

std::string Trim(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool ParseTimelineLine(const std::string& line, TimelineEvent& event, std::string& error) {
  const std::vector<std::string> words = Words(line);
  if (words.size() < 3) return error = "timeline line needs a time and an action: " + line, false;
  try {
    size_t used = 0;
    event.at = std::stod(words[1], &used);
    if (used != words[1].size() || event.at < 0) throw std::invalid_argument(words[1]);
  } catch (const std::exception&) {
    return error = "bad time in: " + line, false;
  }
  event.action = words[2];
  if (!IsKnownAction(event.action)) return error = "unknown action: " + event.action, false;
  event.args.assign(words.begin() + 3, words.end());
  return true;
}

}  // namespace

const Student* ClassSpec::FindByNumber(const std::string& number) const {
  for (const Student& s : students)
    if (s.number == number) return &s;
  return nullptr;
}

const AssessmentSpec* ClassSpec::FindAssessment(const std::string& id) const {
  for (const AssessmentSpec& a : assessments)
    if (a.id == id) return &a;
  return nullptr;
}

std::vector<ClassSpec> Scenario::AllClasses() const {
  if (!classes.empty()) return classes;
  ClassSpec only{classId, anonymous, students, {}};
  only.assessments.push_back({assessmentId, assessmentXml, metadataRdf});
  return {only};
}

const Student* Scenario::FindByNumber(const std::string& number) const {
  for (const Student& s : students)
    if (s.number == number) return &s;
  return nullptr;
}

const Student* Scenario::FindById(const std::string& id) const {
  for (const Student& s : students)
    if (s.id == id) return &s;
  return nullptr;
}

bool IsKnownAction(const std::string& action) {
  static const char* const known[] = {"activate-class",
                                      "deactivate-class",
                                      "switch-class",
                                      "activate-assessment",
                                      "deactivate-assessment",
                                      "activate-question",
                                      "next-question",
                                      "deactivate-question",
                                      "network-name",
                                      "disconnect-student",
                                      "cancel-raised-hand",
                                      "review-mode-off",
                                      "database-opened",
                                      "mode-switching",
                                      "hold-notifications",
                                      "release-notifications",
                                      "summary",
                                      "results"};
  return std::find(std::begin(known), std::end(known), action) != std::end(known);
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return true;
}

std::optional<Scenario> LoadScenario(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  Scenario scenario;
  std::vector<ClassSpec>& classes = scenario.classes;
  // The class the lines describe; the lines before any "class =" describe the first class.
  auto currentClass = [&]() -> ClassSpec& {
    if (classes.empty()) classes.push_back({scenario.classId, scenario.anonymous, {}, {}});
    return classes.back();
  };
  bool implicitAssessment = false;  // the class's assessment was started by a file, not by its id
  auto currentAssessment = [&]() -> AssessmentSpec& {
    ClassSpec& c = currentClass();
    if (c.assessments.empty()) {
      c.assessments.push_back({scenario.assessmentId, {}, {}});
      implicitAssessment = true;
    }
    return c.assessments.back();
  };
  bool classLineSeen = false;
  const std::string folder = FolderOf(path);
  int lineNumber = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++lineNumber;
    const std::string line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
    if (line.rfind("at ", 0) == 0) {
      TimelineEvent event;
      if (!ParseTimelineLine(line, event, error)) return error = where + error, std::nullopt;
      scenario.timeline.push_back(std::move(event));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return error = where + "expected key = value", std::nullopt;
    const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (key == "network-name") {
      scenario.networkName = value;
    } else if (key == "class") {
      const std::vector<std::string> words = Words(value);
      if (words.empty() || words.size() > 2 || (words.size() == 2 && words[1] != "anonymous"))
        return error = where + "class = ID [anonymous]", std::nullopt;
      for (const ClassSpec& c : classes)
        if (c.id == words[0]) return error = where + "class " + words[0] + " given twice", std::nullopt;
      // The first "class =" names the first class unless lines before it described one.
      if (classLineSeen || !classes.empty()) classes.push_back({});
      implicitAssessment = false;
      ClassSpec& c = currentClass();
      c.id = words[0];
      c.anonymous = words.size() == 2;
      classLineSeen = true;
    } else if (key == "class-id") {
      currentClass().id = value;
    } else if (key == "class-anonymous") {
      currentClass().anonymous = value == "true" || value == "1";
    } else if (key == "assessment-id") {
      ClassSpec& c = currentClass();
      if (c.FindAssessment(value) && !implicitAssessment)
        return error = where + "assessment " + value + " given twice", std::nullopt;
      // Files given before the class's first assessment-id belong to the assessment it names.
      if (implicitAssessment)
        c.assessments.back().id = value;
      else
        c.assessments.push_back({value, {}, {}});
      implicitAssessment = false;
    } else if (key == "student") {
      const std::vector<std::string> words = Words(value);
      if (words.size() < 2) return error = where + "student = NUMBER ID [NAME...]", std::nullopt;
      Student s{words[0], words[1], {}};
      for (size_t i = 2; i < words.size(); ++i) s.name += (i > 2 ? " " : "") + words[i];
      if (currentClass().FindByNumber(s.number))
        return error = where + "student number " + s.number + " given twice", std::nullopt;
      currentClass().students.push_back(std::move(s));
    } else if (key == "running-class") {
      scenario.runningClass = value;
    } else if (key == "running-assessment") {
      scenario.runningAssessment = value;
    } else if (key == "current-question") {
      scenario.currentQuestion = value;
    } else if (key == "assessment" || key == "metadata") {
      AssessmentSpec& a = currentAssessment();
      std::string& target = key == "assessment" ? a.xml : a.rdf;
      const std::string file = !value.empty() && value.front() == '/' ? value : folder + "/" + value;
      if (!ReadWholeFile(file, target)) return error = where + "cannot read " + file, std::nullopt;
    } else {
      return error = where + "unknown key " + key, std::nullopt;
    }
  }
  std::stable_sort(scenario.timeline.begin(), scenario.timeline.end(),
                   [](const TimelineEvent& a, const TimelineEvent& b) { return a.at < b.at; });
  // The first class is also given in the single-class fields.
  if (!classes.empty()) {
    const ClassSpec& first = classes.front();
    scenario.classId = first.id;
    scenario.anonymous = first.anonymous;
    scenario.students = first.students;
    if (!first.assessments.empty()) {
      scenario.assessmentId = first.assessments.front().id;
      scenario.assessmentXml = first.assessments.front().xml;
      scenario.metadataRdf = first.assessments.front().rdf;
    }
  }
  if (const std::string wrong = CheckRunning(scenario); !wrong.empty())
    return error = path + ": " + wrong, std::nullopt;
  return scenario;
}

std::string CheckRunning(const Scenario& scenario) {
  if (scenario.runningClass.empty())
    return scenario.runningAssessment.empty() && scenario.currentQuestion.empty()
               ? std::string()
               : "a running assessment or question needs a running class";
  const std::vector<ClassSpec> classes = scenario.AllClasses();
  const auto cls =
      std::find_if(classes.begin(), classes.end(), [&](const ClassSpec& c) { return c.id == scenario.runningClass; });
  if (cls == classes.end()) return "no class " + scenario.runningClass + " to be running";
  if (!scenario.runningAssessment.empty() && !cls->FindAssessment(scenario.runningAssessment))
    return "class " + cls->id + " has no assessment " + scenario.runningAssessment;
  if (!scenario.currentQuestion.empty() && scenario.runningAssessment.empty())
    return "a current question needs a running assessment";
  return {};
}

bool SetRunning(Scenario& scenario, const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, '/');) parts.push_back(part);
  if (parts.empty() || parts.size() > 3 || parts[0].empty()) return false;
  scenario.runningClass = parts[0];
  scenario.runningAssessment = parts.size() > 1 ? parts[1] : std::string();
  scenario.currentQuestion = parts.size() > 2 ? parts[2] : std::string();
  return true;
}

}  // namespace ServiceSim
