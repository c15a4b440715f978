#pragma once
// The results of one assessment from the submissions recorded: per question how many answered
// and how the answers spread, per student the answers and the score; and the submissions
// block of the assessment document that the hardware service reads the results from.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/service-sim/Grading.h"
#include "tools/service-sim/Scenario.h"

namespace ServiceSim {

// One submission as recorded, in arrival order; an empty question id is a submission without
// an answer (the clicker ended its session).
struct RecordedAnswer {
  std::string studentId;
  std::string questionId;
  std::string answer;
};

struct ResultsTable {
  std::string classId, assessmentId;

  struct Spread {
    std::string answer;
    int count = 0;
    Verdict verdict = Verdict::Opinion;
  };
  struct QuestionRow {
    std::string id;
    int number = 0;
    std::string format;
    double points = 0;
    int answered = 0;
    std::vector<Spread> spread;  // most frequent first, then by answer text
  };
  struct Response {
    std::string answer;
    Grade grade;
  };
  struct StudentRow {
    std::string id, number, name;  // number and name empty for a student not on the roster
    bool submitted = false;
    std::map<std::string, Response> responses;  // by question id; the latest answer counts
    double earned = 0;
    double possible = 0;                  // the points of every question with a marked answer
    std::optional<double> Score() const;  // earned / possible; nothing when possible is 0
  };

  std::vector<QuestionRow> questions;  // in assessment order
  std::vector<StudentRow> students;    // the roster in order, then others by id
  int Submitted() const;
};

// Answers to questions the key does not hold are left out; a later answer of a student to a
// question replaces the earlier one.
ResultsTable ComputeResults(const std::string& classId, const std::string& assessmentId, const AssessmentKey& key,
                            const std::vector<Student>& roster, const std::vector<RecordedAnswer>& answers);

// The table as text for a person.
std::string FormatResults(const ResultsTable& table);

// The voxlet:submissions element: one voxlet:submission (student id, score as a fraction or
// "nan") per student who submitted, with a voxlet:response (question id, correct) per answer.
std::string SubmissionsXml(const ResultsTable& table);

// The assessment document with its submissions element replaced by (or, without one, given)
// the table's.
std::string WithSubmissions(const std::string& assessmentXml, const ResultsTable& table);

}  // namespace ServiceSim
