// How a request goes on the wire (without a connection), the service address, and the header
// collection and reply predicates of a message.
#include <gtest/gtest.h>

#include "client/XmlSchema.h"
#include "client/http/RequestWire.h"
#include "tools/service-sim/SimText.h"

using namespace Voxlet;
using Detail::BuildWireRequest;
using Detail::ParseServiceAddress;

TEST(ServiceAddress, HostPortAndBasePath) {
  struct Case {
    const char16_t* uri;
    const char *host, *port, *basePath;
  };
  for (const Case& c : {Case{u"http://127.0.0.1:8630/", "127.0.0.1", "8630", ""},
                        Case{u"HTTP://service.local/voxlet-root//", "service.local", "80", "/voxlet-root"},
                        Case{u"http://[::1]:9000", "::1", "9000", ""}}) {
    const auto a = ParseServiceAddress(c.uri);
    ASSERT_TRUE(a) << UTF16to8(c.uri);
    EXPECT_EQ(std::tie(a->host, a->port, a->basePath), std::tie(c.host, c.port, c.basePath)) << UTF16to8(c.uri);
  }
  for (const char16_t* bad :
       {u"http://host:/", u"http://host/x?y", u"ftp://host/", u"https://127.0.0.1/", u"127.0.0.1:80", u"http://",
        u"http://host:99999/", u"http://user@host/", u"http://[::1/"})
    EXPECT_FALSE(ParseServiceAddress(bad)) << UTF16to8(bad);
}

// The base path prefixes the target, which is percent-encoded; a GET carries its content too;
// a document goes out printed.
TEST(WireRequest, TargetAndBody) {
  Message m;
  m.Open(Methods::Get, u"/voxlet/builtins/teachers/submit?assessment=a b&class=c\u00e9&subject=urn%3Ax");
  XmlDocumentPtr doc = XmlSchema::NewDoc(u"rdf:RDF");
  XmlSchema::CreateElement(XmlSchema::CreateElement(doc->Root(), u"rdf:Description"), u"voxlet:number", u"1001");
  m.SetContent(Content(doc));
  auto wire = BuildWireRequest(m, *ParseServiceAddress(u"http://h/base/"), "b");
  ASSERT_TRUE(wire);
  EXPECT_FALSE(wire->post);
  EXPECT_EQ(wire->target, "/base/voxlet/builtins/teachers/submit?assessment=a%20b&class=c%C3%A9&subject=urn%3Ax");
  EXPECT_EQ(wire->body, XmlSchema::PrintDocUtf8(*doc));
}

TEST(WireRequest, RefusesWhatCannotBeWritten) {
  Message relative, badName, badValue, badPart;
  relative.Open(Methods::Get, u"voxlet/x");
  badName.Open(Methods::Get, u"/x");
  badName.Headers()[u"Bad Name"] = u"v";
  badValue.Open(Methods::Post, u"/x");
  badValue.Headers()[Header::XVantrelVoxletEndpoint] = u"clicker\r\nX-Injected: yes";
  badPart.Open(Methods::Post, u"/x");
  badPart.Parts().resize(1);
  badPart.Parts()[0].Headers()[u"Content-Disposition"] = u"a\nb";
  for (const Message* m : {&relative, &badName, &badValue, &badPart})
    EXPECT_FALSE(BuildWireRequest(*m, *ParseServiceAddress(u"http://h/"), "b")) << UTF16to8(m->Path());
}

// The boundary avoids the content, which may look like one.
TEST(WireRequest, APartMakesAMultipartBodyThatSplitsBackIntoIt) {
  Message m;
  m.Open(Methods::Post, u"/submit");
  m.Headers()[Header::ContentType] = u"text/xml";
  m.SetContent(Content(u"<doc>caf\u00e9 --voxlet-part-1 voxlet-part-2</doc>"));
  Part carrier;  // no content of its own: carries the message's, typed as the message
  carrier.Headers()[u"Content-Disposition"] = u"filename=\"submission.xml\"";
  m.Parts() = {carrier};
  const std::string boundary = Detail::ChooseBoundary(m, 1);
  EXPECT_EQ(m.GetContent().Bytes().find(boundary), std::string::npos);
  auto wire = BuildWireRequest(m, *ParseServiceAddress(u"http://h/"), boundary);
  ASSERT_TRUE(wire);
  EXPECT_TRUE(wire->post);
  std::string type;
  int typeHeaders = 0;
  for (const auto& [name, value] : wire->headers)
    if (name == "Content-Type") type = value, ++typeHeaders;
  EXPECT_EQ(typeHeaders, 1);
  EXPECT_EQ(type, "multipart/mixed; boundary=\"" + boundary + "\"");

  const auto parts = ServiceSim::SplitMultipart(type, wire->body);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].content, "<doc>caf\xC3\xA9 --voxlet-part-1 voxlet-part-2</doc>");
  EXPECT_EQ(parts[0].headers.at("content-type"), "text/xml");
  EXPECT_EQ(parts[0].headers.at("content-disposition"), "filename=\"submission.xml\"");
}

TEST(HeaderCollection, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  Header::Collection h;
  h[u"X-Vantrel-Voxlet-Endpoint"] = u"one";
  h[u"x-vantrel-voxlet-endpoint"] = u"two";
  EXPECT_EQ(h.Size(), 1u);
  EXPECT_TRUE(h.Contains(Header::XVantrelVoxletEndpoint));
  EXPECT_EQ(h.Get(u"X-VANTREL-VOXLET-ENDPOINT"), u"two");
  EXPECT_EQ(h.begin()->first, u"X-Vantrel-Voxlet-Endpoint");
  EXPECT_FALSE(h.Contains(u"X-Vantrel-Voxlet-Student"));
  EXPECT_EQ(h.Get(u"X-Vantrel-Voxlet-Student"), u"");
}

TEST(MessageOutcome, SuccessFailureAndEndOnce) {
  Message unsent;
  EXPECT_TRUE(unsent.MarkSubmitted());
  EXPECT_FALSE(unsent.MarkSubmitted());  // submitted once only
  EXPECT_FALSE(unsent.Failure());        // not ended yet
  EXPECT_FALSE(unsent.NoReply());
  EXPECT_TRUE(unsent.End(false));
  EXPECT_TRUE(unsent.Failure());
  EXPECT_TRUE(unsent.NoReply());
  EXPECT_FALSE(unsent.End(true, 200));  // an ended exchange stays as it ended
  EXPECT_EQ(unsent.State(), RequestStates::NotSent);

  Message created;
  Header::Collection headers;
  headers[u"content-type"] = u"Text/XML ; charset=UTF-8";
  created.End(true, StatusCodes::Created, u"Created", headers, "<x/>");
  EXPECT_TRUE(created.Success(Content::Types::TextXml));
  EXPECT_FALSE(created.Success(Content::Types::ApplicationRdfXml));
  EXPECT_FALSE(created.Failure());
  created.SetState(RequestStates::Writing);  // no effect after the end
  EXPECT_EQ(created.State(), RequestStates::Complete);

  Message conflict;
  conflict.End(true, StatusCodes::Conflict, u"Conflict", headers, "");
  EXPECT_TRUE(conflict.Failure());
  EXPECT_FALSE(conflict.NoReply());  // a failure, but its reply was read
  EXPECT_FALSE(conflict.Success(Content::Types::TextXml));
}
