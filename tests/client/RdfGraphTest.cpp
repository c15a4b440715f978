#include <gtest/gtest.h>

#include <thread>

#include "client/Namespaces.h"
#include "client/RdfGraph.h"
#include "tests/service/TestFiles.h"

namespace Voxlet::RDF {
namespace {

StringBuffer Q(int n) { return u"urn:com.vantrel.voxlet:q" + UTF8to16(std::to_string(n)); }

// Literals and resources of the same text are told apart, wildcards match everything (any
// subject only when asked for by name), and the subject's kind is part of the match. (Looking up
// answers and their nodes is what question packaging does with the graph: the content tests walk
// it.)
TEST(GraphFind, KindsAndWildcards) {
  Graph m_graph;
  ASSERT_TRUE(m_graph.Add(ReadFile(OVANTA_CLIENT_TEST_DATA "/assessment-metadata.rdf")));
  TripleList found;
  // q5's exact match is the literal "Paris".
  EXPECT_EQ(m_graph.FindTriplesOfAnySubject(Any, VocabularyTerm(u"exactmatches"), u"Paris", Literal, found), 1u);
  EXPECT_EQ(m_graph.FindTriplesOfAnySubject(Any, VocabularyTerm(u"exactmatches"), u"Paris", Resource, found), 0u);
  // The feedback term is a resource, not a literal.
  const StringBuffer feedback = VocabularyTerm(u"feedback#show-after-assessment-deactivated");
  found.clear();
  EXPECT_EQ(m_graph.FindTriplesOfAnySubject(Any, {}, feedback, Resource, found), 1u);
  EXPECT_EQ(found[0].subject.value, u"urn:com.vantrel.voxlet:assessment-1");
  EXPECT_EQ(m_graph.FindTriplesOfAnySubject(Any, {}, feedback, Literal, found), 0u);

  TripleList all;
  const size_t total = m_graph.FindTriplesOfAnySubject(Any, {}, {}, Any, all);
  EXPECT_EQ(total, m_graph.Size());
  EXPECT_EQ(all.size(), total);
  TripleList aboutQ1;
  // q1: format, style and two answers.
  EXPECT_EQ(m_graph.FindTriples(Q(1), Any, {}, {}, Any, aboutQ1), 4u);
  // The subject kind is part of the match.
  TripleList none;
  EXPECT_EQ(m_graph.FindTriples(Q(1), Literal, {}, {}, Any, none), 0u);
}

// An element without a resource id asks with an empty subject: that names no term of the graph,
// whatever the kind, the predicate or the object asked for.
TEST(GraphFind, AnEmptySubjectMatchesNothing) {
  Graph graph;
  ASSERT_TRUE(graph.Add(ReadFile(OVANTA_CLIENT_TEST_DATA "/assessment-metadata.rdf")));
  const StringBuffer format = VocabularyTerm(u"questionformat");
  ASSERT_FALSE(graph.FindTriples(Q(1), Resource, format).empty());
  for (NodeKind kind : {Any, Resource, Blank, Literal}) {
    TripleList found;
    EXPECT_EQ(graph.FindTriples({}, kind, {}, {}, Any, found), 0u) << kind;
    EXPECT_TRUE(graph.FindTriples({}, kind, format).empty()) << kind;
    EXPECT_TRUE(graph.FindTriples({}, kind, VocabularyTerm(u"choicevalue")).empty()) << kind;
    EXPECT_FALSE(graph.FindObject({}, kind, format)) << kind;
    EXPECT_TRUE(found.empty());
  }
}

TEST(GraphAdd, BlankNodesOfTwoDocumentsStayApart) {
  const std::string doc =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' xmlns:v='http://x/'>"
      "<rdf:Description rdf:nodeID='a'><v:p>1</v:p></rdf:Description></rdf:RDF>";
  Graph graph;
  ASSERT_TRUE(graph.Add(doc));
  ASSERT_TRUE(graph.Add(doc));
  TripleList found;
  ASSERT_EQ(graph.FindTriplesOfAnySubject(Blank, u"http://x/p", {}, Any, found), 2u);
  EXPECT_NE(found[0].subject.value, found[1].subject.value);
  TripleList same;
  EXPECT_EQ(graph.FindTriples(found[0].subject.value, Blank, {}, {}, Any, same), 1u);
}

TEST(GraphAdd, MalformedDocumentsAddNothing) {
  Graph graph;
  ASSERT_TRUE(graph.Add(ReadFile(OVANTA_CLIENT_TEST_DATA "/assessment-metadata.rdf")));
  const size_t before = graph.Size();
  for (const char* bad : {"<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>",
                          "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
                          "rdf:about='urn:x'><p>1</p></rdf:Description></rdf:RDF>",
                          "not rdf", ""})
    EXPECT_FALSE(graph.Add(std::string(bad))) << bad;
  EXPECT_EQ(graph.Size(), before);
}

TEST(GraphAdd, DoctypesAreRefusedSoNoEntityIsEverRead) {
  const std::string body =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' xmlns:v='http://x/'>"
      "<rdf:Description rdf:about='urn:s'><v:p>[&x;]</v:p></rdf:Description></rdf:RDF>";
  Graph graph;
  EXPECT_FALSE(graph.Add("<?xml version='1.0'?><!DOCTYPE rdf:RDF [<!ENTITY x SYSTEM 'file:///etc/hostname'>]>" + body));
  EXPECT_FALSE(graph.Add("<!DOCTYPE rdf:RDF [<!ENTITY x 'expanded'>]>" + body));
  EXPECT_EQ(graph.Size(), 0u);
}

TEST(GraphThreads, LookUpsWhileAdding) {
  auto graph = std::make_shared<Graph>();
  const std::string doc = ReadFile(OVANTA_CLIENT_TEST_DATA "/assessment-metadata.rdf");
  {
    // Its destructor stops and joins it, a failed assertion below included.
    std::jthread reader([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        TripleList found;
        graph->FindTriples(Q(1), Resource, VocabularyTerm(u"answer"), {}, Any, found);
        for (const Triple& t : found) graph->FindObject(t.object.value, Blank, VocabularyTerm(u"points"));
      }
    });
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(graph->Add(doc));
  }
  EXPECT_EQ(graph->FindTriples(Q(1), Resource, VocabularyTerm(u"answer")).size(), 40u);
}

}  // namespace
}  // namespace Voxlet::RDF
