#include "client/Namespaces.h"

namespace Voxlet {

const Namespaces& Namespaces::Defaults() {
  static const Namespaces defaults = [] {
    Namespaces ns;
    ns.Add(u"rdf", Rdf).Add(u"dc", Dc).Add(u"voxlet", Voxlet).Add(u"xml", Xml).Add(u"xlink", XLink).Add(u"fn", Fn);
    return ns;
  }();
  return defaults;
}

Namespaces& Namespaces::Add(const StringBuffer& prefix, const StringBuffer& uri) {
  m_bindings[prefix] = uri;
  return *this;
}

const StringBuffer* Namespaces::UriOf(const StringBuffer& prefix) const {
  static const StringBuffer xml(Xml);
  const auto it = m_bindings.find(prefix);
  if (it != m_bindings.end()) return &it->second;
  return prefix == u"xml" ? &xml : nullptr;
}

const StringBuffer* Namespaces::PrefixOf(const StringBuffer& uri) const {
  for (const auto& [prefix, bound] : m_bindings)
    if (bound == uri) return &prefix;
  return nullptr;
}

StringBuffer VocabularyTerm(std::u16string_view relative) {
  return StringBuffer(Namespaces::Voxlet) + StringBuffer(relative);
}

}  // namespace Voxlet
