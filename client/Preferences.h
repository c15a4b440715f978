#pragma once
#include <cstdint>

#include "text/StringBuffer.h"

// The product's preferences, kept in the registry store (platform/Registry.h). The store
// argument `file` follows the store rule: "com.vantrel.Registry" is the registry itself; any
// other name is one more key component.
namespace Voxlet::Preferences {

inline constexpr const char16_t* File = u"com.vantrel.Preferences";
inline constexpr const char16_t* Path = u"SOFTWARE\\Vantrel\\Voxlet";

// HKEY_LM is the root of every preference read here.
int64_t ReadIntegerValue(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name,
                         int64_t defaultValue);
StringBuffer ReadStringValue(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name,
                             const StringBuffer& defaultValue);
bool WriteIntegerValue(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name, int64_t value);

namespace HardwareService {
inline constexpr const char16_t* Key = u"HardwareService";
// Value names (under Path\Key) and their defaults are declared in client/HardwareServicePreferences.h.
}  // namespace HardwareService

namespace Install {
inline constexpr const char16_t* Key = u"Install";
}  // namespace Install

namespace SoftwareService {
inline constexpr const char16_t* Key = u"SoftwareService";
inline constexpr const char16_t* UriName = u"Uri";
inline constexpr const char16_t* DefaultUri = u"http://127.0.0.1:8630/";
// The software service's address: value "Uri" under Path\SoftwareService (HKEY_LM), read from
// the registry itself, else DefaultUri.
StringBuffer GetUri();
}  // namespace SoftwareService

}  // namespace Voxlet::Preferences
