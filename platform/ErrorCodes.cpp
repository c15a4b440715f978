#include "platform/ErrorCodes.h"

#include <string>

namespace {

class OvantaErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ovanta"; }
  std::string message(int value) const override {
    switch (static_cast<Platform::Error>(value)) {
      case Platform::Error::kNotPresent:
        return "device not present";
      case Platform::Error::kInUse:
        return "device in use";
      case Platform::Error::kAlreadyOpen:
        return "device already open";
      case Platform::Error::kNotALinkDevice:
        return "device cannot carry this kind of link";
    }
    return "unknown error " + std::to_string(value);
  }
};

}  // namespace

const std::error_category& Platform::ErrorCategory() {
  static const OvantaErrorCategory category;
  return category;
}

std::error_code Platform::make_error_code(Error error) { return {static_cast<int>(error), ErrorCategory()}; }
