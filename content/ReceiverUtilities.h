#pragma once
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "client/RdfGraph.h"
#include "client/XmlDocument.h"
#include "text/StringBuffer.h"

// Turns assessment content into the comma-separated hexadecimal byte texts that the receiver
// command layer sends: question batches and one student's results. Missing data gives empty
// texts, zero bytes or 0; nothing is reported as an error.
class ReceiverUtilities {
 public:
  ReceiverUtilities() = delete;
  ~ReceiverUtilities() = delete;

  // The prefix followed by ",%x,%x,%x,%x,%x,%x" for each of the count questions from
  // startIndex on: (choice count * 16) | type code, then the five answer bytes. Appends each
  // question's type code to questionTypes. Indices outside the list are skipped.
  static Voxlet::StringBuffer PackageAssessmentQuestions(std::shared_ptr<Voxlet::RDF::Graph> graph,
                                                         Voxlet::XmlElementList questions, int count,
                                                         const Voxlet::StringBuffer& prefix, int startIndex,
                                                         std::vector<unsigned int>& questionTypes);

  // 0 never, 1 after the student's submission, 2 after the assessment is deactivated, 3 after
  // each response; 0 for any other text.
  static int GetFeedbackIDFromFeedbackName(std::u16string_view feedbackTerm);

  // "%x,%x,27,%x,%x,%x,%x" (address high and low byte, score percent and its tenths digit,
  // question number offset, question count) and a ",%x" field per byte of grade bits.
  static Voxlet::StringBuffer PackageStudentSubmissions(unsigned short shortAddress,
                                                        const Voxlet::StringBuffer& studentId,
                                                        Voxlet::XmlElementList questions,
                                                        Voxlet::XmlDocumentPtr document);

  // Packs one grade (0 or 1) per question eight to a byte, least significant bit first.
  // byteCount receives ceil(count / 8); no grades (count <= 0 or none given) give 0 bytes.
  static std::unique_ptr<unsigned char[]> ConvertGradeListToBitList(const unsigned char* grades, int count,
                                                                    int& byteCount);

 private:
  using AnswerBytes = std::array<unsigned char, 5>;
  using GraphPtr = std::shared_ptr<Voxlet::RDF::Graph>;

  static Voxlet::StringBuffer GetQuestionFormat(const GraphPtr& graph, const xercesc::DOMElement* question);
  static Voxlet::StringBuffer GetChoiceLabelStyle(const GraphPtr& graph, const xercesc::DOMElement* question);

  static int FindCorrectChoiceAnswer(const xercesc::DOMElement* question, const GraphPtr& graph);
  static Voxlet::StringBuffer FindCorrectOrderingAnswer(const xercesc::DOMElement* question, const GraphPtr& graph);
  static Voxlet::StringBuffer FindCorrectDecimalAnswer(const xercesc::DOMElement* question, const GraphPtr& graph);
  static Voxlet::StringBuffer FindCorrectShortAnswer(const xercesc::DOMElement* question, const GraphPtr& graph);

  static void ConvertOrderingAnswerToBytes(AnswerBytes& bytes, std::u16string_view text);
  static void ConvertDecimalAnswerToBytes(AnswerBytes& bytes, std::u16string_view text);

  friend class ReceiverUtilitiesProbe;  // the tests' view of the private steps
};
