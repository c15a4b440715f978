#include "tools/service-sim/Results.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tools/service-sim/SimText.h"

namespace ServiceSim {

namespace {

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// An answer as the table shows it: plain when it is one short word, quoted otherwise.
std::string Shown(const std::string& answer) {
  if (answer.empty()) return "(empty)";
  const bool plain = answer.size() <= 12 && answer.find(' ') == std::string::npos;
  return plain ? answer : "\"" + answer + "\"";
}

}  // namespace

std::optional<double> ResultsTable::StudentRow::Score() const {
  if (possible <= 0) return std::nullopt;
  return earned / possible;
}

int ResultsTable::Submitted() const {
  return static_cast<int>(
      std::count_if(students.begin(), students.end(), [](const StudentRow& s) { return s.submitted; }));
}

ResultsTable ComputeResults(const std::string& classId, const std::string& assessmentId, const AssessmentKey& key,
                            const std::vector<Student>& roster, const std::vector<RecordedAnswer>& answers) {
  ResultsTable table;
  table.classId = classId;
  table.assessmentId = assessmentId;
  std::map<std::string, size_t> row;  // student id -> index in table.students
  for (const Student& s : roster) {
    row.emplace(s.id, table.students.size());
    table.students.push_back({s.id, s.number, s.name, false, {}, 0, 0});
  }
  std::vector<std::string> others;
  for (const RecordedAnswer& a : answers)
    if (!row.count(a.studentId) && std::find(others.begin(), others.end(), a.studentId) == others.end())
      others.push_back(a.studentId);
  std::sort(others.begin(), others.end());
  for (const std::string& id : others) {
    row.emplace(id, table.students.size());
    table.students.push_back({id, "", "", false, {}, 0, 0});
  }

  for (const RecordedAnswer& a : answers) {
    ResultsTable::StudentRow& s = table.students[row.at(a.studentId)];
    s.submitted = true;
    if (const QuestionKey* q = key.Find(a.questionId); q && !a.questionId.empty())
      s.responses[a.questionId] = {a.answer, GradeAnswer(*q, a.answer)};
  }

  double possible = 0;
  for (const QuestionKey& q : key.questions)
    if (!q.options.empty()) possible += q.points;
  for (ResultsTable::StudentRow& s : table.students) {
    s.possible = possible;
    for (const auto& [id, response] : s.responses) s.earned += response.grade.earned;
  }

  for (const QuestionKey& q : key.questions) {
    ResultsTable::QuestionRow r{q.id, q.number, q.format.empty() ? "other" : q.format, q.points, 0, {}};
    for (const ResultsTable::StudentRow& s : table.students) {
      const auto it = s.responses.find(q.id);
      if (it == s.responses.end()) continue;
      ++r.answered;
      auto spread = std::find_if(r.spread.begin(), r.spread.end(),
                                 [&](const ResultsTable::Spread& x) { return x.answer == it->second.answer; });
      if (spread == r.spread.end()) {
        r.spread.push_back({it->second.answer, 0, it->second.grade.verdict});
        spread = r.spread.end() - 1;
      }
      ++spread->count;
    }
    std::stable_sort(r.spread.begin(), r.spread.end(),
                     [](const ResultsTable::Spread& a, const ResultsTable::Spread& b) {
                       return a.count != b.count ? a.count > b.count : a.answer < b.answer;
                     });
    table.questions.push_back(std::move(r));
  }
  return table;
}

std::string FormatResults(const ResultsTable& table) {
  std::ostringstream out;
  const size_t rosterSize = static_cast<size_t>(
      std::count_if(table.students.begin(), table.students.end(), [](const auto& s) { return !s.number.empty(); }));
  out << "Results of assessment " << table.assessmentId << " in class " << table.classId << ": " << table.Submitted()
      << " student(s) submitted, " << rosterSize << " on the roster\n";
  for (const ResultsTable::QuestionRow& q : table.questions) {
    out << "  Question " << q.number << " " << q.id << " (" << q.format << ", " << Number(q.points) << " point"
        << (q.points == 1 ? "" : "s") << "): " << q.answered << " answered\n";
    for (const ResultsTable::Spread& s : q.spread) {
      char count[16];
      std::snprintf(count, sizeof count, "%6d", s.count);
      out << "    " << count << "  " << Shown(s.answer);
      if (s.verdict != Verdict::Opinion) out << "  (" << VerdictText(s.verdict) << ")";
      out << "\n";
    }
  }
  out << "  Students:\n";
  for (const ResultsTable::StudentRow& s : table.students) {
    out << "    " << s.id;
    if (!s.number.empty()) out << " (" << s.number << (s.name.empty() ? "" : " " + s.name) << ")";
    out << ":";
    if (!s.submitted) {
      out << " no submission\n";
      continue;
    }
    for (const ResultsTable::QuestionRow& q : table.questions) {
      const auto it = s.responses.find(q.id);
      if (it == s.responses.end()) continue;
      out << " " << q.id << "=" << Shown(it->second.answer);
      if (it->second.grade.verdict == Verdict::Correct) out << "(+)";
      if (it->second.grade.verdict == Verdict::Incorrect) out << "(-)";
    }
    if (s.responses.empty()) out << " (no answers)";
    if (const auto score = s.Score()) {
      char percent[32];
      std::snprintf(percent, sizeof percent, "%.1f%%", *score * 100);
      out << "  score " << Number(s.earned) << "/" << Number(s.possible) << " = " << percent << "\n";
    } else {
      out << "  score -\n";
    }
  }
  return out.str();
}

std::string SubmissionsXml(const ResultsTable& table) {
  std::string xml = "<voxlet:submissions xmlns:voxlet=\"" + kVocabulary + "\">";
  for (const ResultsTable::StudentRow& s : table.students) {
    if (!s.submitted) continue;
    const auto score = s.Score();
    char scoreText[32] = "nan";
    if (score) std::snprintf(scoreText, sizeof scoreText, "%.6g", *score);
    xml += "<voxlet:submission voxlet:studentid=\"" + XmlEscape(s.id) + "\" voxlet:score=\"" + scoreText + "\">";
    for (const ResultsTable::QuestionRow& q : table.questions) {
      const auto it = s.responses.find(q.id);
      if (it == s.responses.end()) continue;
      xml += "<voxlet:response voxlet:questionid=\"" + XmlEscape(q.id) + "\" voxlet:correct=\"" +
             VerdictText(it->second.grade.verdict) + "\" voxlet:points=\"" + Number(it->second.grade.earned) + "\">" +
             XmlEscape(it->second.answer) + "</voxlet:response>";
    }
    xml += "</voxlet:submission>";
  }
  return xml + "</voxlet:submissions>";
}

std::string WithSubmissions(const std::string& assessmentXml, const ResultsTable& table) {
  const std::string block = SubmissionsXml(table);
  const size_t start = assessmentXml.find("<voxlet:submissions");
  if (start != std::string::npos) {
    const size_t tagEnd = assessmentXml.find('>', start);
    if (tagEnd != std::string::npos) {
      size_t end = std::string::npos;
      if (assessmentXml[tagEnd - 1] == '/') {
        end = tagEnd + 1;
      } else {
        const std::string close = "</voxlet:submissions>";
        const size_t at = assessmentXml.find(close, tagEnd);
        if (at != std::string::npos) end = at + close.size();
      }
      if (end != std::string::npos) return assessmentXml.substr(0, start) + block + assessmentXml.substr(end);
    }
  }
  const size_t rootEnd = assessmentXml.rfind("</voxlet:assessment>");
  if (rootEnd == std::string::npos) return assessmentXml;
  return assessmentXml.substr(0, rootEnd) + block + assessmentXml.substr(rootEnd);
}

}  // namespace ServiceSim
