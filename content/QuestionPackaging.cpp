#include <iterator>
#include <string>
#include <string_view>

#include "client/Namespaces.h"
#include "client/Strings.h"
#include "client/XmlSchema.h"
#include "content/AnswerLookup.h"
#include "content/HexFields.h"
#include "content/NibblePacker.h"
#include "content/ReceiverUtilities.h"
#include "content/TextReplace.h"

using Voxlet::StringBuffer;

namespace {

// How a question's answer goes into its five answer bytes.
enum class AnswerKind { None, Choice, Ordering, Decimal };

struct QuestionRow {
  std::u16string_view format;  // relative to the vocabulary base
  unsigned int typeCode;
  bool countsChoices;
  AnswerKind answer;
};

// Choice questions take their type code from the label style (see ChoiceTypeCode).
constexpr QuestionRow kQuestionRows[] = {
    {u"questionformat#choice", 0, true, AnswerKind::Choice},
    {u"questionformat#ordering", 4, true, AnswerKind::Ordering},
    {u"questionformat#selection", 3, true, AnswerKind::Ordering},
    {u"questionformat#matching", 3, true, AnswerKind::None},
    {u"questionformat#decimal", 5, false, AnswerKind::Decimal},
    {u"questionformat#fractional", 6, false, AnswerKind::Decimal},
    {u"questionformat#fraction", 6, false, AnswerKind::Decimal},
    {u"questionformat#short-answer", 11, false, AnswerKind::None},
    {u"questionformat#text", 12, false, AnswerKind::None},
    {u"questionformat#math", 13, false, AnswerKind::None},
};
constexpr QuestionRow kUnknownFormat = {u"", 0, false, AnswerKind::None};

constexpr unsigned int kUpperAlphaTypeCode = 2;
constexpr int kUpperAlphaLastChoice = 10;

const QuestionRow& RowOf(const StringBuffer& format) {
  for (const QuestionRow& row : kQuestionRows) {
    if (format == Voxlet::VocabularyTerm(row.format)) return row;
  }
  return kUnknownFormat;
}

unsigned int ChoiceTypeCode(const StringBuffer& labelStyle) {
  if (labelStyle == Voxlet::VocabularyTerm(u"choicelabelstyle#upper-alpha")) return kUpperAlphaTypeCode;
  if (labelStyle == Voxlet::VocabularyTerm(u"choicelabelstyle#yes-no")) return 1;
  return 0;  // true-false, any other style, or none
}

// The correct choice's position as answer byte 1. Upper-alpha clickers show ten labels, so
// a position past J marks nothing; a position that does not fit a byte marks nothing either
// (kept as found, it would name another choice).
unsigned char ChoiceByte(int position, unsigned int typeCode) {
  const int last = typeCode == kUpperAlphaTypeCode ? kUpperAlphaLastChoice : 0xFF;
  return (position >= 1 && position <= last) ? static_cast<unsigned char>(position) : 0;
}

constexpr std::u16string_view kDecimalCharacters = u"-./0123456789 ";

}  // namespace

StringBuffer ReceiverUtilities::PackageAssessmentQuestions(std::shared_ptr<Voxlet::RDF::Graph> graph,
                                                           Voxlet::XmlElementList questions, int count,
                                                           const StringBuffer& prefix, int startIndex,
                                                           std::vector<unsigned int>& questionTypes) {
  StringBuffer result = prefix;
  for (int i = 0; i < count; ++i) {
    const int64_t index = static_cast<int64_t>(startIndex) + i;
    if (index < 0 || index >= static_cast<int64_t>(questions.size())) continue;
    const xercesc::DOMElement* question = questions[static_cast<size_t>(index)];

    const QuestionRow& row = RowOf(GetQuestionFormat(graph, question));
    unsigned int typeCode = row.typeCode;
    size_t choiceCount = 0;
    AnswerBytes bytes{};
    if (row.answer == AnswerKind::Choice) typeCode = ChoiceTypeCode(GetChoiceLabelStyle(graph, question));
    if (row.countsChoices && question) choiceCount = Voxlet::XmlSchema::GetAllChildElements(question).size();
    switch (row.answer) {
      case AnswerKind::Choice:
        bytes[0] = ChoiceByte(FindCorrectChoiceAnswer(question, graph), typeCode);
        break;
      case AnswerKind::Ordering:
        ConvertOrderingAnswerToBytes(bytes, FindCorrectOrderingAnswer(question, graph));
        break;
      case AnswerKind::Decimal:
        ConvertDecimalAnswerToBytes(bytes, FindCorrectDecimalAnswer(question, graph));
        break;
      case AnswerKind::None:
        break;
    }

    questionTypes.push_back(typeCode);
    Content::AppendHexField(result, (choiceCount << 4) | typeCode);
    for (const unsigned char byte : bytes) Content::AppendHexField(result, byte);
  }
  return result;
}

