// Student results packaging (question packaging is in QuestionPackaging.cpp); logs under
// this file's name.
#include "content/ReceiverUtilities.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "content/HexFields.h"
#include "log/Logger.h"

using Voxlet::StringBuffer;

namespace {

constexpr const char16_t* kSubmissionPath =
    u"/voxlet:assessment/voxlet:submissions/voxlet:submission[@voxlet:studentid=$studentxmlid]";
// A question's responses are those of kResponsesPath whose voxlet:questionid is the question's
// xml:id, as "...voxlet:response[@voxlet:questionid=$questionxmlid]" selects them; one
// evaluation per student finds them for every question (kResponsesByQuestion).
constexpr const char16_t* kResponsesPath =
    u"/voxlet:assessment/voxlet:submissions/voxlet:submission[@voxlet:studentid=$studentxmlid]/voxlet:response";

// The score as tenths of a percent, rounded half up: 0.8765 gives 877. A score is a fraction
// of 1, but the whole percent must fit its byte, so scores are held to 0 .. 2.55 (a score
// the service cannot have meant, such as "-1" or "1e9", would otherwise wrap into a
// different byte on the way to the clicker).
int ScoreInTenthsOfPercent(const StringBuffer& score) {
  constexpr double kHighest = 2550.0;
  if (score == u"nan") return 0;
  const double tenths = std::floor(Voxlet::ParseDouble(score) * 1000.0 + 0.5);
  if (!(tenths > 0.0)) return 0;  // also NaN
  return static_cast<int>(std::min(tenths, kHighest));
}

// The number the clicker gives the first question of the list: a lone question keeps its own
// number, a whole assessment starts at 0.
int64_t QuestionNumberOffset(const Voxlet::XmlElementList& questions) {
  if (questions.size() != 1 || !questions.front()) return 0;
  const int64_t number =
      Voxlet::ParseInteger(Voxlet::XmlSchema::GetAttribute(questions.front(), u"voxlet:questionnumber"));
  return std::max<int64_t>(number - 1, 0);
}

// The responses by the question they answer, in document order. Only a response that has the
// attribute matches (even an empty id), as the attribute comparison in XPath has it.
std::map<StringBuffer, Voxlet::XmlElementList> ByQuestion(const Voxlet::XmlElementList& responses) {
  std::map<StringBuffer, Voxlet::XmlElementList> byQuestion;
  for (xercesc::DOMElement* response : responses) {
    if (Voxlet::XmlSchema::HasAttribute(response, u"voxlet:questionid"))
      byQuestion[Voxlet::XmlSchema::GetAttribute(response, u"voxlet:questionid")].push_back(response);
  }
  return byQuestion;
}

unsigned char Grade(const Voxlet::XmlElementList& responses) {
  if (responses.empty()) return 0;
  if (responses.size() > 1) {
    OV_LOG(kLogMilestone,
           "Error packaging students' responses: Multiple responses found from the same student for the same "
           "question. Setting to incorrect");
    return 0;
  }
  const StringBuffer correct = Voxlet::XmlSchema::GetAttribute(responses.front(), u"voxlet:correct");
  return (correct == u"correct" || correct == u"opinion") ? 1 : 0;
}

}  // namespace

StringBuffer ReceiverUtilities::PackageStudentSubmissions(unsigned short shortAddress, const StringBuffer& studentId,
                                                          Voxlet::XmlElementList questions,
                                                          Voxlet::XmlDocumentPtr document) {
  OV_LOG(kLogDiagnostic, "Packaging student submissions for student %s ...", Voxlet::UTF16to8(studentId).c_str());
  const bool hasDom = document && document->Dom();
  // Compiled once; the document's own XPath mirror serves every student's evaluations.
  static const Voxlet::XPathExpression submissionPath(kSubmissionPath);
  static const Voxlet::XPathExpression responsesPath(kResponsesPath);

  Voxlet::XPathVariables variables;
  variables.Set(u"studentxmlid", studentId);
  int score = 0;
  if (hasDom) {
    const xercesc::DOMElement* submission = submissionPath.EvaluateFirst(*document, variables);
    if (submission) score = ScoreInTenthsOfPercent(Voxlet::XmlSchema::GetAttribute(submission, u"voxlet:score"));
  }

  StringBuffer result;
  Content::AppendHex(result, shortAddress >> 8);
  Content::AppendHexField(result, shortAddress & 0xFF);
  result += u",27";
  Content::AppendHexField(result, score / 10);
  Content::AppendHexField(result, score % 10);
  Content::AppendHexField(result, QuestionNumberOffset(questions));
  Content::AppendHexField(result, questions.size());

  std::vector<unsigned char> grades(questions.size(), 0);
  if (hasDom && !questions.empty()) {
    const std::map<StringBuffer, Voxlet::XmlElementList> responses =
        ByQuestion(responsesPath.Evaluate(*document, variables));
    for (size_t i = 0; i < questions.size(); ++i) {
      const auto found = responses.find(Voxlet::XmlSchema::GetAttribute(questions[i], u"xml:id"));
      grades[i] = found == responses.end() ? 0 : Grade(found->second);
    }
  }
  int byteCount = 0;
  const std::unique_ptr<unsigned char[]> bits =
      ConvertGradeListToBitList(grades.data(), static_cast<int>(grades.size()), byteCount);
  for (int i = 0; i < byteCount; ++i) Content::AppendHexField(result, bits[i]);
  return result;
}

std::unique_ptr<unsigned char[]> ReceiverUtilities::ConvertGradeListToBitList(const unsigned char* grades, int count,
                                                                              int& byteCount) {
  byteCount = (grades && count > 0) ? count / 8 + (count % 8 != 0) : 0;
  auto bits = std::make_unique<unsigned char[]>(static_cast<size_t>(byteCount));
  if (byteCount == 0) return bits;
  for (int i = 0; i < count; ++i) {
    if (grades[i] != 0) bits[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
  }
  return bits;
}
