#pragma once
// The simulated session manager's marking: the answer key of an assessment (its questions
// from the assessment document, formats and scored answers from the RDF metadata) and the
// grade of one answer text.
#include <optional>
#include <string>
#include <vector>

namespace ServiceSim {

// One scored answer of a question, as the metadata gives it.
struct AnswerOption {
  double points = 0;
  std::string choiceValue;                 // choice formats: the chosen values, blank-separated
  std::optional<double> minimum, maximum;  // number formats
  std::string exactMatches;                // text formats: alternatives separated by '|'
};

struct QuestionKey {
  std::string id;                         // xml:id
  int number = 0;                         // voxlet:questionnumber (else its position from 1)
  double points = 1;                      // voxlet:points
  std::string resourceId;                 // voxlet:resourceid, the question's subject in the metadata
  std::string format;                     // the part after "questionformat#" ("choice", "decimal", ...); empty if none
  std::vector<std::string> choiceValues;  // of its choices, in document order
  std::vector<AnswerOption> options;      // in metadata order
};

struct AssessmentKey {
  std::string id;  // the document's xml:id
  std::vector<QuestionKey> questions;
  const QuestionKey* Find(const std::string& questionId) const;
};

// Reads the questions of an assessment document and their descriptions in its metadata. An
// unreadable document gives no questions; unreadable metadata gives questions without
// formats or answers.
AssessmentKey ReadAssessmentKey(const std::string& assessmentXml, const std::string& metadataRdf);

enum class Verdict { Correct, Incorrect, Opinion };
const char* VerdictText(Verdict verdict);  // "correct", "incorrect", "opinion"

struct Grade {
  Verdict verdict = Verdict::Opinion;
  double earned = 0;  // the question's points when correct, else 0
};

// Marks an answer text as the hardware service submitted it: choice values separated by
// blanks (a selection in any order, other choice formats in order), a number (decimal, or a
// fraction a/b) within an answer's minimum and maximum, a text equal to one of an answer's
// exact matches (letter case and runs of blanks aside; blanks aside for math). An answer
// scoring no points is incorrect; a question without scored answers takes any answer as an
// opinion.
Grade GradeAnswer(const QuestionKey& question, const std::string& answer);

// "-1.5", " 3/4 ", "0.75" as numbers; nothing for other texts.
std::optional<double> ParseNumber(const std::string& text);

}  // namespace ServiceSim
