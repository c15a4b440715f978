#pragma once
#include <map>
#include <string_view>

#include "text/StringBuffer.h"

namespace Voxlet {

// Prefix -> namespace URI bindings used to create and look up qualified names ("voxlet:kind")
// and to resolve the prefixes of XPath expressions.
class Namespaces {
 public:
  static constexpr const char16_t* Rdf = u"http://www.w3.org/1999/02/22-rdf-syntax-ns#";
  static constexpr const char16_t* Dc = u"http://purl.org/dc/elements/1.1/";
  static constexpr const char16_t* Voxlet = u"http://schemas.vantrel.org/2008/voxlet/";
  static constexpr const char16_t* Xml = u"http://www.w3.org/XML/1998/namespace";
  static constexpr const char16_t* XLink = u"http://www.w3.org/1999/xlink";
  static constexpr const char16_t* Fn = u"http://www.w3.org/2005/xpath-functions";

  // rdf, dc, voxlet, xml, xlink and fn bound to the URIs above.
  static const Namespaces& Defaults();

  Namespaces& Add(const StringBuffer& prefix, const StringBuffer& uri);
  // The URI bound to prefix, or null. "xml" is always bound, as in every XML document.
  const StringBuffer* UriOf(const StringBuffer& prefix) const;
  // A prefix bound to uri, or null.
  const StringBuffer* PrefixOf(const StringBuffer& uri) const;
  const std::map<StringBuffer, StringBuffer>& Bindings() const { return m_bindings; }

 private:
  std::map<StringBuffer, StringBuffer> m_bindings;
};

// A vocabulary term written out in full: VocabularyTerm(u"questionformat#choice") is the
// vocabulary base followed by the relative term.
StringBuffer VocabularyTerm(std::u16string_view relative);

}  // namespace Voxlet
