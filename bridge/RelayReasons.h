#pragma once

// Why a clicker packet is, or is not, relayed to the software service: the last part of each
// clicker packet's log line.
namespace Bridge::Reasons {
inline constexpr const char* kRelaying = "relaying to software service...";
inline constexpr const char* kNotConnected = "not relaying to software service because we're not connected";
inline constexpr const char* kNotSubscribed = "not relaying to software service because we're not subscribed";
inline constexpr const char* kNotFound = "not relaying to software service because endpoint not found in our maps";
inline constexpr const char* kAnonymous =
    "not relaying to software service because we think the current class is anonymous";
inline constexpr const char* kNotAnonymous =
    "not relaying to software service because we think the current class is not anonymous";
inline constexpr const char* kFakingDisassociate =
    "relaying to software service by way of faking disassociate and heartbeat...";
inline constexpr const char* kAlreadyCreated = "Endpoint has already been created and logged in.";
inline constexpr const char* kNoAssessment =
    "not relaying to software service because we don't think an assessment is started";
}  // namespace Bridge::Reasons
