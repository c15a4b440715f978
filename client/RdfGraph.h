#pragma once
#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/SharedMutex.h"
#include "text/StringBuffer.h"

namespace Voxlet::RDF {

// The kind of an RDF term. Any is a wildcard in FindTriples.
enum NodeKind : int { Any = 0, Resource = 1, Blank = 2, Literal = 3 };

struct Node {
  NodeKind kind = Any;
  StringBuffer value;     // URI, blank-node id (unique within the graph) or literal text
  StringBuffer language;  // literals only
  StringBuffer datatype;  // literals only: the datatype URI, if any
};

struct Triple {
  Node subject;
  Node predicate;
  Node object;
};

using TripleList = std::vector<Triple>;

// An RDF graph filled from RDF/XML documents (raptor2). Look-ups by subject, or by subject and
// predicate, go through an index rather than a scan. Safe for concurrent Add and FindTriples.
class Graph {
 public:
  Graph();
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // Adds the triples of a UTF-8 RDF/XML document; relative URIs resolve against baseUri.
  // False (and nothing added) when the document is not well-formed RDF/XML or has a DOCTYPE
  // (no DTD or entity is ever processed). Blank nodes of different documents never merge.
  bool Add(std::string_view rdfXml, std::string_view baseUri = "urn:com.vantrel.voxlet:graph");
  bool Add(const StringBuffer& rdfXml);

  // Appends to results the triples that match and answers how many were appended. The subject
  // is a term of the graph: an empty one (an element without a resource id) matches nothing.
  // An empty predicate or object is a wildcard, and so is the kind Any; otherwise a term
  // matches only with the same kind and value (a resource never matches a literal of the
  // same text). Results come in the order the triples were added.
  size_t FindTriples(const StringBuffer& subject, NodeKind subjectKind, const StringBuffer& predicate,
                     const StringBuffer& object, NodeKind objectKind, TripleList& results) const;
  // The same over every subject of the kind (Any: every subject).
  size_t FindTriplesOfAnySubject(NodeKind subjectKind, const StringBuffer& predicate, const StringBuffer& object,
                                 NodeKind objectKind, TripleList& results) const;
  // The matches of a subject and predicate, any object: the system's common look-up.
  TripleList FindTriples(const StringBuffer& subject, NodeKind subjectKind, const StringBuffer& predicate) const;
  // The object of the first (subject, predicate, *) triple, or nothing.
  std::optional<Node> FindObject(const StringBuffer& subject, NodeKind subjectKind,
                                 const StringBuffer& predicate) const;

  size_t Size() const;

 private:
  struct Key {
    NodeKind kind;
    StringBuffer value;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const;
  };
  struct PairKey {
    Key subject;
    StringBuffer predicate;
    bool operator==(const PairKey&) const = default;
  };
  struct PairKeyHash {
    size_t operator()(const PairKey& k) const;
  };

  mutable Platform::SharedMutex m_lock;
  std::vector<Triple> m_triples;
  std::unordered_map<Key, std::vector<size_t>, KeyHash> m_bySubject;
  std::unordered_map<PairKey, std::vector<size_t>, PairKeyHash> m_bySubjectPredicate;
  unsigned m_documents = 0;
};

}  // namespace Voxlet::RDF
