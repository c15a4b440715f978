#pragma once
#include <utility>
#include <vector>

#include "text/StringBuffer.h"

namespace Voxlet {

// Header names the system uses, and the header collection of requests, parts and replies.
class Header {
 public:
  static inline const StringBuffer ContentType = u"Content-Type";
  static inline const StringBuffer XVantrelVoxletEndpoint = u"X-Vantrel-Voxlet-Endpoint";

  // Headers in the order first set; names compare without regard to ASCII case.
  class Collection {
   public:
    using Entry = std::pair<StringBuffer, StringBuffer>;

    // The value of `name`, added empty when missing: writable.
    StringBuffer& operator[](const StringBuffer& name);
    bool Contains(const StringBuffer& name) const;
    // The value of `name`, empty when missing.
    StringBuffer Get(const StringBuffer& name) const;
    void Remove(const StringBuffer& name);

    std::vector<Entry>::const_iterator begin() const { return m_entries.begin(); }
    std::vector<Entry>::const_iterator end() const { return m_entries.end(); }
    size_t Size() const { return m_entries.size(); }

   private:
    const Entry* Find(const StringBuffer& name) const;
    std::vector<Entry> m_entries;
  };
};

// ASCII case-insensitive equality, as header names compare.
bool SameHeaderName(const StringBuffer& a, const StringBuffer& b);

}  // namespace Voxlet
