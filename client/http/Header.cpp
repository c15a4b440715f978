#include "client/http/Header.h"

#include <algorithm>

namespace Voxlet {

namespace {
char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
}  // namespace

bool SameHeaderName(const StringBuffer& a, const StringBuffer& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char16_t x, char16_t y) { return LowerAscii(x) == LowerAscii(y); });
}

const Header::Collection::Entry* Header::Collection::Find(const StringBuffer& name) const {
  for (const Entry& e : m_entries)
    if (SameHeaderName(e.first, name)) return &e;
  return nullptr;
}

StringBuffer& Header::Collection::operator[](const StringBuffer& name) {
  if (const Entry* e = Find(name)) return const_cast<Entry*>(e)->second;
  m_entries.emplace_back(name, StringBuffer());
  return m_entries.back().second;
}

bool Header::Collection::Contains(const StringBuffer& name) const { return Find(name) != nullptr; }

StringBuffer Header::Collection::Get(const StringBuffer& name) const {
  const Entry* e = Find(name);
  return e ? e->second : StringBuffer();
}

void Header::Collection::Remove(const StringBuffer& name) {
  std::erase_if(m_entries, [&](const Entry& e) { return SameHeaderName(e.first, name); });
}

}  // namespace Voxlet
