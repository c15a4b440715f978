#pragma once
// Text helpers of the simulator: URLs, XML text and reading request bodies.
#include <map>
#include <string>
#include <vector>
#include <xercesc/parsers/XercesDOMParser.hpp>

namespace ServiceSim {

inline const std::string kVocabulary = "http://schemas.vantrel.org/2008/voxlet/";
inline const std::string kXLink = "http://www.w3.org/1999/xlink";

// Percent-decoding ('+' stays '+'); malformed escapes pass through as they are.
std::string UrlDecode(const std::string& text);
// Splits "path?a=1&b=2" into the decoded path and decoded query values.
void SplitTarget(const std::string& target, std::string& path, std::map<std::string, std::string>& query);
// Xerces text as UTF-8 (empty for null).
std::string ToUtf8(const XMLCh* text);
// The blank-separated words of a text.
std::vector<std::string> Words(const std::string& text);
// Escapes &, <, >, " and ' for XML text and attribute values.
std::string XmlEscape(const std::string& text);
// The XML declaration the simulator's documents start with.
std::string XmlDeclaration();
// The voxlet and xlink namespace declarations, as attributes of a document's root.
std::string VoxletNamespaces();
// ` voxlet:name="value"`, the value escaped.
std::string VoxletAttribute(const std::string& name, const std::string& value);
// Now as "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC).
std::string UtcTimestamp();

// What the simulator reads from a request's XML body (namespace-aware, no DTD, no external
// entities): the text of the first element with the local name, and the attribute (by local
// name) of the first element with the local name. Empty when the body is not well-formed XML or
// has no such element.
struct XmlFields {
  bool wellFormed = false;
  std::map<std::string, std::string> texts;       // element local name -> text content
  std::map<std::string, std::string> attributes;  // "element@attribute" (local names) -> value
};
XmlFields ReadXmlFields(const std::string& body);

// One section of a multipart body.
struct BodyPart {
  std::map<std::string, std::string> headers;  // lower-cased names
  std::string content;
};
// The sections of a body whose Content-Type is multipart with a boundary; empty otherwise.
std::vector<BodyPart> SplitMultipart(const std::string& contentType, const std::string& body);

// Sets a parser up for documents from outside: namespaces on, no validation, no external DTD
// or entities; fatal errors throw through `errors`. Xerces must be initialised first.
void ConfigureUntrustedParser(xercesc::XercesDOMParser& parser, xercesc::ErrorHandler& errors);

}  // namespace ServiceSim