int ReceiverUtilities::GetFeedbackIDFromFeedbackName(std::u16string_view feedbackTerm) {
  static constexpr std::u16string_view kFeedbackTerms[] = {
      u"feedback#never",
      u"feedback#show-after-student-submission",
      u"feedback#show-after-assessment-deactivated",
      u"feedback#show-after-response-submission",
  };
  for (int id = 0; id < static_cast<int>(std::size(kFeedbackTerms)); ++id) {
    if (Voxlet::CompareStringLiterals(feedbackTerm, Voxlet::VocabularyTerm(kFeedbackTerms[id]), false)) return id;
  }
  return 0;
}

StringBuffer ReceiverUtilities::GetQuestionFormat(const GraphPtr& graph, const xercesc::DOMElement* question) {
  return Content::ElementObjectOf(graph.get(), question, u"questionformat").value_or(StringBuffer());
}

StringBuffer ReceiverUtilities::GetChoiceLabelStyle(const GraphPtr& graph, const xercesc::DOMElement* question) {
  return Content::ElementObjectOf(graph.get(), question, u"choicelabelstyle").value_or(StringBuffer());
}

int ReceiverUtilities::FindCorrectChoiceAnswer(const xercesc::DOMElement* question, const GraphPtr& graph) {
  if (!question) return 0;
  const Content::BestAnswer best = Content::FindBestAnswer(graph.get(), question, u"choicevalue", true);
  if (best.value.empty() && best.points == 0.0) return 0;
  int position = 0;
  for (const xercesc::DOMElement* choice : Voxlet::XmlSchema::GetAllChildElements(question)) {
    ++position;
    if (!graph) continue;
    const Voxlet::RDF::TripleList values = graph->FindTriples(
        Content::ResourceId(choice), Voxlet::RDF::NodeKind::Resource, Voxlet::VocabularyTerm(u"choicevalue"));
    if (values.size() == 1 && values.front().object.value == best.value) return position;
  }
  return 0;
}

StringBuffer ReceiverUtilities::FindCorrectOrderingAnswer(const xercesc::DOMElement* question, const GraphPtr& graph) {
  if (!question) return StringBuffer();
  StringBuffer order = Content::FindBestAnswer(graph.get(), question, u"choicevalue", false).value;
  int position = 0;
  for (const xercesc::DOMElement* choice : Voxlet::XmlSchema::GetAllChildElements(question)) {
    ++position;
    const std::optional<StringBuffer> value = Content::ElementObjectOf(graph.get(), choice, u"choicevalue");
    if (!value) continue;
    const std::string replacement = std::to_string(position) + " ";
    Content::ReplaceAll(order, *value, StringBuffer(replacement.begin(), replacement.end()));
  }
  return order;
}

StringBuffer ReceiverUtilities::FindCorrectDecimalAnswer(const xercesc::DOMElement* question, const GraphPtr& graph) {
  return Content::FindBestAnswer(graph.get(), question, u"minimumvalue", false).value;
}

StringBuffer ReceiverUtilities::FindCorrectShortAnswer(const xercesc::DOMElement* question, const GraphPtr& graph) {
  return Content::FindBestAnswer(graph.get(), question, u"exactmatches", false).value;
}

void ReceiverUtilities::ConvertOrderingAnswerToBytes(AnswerBytes& bytes, std::u16string_view text) {
  Content::NibblePacker packer(bytes);
  for (const StringBuffer& token : Voxlet::Tokenize(text, u" ")) {
    const int64_t value = Voxlet::ParseInteger(token);
    if (value < 1 || value > 10) return;
    packer.Add(static_cast<unsigned int>(value));
  }
}

void ReceiverUtilities::ConvertDecimalAnswerToBytes(AnswerBytes& bytes, std::u16string_view text) {
  Content::NibblePacker packer(bytes);
  for (const char16_t character : text) {
    const size_t code = kDecimalCharacters.find(character);
    if (code != std::u16string_view::npos) packer.Add(static_cast<unsigned int>(code + 1));
  }
}
