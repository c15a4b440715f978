// Feeds arbitrary bytes to the RDF graph as an RDF/XML document of the software service (the
// assessment metadata), then looks triples up the way the system does.
//
// Besides the sanitizers, checks the graph's index against its triples: every triple is found
// again by its subject, and by its subject and predicate.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/RdfGraph.h"

using namespace Voxlet::RDF;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Graph graph;
  if (!graph.Add(text)) {
    if (graph.Size() != 0) abort();  // a document that fails adds nothing
    return 0;
  }
  TripleList all;
  if (graph.FindTriplesOfAnySubject(Any, {}, {}, Any, all) != graph.Size() || all.size() != graph.Size()) abort();
  // Bounded: a document of many triples costs its square otherwise.
  for (size_t i = 0; i < all.size() && i < 64; ++i) {
    const Triple& t = all[i];
    TripleList bySubject;
    graph.FindTriples(t.subject.value, t.subject.kind, {}, {}, Any, bySubject);
    TripleList byPair = graph.FindTriples(t.subject.value, t.subject.kind, t.predicate.value);
    const auto same = [&t](const Triple& u) {
      return u.subject.value == t.subject.value && u.predicate.value == t.predicate.value &&
             u.object.value == t.object.value && u.object.kind == t.object.kind;
    };
    if (std::none_of(bySubject.begin(), bySubject.end(), same)) abort();
    if (std::none_of(byPair.begin(), byPair.end(), same)) abort();
    if (!graph.FindObject(t.subject.value, t.subject.kind, t.predicate.value)) abort();
  }
  // A second document's blank nodes never merge with the first's.
  graph.Add(text);
  return 0;
}
