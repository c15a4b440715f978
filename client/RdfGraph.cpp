#include "client/RdfGraph.h"

#include <raptor2.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <shared_mutex>

namespace Voxlet::RDF {
namespace {

StringBuffer FromUtf8(const unsigned char* text, size_t length) {
  return UTF8to16(std::string_view(reinterpret_cast<const char*>(text), length));
}

// What one parse collects: triples with blank-node ids made unique to the document.
struct ParseState {
  StringBuffer blankPrefix;
  std::vector<Triple> triples;
  bool failed = false;
};

Node ToNode(const raptor_term* term, const StringBuffer& blankPrefix) {
  Node node;
  switch (term->type) {
    case RAPTOR_TERM_TYPE_URI: {
      size_t length = 0;
      const unsigned char* uri = raptor_uri_as_counted_string(term->value.uri, &length);
      node.kind = Resource;
      node.value = FromUtf8(uri, length);
      break;
    }
    case RAPTOR_TERM_TYPE_BLANK:
      node.kind = Blank;
      node.value = blankPrefix + FromUtf8(term->value.blank.string, term->value.blank.string_len);
      break;
    case RAPTOR_TERM_TYPE_LITERAL:
      node.kind = Literal;
      node.value = FromUtf8(term->value.literal.string, term->value.literal.string_len);
      if (term->value.literal.language)
        node.language = FromUtf8(term->value.literal.language, term->value.literal.language_len);
      if (term->value.literal.datatype) {
        size_t length = 0;
        const unsigned char* uri = raptor_uri_as_counted_string(term->value.literal.datatype, &length);
        node.datatype = FromUtf8(uri, length);
      }
      break;
    default:
      break;
  }
  return node;
}

void OnStatement(void* user, raptor_statement* statement) {
  auto* state = static_cast<ParseState*>(user);
  state->triples.push_back(Triple{ToNode(statement->subject, state->blankPrefix),
                                  ToNode(statement->predicate, state->blankPrefix),
                                  ToNode(statement->object, state->blankPrefix)});
}

void OnLog(void* user, raptor_log_message* message) {
  if (message->level >= RAPTOR_LOG_LEVEL_ERROR) static_cast<ParseState*>(user)->failed = true;
}

// Parses one RDF/XML document. The parser reads nothing but the given bytes: no network, no
// files, no external entities.
bool Parse(std::string_view rdfXml, std::string_view baseUri, ParseState& state) {
  raptor_world* world = raptor_new_world();
  if (!world) return false;
  raptor_world_set_log_handler(world, &state, OnLog);
  raptor_parser* parser = raptor_new_parser(world, "rdfxml");
  raptor_uri* base =
      raptor_new_uri_from_counted_string(world, reinterpret_cast<const unsigned char*>(baseUri.data()), baseUri.size());
  if (parser && base) {
    raptor_parser_set_option(parser, RAPTOR_OPTION_NO_NET, nullptr, 1);
    raptor_parser_set_option(parser, RAPTOR_OPTION_NO_FILE, nullptr, 1);
    raptor_parser_set_option(parser, RAPTOR_OPTION_LOAD_EXTERNAL_ENTITIES, nullptr, 0);
    raptor_parser_set_statement_handler(parser, &state, OnStatement);
    if (raptor_parser_parse_start(parser, base) != 0 ||
        raptor_parser_parse_chunk(parser, reinterpret_cast<const unsigned char*>(rdfXml.data()), rdfXml.size(), 1) != 0)
      state.failed = true;
  } else {
    state.failed = true;
  }
  if (base) raptor_free_uri(base);
  if (parser) raptor_free_parser(parser);
  raptor_free_world(world);
  return !state.failed;
}

size_t HashText(const StringBuffer& s) { return std::hash<StringBuffer>()(s); }

// An empty value or the kind Any matches any term.
bool TermMatches(const Node& node, const StringBuffer& value, NodeKind kind) {
  return (kind == Any || node.kind == kind) && (value.empty() || node.value == value);
}

bool PredicateAndObjectMatch(const Triple& t, const StringBuffer& predicate, const StringBuffer& object,
                             NodeKind objectKind) {
  return TermMatches(t.predicate, predicate, Any) && TermMatches(t.object, object, objectKind);
}

}  // namespace

size_t Graph::KeyHash::operator()(const Key& k) const { return HashText(k.value) * 31 + static_cast<size_t>(k.kind); }

size_t Graph::PairKeyHash::operator()(const PairKey& k) const {
  return KeyHash()(k.subject) * 1000003u ^ HashText(k.predicate);
}

Graph::Graph() = default;
Graph::~Graph() = default;

bool Graph::Add(std::string_view rdfXml, std::string_view baseUri) {
  // Like every document the library parses, RDF/XML may carry no DOCTYPE: no DTD, entity
  // declaration or entity expansion is ever processed. ("<!" cannot start character data,
  // so only a declaration, a comment or a CDATA section could hold these texts.)
  if (rdfXml.find("<!DOCTYPE") != std::string_view::npos || rdfXml.find("<!ENTITY") != std::string_view::npos)
    return false;
  ParseState state;
  {
    std::unique_lock lock(m_lock);
    state.blankPrefix = u"d" + UTF8to16(std::to_string(++m_documents)) + u"_";
  }
  if (!Parse(rdfXml, baseUri, state)) return false;

  std::unique_lock lock(m_lock);
  m_triples.reserve(m_triples.size() + state.triples.size());
  for (Triple& triple : state.triples) {
    const size_t index = m_triples.size();
    Key subject{triple.subject.kind, triple.subject.value};
    m_bySubjectPredicate[PairKey{subject, triple.predicate.value}].push_back(index);
    m_bySubject[std::move(subject)].push_back(index);
    m_triples.push_back(std::move(triple));
  }
  return true;
}

bool Graph::Add(const StringBuffer& rdfXml) { return Add(UTF16to8(rdfXml)); }

size_t Graph::FindTriplesOfAnySubject(NodeKind subjectKind, const StringBuffer& predicate, const StringBuffer& object,
                                      NodeKind objectKind, TripleList& results) const {
  std::shared_lock lock(m_lock);
  const size_t before = results.size();
  for (const Triple& t : m_triples)
    if (TermMatches(t.subject, {}, subjectKind) && PredicateAndObjectMatch(t, predicate, object, objectKind))
      results.push_back(t);
  return results.size() - before;
}

size_t Graph::FindTriples(const StringBuffer& subject, NodeKind subjectKind, const StringBuffer& predicate,
                          const StringBuffer& object, NodeKind objectKind, TripleList& results) const {
  if (subject.empty()) return 0;
  std::shared_lock lock(m_lock);
  const size_t before = results.size();
  // A subject leads to one index entry per kind it may have (one when its kind is given).
  std::vector<size_t> candidates;
  for (NodeKind kind : {Resource, Blank, Literal}) {
    if (subjectKind != Any && subjectKind != kind) continue;
    const std::vector<size_t>* entry = nullptr;
    if (!predicate.empty()) {
      const auto it = m_bySubjectPredicate.find(PairKey{Key{kind, subject}, predicate});
      if (it != m_bySubjectPredicate.end()) entry = &it->second;
    } else {
      const auto it = m_bySubject.find(Key{kind, subject});
      if (it != m_bySubject.end()) entry = &it->second;
    }
    if (entry) candidates.insert(candidates.end(), entry->begin(), entry->end());
  }
  std::sort(candidates.begin(), candidates.end());  // the order the triples were added
  for (size_t i : candidates)                       // their subjects matched through the index
    if (PredicateAndObjectMatch(m_triples[i], predicate, object, objectKind)) results.push_back(m_triples[i]);
  return results.size() - before;
}

TripleList Graph::FindTriples(const StringBuffer& subject, NodeKind subjectKind, const StringBuffer& predicate) const {
  TripleList results;
  FindTriples(subject, subjectKind, predicate, {}, Any, results);
  return results;
}

std::optional<Node> Graph::FindObject(const StringBuffer& subject, NodeKind subjectKind,
                                      const StringBuffer& predicate) const {
  TripleList results;
  FindTriples(subject, subjectKind, predicate, {}, Any, results);
  if (results.empty()) return std::nullopt;
  return results.front().object;
}

size_t Graph::Size() const {
  std::shared_lock lock(m_lock);
  return m_triples.size();
}

}  // namespace Voxlet::RDF
