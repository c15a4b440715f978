#include "client/Format.h"

#include <unicode/fmtable.h>
#include <unicode/messagepattern.h>
#include <unicode/msgfmt.h>
#include <unicode/numfmt.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "client/Strings.h"

namespace Voxlet {
namespace {

icu::UnicodeString ToUnicode(std::u16string_view text) {
  return icu::UnicodeString(text.data(), static_cast<int32_t>(text.size()));
}

// The numbers of the arguments that the pattern uses as a plain "{n}": ICU would write a
// number there with the locale's default format, grouping separators included.
std::set<int32_t> PlainArguments(const icu::UnicodeString& pattern) {
  std::set<int32_t> plain;
  UErrorCode status = U_ZERO_ERROR;
  icu::MessagePattern parsed(pattern, nullptr, status);
  if (U_FAILURE(status)) return plain;
  for (int32_t i = 0; i + 1 < parsed.countParts(); ++i) {
    const icu::MessagePattern::Part& part = parsed.getPart(i);
    if (part.getType() != UMSGPAT_PART_TYPE_ARG_START || part.getArgType() != UMSGPAT_ARG_TYPE_NONE) continue;
    const icu::MessagePattern::Part& id = parsed.getPart(i + 1);
    if (id.getType() == UMSGPAT_PART_TYPE_ARG_NUMBER) plain.insert(id.getValue());
  }
  return plain;
}

// A double written the same in every locale: the root locale's format without grouping.
icu::UnicodeString LocaleFreeDouble(double value) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> format(icu::NumberFormat::createInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return ToUnicode(FormatDouble(value));
  format->setGroupingUsed(false);
  icu::UnicodeString text;
  format->format(value, text);
  return text;
}

icu::Formattable ToFormattable(const FormatArgument& arg, bool plain) {
  const auto& v = arg.Value();
  if (const int64_t* i = std::get_if<int64_t>(&v))
    return plain ? icu::Formattable(ToUnicode(FormatInteger(*i))) : icu::Formattable(static_cast<int64_t>(*i));
  if (const double* d = std::get_if<double>(&v))
    return plain ? icu::Formattable(LocaleFreeDouble(*d)) : icu::Formattable(*d);
  return icu::Formattable(ToUnicode(std::get<StringBuffer>(v)));
}

// Replaces each number format of the message by a copy without grouping separators.
void TurnOffGrouping(icu::MessageFormat& message) {
  int32_t count = 0;
  const icu::Format** formats = message.getFormats(count);
  for (int32_t i = 0; i < count; ++i) {
    const auto* number = dynamic_cast<const icu::NumberFormat*>(formats[i]);
    if (!number || !number->isGroupingUsed()) continue;
    icu::NumberFormat* copy = number->clone();
    copy->setGroupingUsed(false);
    message.adoptFormat(i, copy);
  }
}

}  // namespace

StringBuffer MessageFormat(std::u16string_view pattern, std::initializer_list<FormatArgument> args) {
  const icu::UnicodeString text = ToUnicode(pattern);
  UErrorCode status = U_ZERO_ERROR;
  icu::MessageFormat message(text, icu::Locale::getDefault(), status);
  if (U_FAILURE(status)) return {};
  TurnOffGrouping(message);

  const std::set<int32_t> plain = PlainArguments(text);
  std::vector<icu::Formattable> values;
  values.reserve(args.size());
  int32_t index = 0;
  for (const FormatArgument& arg : args) values.push_back(ToFormattable(arg, plain.count(index++) != 0));

  icu::UnicodeString result;
  icu::FieldPosition ignore(icu::FieldPosition::DONT_CARE);
  message.format(values.data(), static_cast<int32_t>(values.size()), result, ignore, status);
  if (U_FAILURE(status)) return {};
  return StringBuffer(result.getBuffer(), static_cast<size_t>(result.length()));
}

StringBuffer CurrentTimestamp(int64_t offsetSeconds) {
  using namespace std::chrono;
  const auto now = system_clock::now() + seconds(offsetSeconds);
  const int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
  const time_t secs = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const int millis = static_cast<int>(ms - static_cast<int64_t>(secs) * 1000);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return StringBuffer(buffer, buffer + std::char_traits<char>::length(buffer));
}

StringBuffer NewId(std::u16string_view prefix) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  StringBuffer id(prefix);
  for (int half = 0; half < 2; ++half) {
    uint64_t bits = generator();
    for (int digit = 0; digit < 16; ++digit, bits >>= 4) id.push_back(kHex[bits & 0xF]);
  }
  return id;
}

}  // namespace Voxlet
