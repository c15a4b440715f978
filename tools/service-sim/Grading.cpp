#include "tools/service-sim/Grading.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>

#include "client/RdfGraph.h"
#include "client/XmlPlatform.h"
#include "text/StringBuffer.h"
#include "tools/service-sim/SimText.h"

namespace ServiceSim {

namespace {

std::string LocalName(const xercesc::DOMElement* e) { return ToUtf8(e->getLocalName()); }

// An attribute by its local name, whatever its namespace.
std::string AttributeByLocalName(const xercesc::DOMElement* e, const std::string& name) {
  const xercesc::DOMNamedNodeMap* attributes = e->getAttributes();
  for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
    const xercesc::DOMNode* a = attributes->item(i);
    const XMLCh* local = a->getLocalName() ? a->getLocalName() : a->getNodeName();
    if (ToUtf8(local) == name) return ToUtf8(a->getNodeValue());
  }
  return {};
}

const xercesc::DOMElement* Child(const xercesc::DOMElement* parent, const std::string& name) {
  for (const xercesc::DOMElement* c = parent ? parent->getFirstElementChild() : nullptr; c;
       c = c->getNextElementSibling())
    if (LocalName(c) == name) return c;
  return nullptr;
}

// Lower case with runs of blanks made one blank, or with every blank dropped.
std::string Normalise(const std::string& text, bool dropBlanks) {
  std::string out;
  for (const std::string& w : Words(text)) {
    if (!out.empty() && !dropBlanks) out += ' ';
    for (char c : w) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

class MetadataReader {
 public:
  explicit MetadataReader(const std::string& rdf) { m_ok = !rdf.empty() && m_graph.Add(rdf); }

  std::optional<std::string> Object(const std::string& subject, Voxlet::RDF::NodeKind kind,
                                    const std::string& term) const {
    if (!m_ok) return std::nullopt;
    const auto node = m_graph.FindObject(Voxlet::UTF8to16(subject), kind, Voxlet::UTF8to16(kVocabulary + term));
    if (!node) return std::nullopt;
    return Voxlet::UTF16to8(node->value);
  }

  std::vector<AnswerOption> Options(const std::string& question) const {
    std::vector<AnswerOption> options;
    if (!m_ok) return options;
    for (const Voxlet::RDF::Triple& t : m_graph.FindTriples(Voxlet::UTF8to16(question), Voxlet::RDF::Resource,
                                                            Voxlet::UTF8to16(kVocabulary + "answer"))) {
      const std::string node = Voxlet::UTF16to8(t.object.value);
      const Voxlet::RDF::NodeKind kind = t.object.kind;
      const auto points = Object(node, kind, "points");
      if (!points) continue;  // an answer without points scores nothing and marks nothing
      AnswerOption o;
      o.points = ParseNumber(*points).value_or(0);
      o.choiceValue = Object(node, kind, "choicevalue").value_or("");
      if (auto v = Object(node, kind, "minimumvalue")) o.minimum = ParseNumber(*v);
      if (auto v = Object(node, kind, "maximumvalue")) o.maximum = ParseNumber(*v);
      o.exactMatches = Object(node, kind, "exactmatches").value_or("");
      options.push_back(std::move(o));
    }
    return options;
  }

 private:
  Voxlet::RDF::Graph m_graph;
  bool m_ok = false;
};

bool SameChoices(const QuestionKey& q, const AnswerOption& o, const std::string& answer) {
  std::vector<std::string> given = Words(answer), wanted = Words(o.choiceValue);
  if (wanted.empty()) return false;
  if (q.format == "selection") {
    std::sort(given.begin(), given.end());
    std::sort(wanted.begin(), wanted.end());
  }
  return given == wanted;
}

bool SameNumber(const AnswerOption& o, const std::string& answer) {
  const std::optional<double> value = ParseNumber(answer);
  std::optional<double> low = o.minimum, high = o.maximum;
  if (!low && !o.exactMatches.empty()) low = ParseNumber(o.exactMatches);
  if (!low && !high) return false;
  if (!value) return false;
  if (!low) low = high;
  if (!high) high = low;
  const double slack = 1e-9 * std::max({1.0, std::fabs(*low), std::fabs(*high)});
  return *value >= *low - slack && *value <= *high + slack;
}

bool SameText(const AnswerOption& o, const std::string& answer, bool math) {
  if (o.exactMatches.empty()) return false;
  const std::string given = Normalise(answer, math);
  std::string alternative;
  std::istringstream in(o.exactMatches);
  while (std::getline(in, alternative, '|'))
    if (!Normalise(alternative, math).empty() && Normalise(alternative, math) == given) return true;
  return false;
}

bool Matches(const QuestionKey& q, const AnswerOption& o, const std::string& answer) {
  const std::string& f = q.format;
  if (f == "choice" || f == "ordering" || f == "selection" || f == "matching") return SameChoices(q, o, answer);
  if (f == "decimal" || f == "fractional" || f == "fraction") return SameNumber(o, answer);
  return SameText(o, answer, f == "math");
}

}  // namespace

const QuestionKey* AssessmentKey::Find(const std::string& questionId) const {
  for (const QuestionKey& q : questions)
    if (q.id == questionId) return &q;
  return nullptr;
}

std::optional<double> ParseNumber(const std::string& text) {
  const std::vector<std::string> words = Words(text);
  if (words.size() != 1) return std::nullopt;
  const std::string& w = words[0];
  auto whole = [](const std::string& part) -> std::optional<double> {
    if (part.empty()) return std::nullopt;
    size_t used = 0;
    try {
      const double v = std::stod(part, &used);
      if (used != part.size() || !std::isfinite(v)) return std::nullopt;
      return v;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  const size_t slash = w.find('/');
  if (slash == std::string::npos) return whole(w);
  const auto top = whole(w.substr(0, slash)), bottom = whole(w.substr(slash + 1));
  if (!top || !bottom || *bottom == 0) return std::nullopt;
  return *top / *bottom;
}

AssessmentKey ReadAssessmentKey(const std::string& assessmentXml, const std::string& metadataRdf) {
  AssessmentKey key;
  if (assessmentXml.empty()) return key;
  Voxlet::XmlPlatform::Init();
  xercesc::XercesDOMParser parser;
  xercesc::HandlerBase errors;  // throws on fatal errors
  ConfigureUntrustedParser(parser, errors);
  try {
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(assessmentXml.data()), assessmentXml.size(),
                                      "assessment");
    parser.parse(source);
  } catch (...) {
    return key;
  }
  const xercesc::DOMDocument* document = parser.getDocument();
  if (!document || document->getDoctype() || !document->getDocumentElement()) return key;
  const xercesc::DOMElement* root = document->getDocumentElement();
  key.id = AttributeByLocalName(root, "id");
  const MetadataReader metadata(metadataRdf);
  int position = 0;
  for (const xercesc::DOMElement* e = Child(root, "questions") ? Child(root, "questions")->getFirstElementChild()
                                                               : nullptr;
       e; e = e->getNextElementSibling()) {
    ++position;
    QuestionKey q;
    q.id = AttributeByLocalName(e, "id");
    q.number = static_cast<int>(ParseNumber(AttributeByLocalName(e, "questionnumber")).value_or(position));
    q.points = ParseNumber(AttributeByLocalName(e, "points")).value_or(1);
    q.resourceId = AttributeByLocalName(e, "resourceid");
    const std::string format = metadata.Object(q.resourceId, Voxlet::RDF::Resource, "questionformat").value_or("");
    const std::string prefix = kVocabulary + "questionformat#";
    q.format = format.rfind(prefix, 0) == 0 ? format.substr(prefix.size()) : format;
    for (const xercesc::DOMElement* c = e->getFirstElementChild(); c; c = c->getNextElementSibling())
      if (auto value = metadata.Object(AttributeByLocalName(c, "resourceid"), Voxlet::RDF::Resource, "choicevalue"))
        q.choiceValues.push_back(*value);
    q.options = metadata.Options(q.resourceId);
    key.questions.push_back(std::move(q));
  }
  return key;
}

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::Correct:
      return "correct";
    case Verdict::Incorrect:
      return "incorrect";
    case Verdict::Opinion:
      return "opinion";
  }
  return "opinion";
}

Grade GradeAnswer(const QuestionKey& question, const std::string& answer) {
  if (question.options.empty()) return {Verdict::Opinion, 0};
  for (const AnswerOption& o : question.options)
    if (Matches(question, o, answer))
      return o.points > 0 ? Grade{Verdict::Correct, question.points} : Grade{Verdict::Incorrect, 0};
  return {Verdict::Incorrect, 0};
}

}  // namespace ServiceSim
