#pragma once
#include <cstdint>

#include "client/XmlDocument.h"
#include "text/StringBuffer.h"

namespace Bridge {

// The receiver's subject in the software service, and the receiver hello path: the hello with
// that subject, URL-encoded.
inline constexpr const char16_t* kReceiverSubject = u"urn:com.vantrel.voxlet:receiver";
inline constexpr const char16_t* kReceiverHelloPath =
    u"/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Areceiver";

// A 64-bit MAC (high and low halves) as eight upper-case hexadecimal bytes joined by hyphens,
// most significant first: "00-11-22-33-44-55-66-77".
Voxlet::StringBuffer FormatMacAddress(uint32_t macHigh, uint32_t macLow);

// What a receiver tells the software service about itself.
struct ReceiverDescription {
  Voxlet::StringBuffer make;     // the receiver type text
  Voxlet::StringBuffer address;  // FormatMacAddress
  Voxlet::StringBuffer title;    // the firmware version text
  Voxlet::StringBuffer product;  // the product text
};

// rdf:RDF / rdf:Description about the receiver subject with voxlet:make, voxlet:address,
// dc:title, voxlet:hardwaredevicetype (the receiver device type term) and voxlet:receivertype,
// in that order.
Voxlet::XmlDocumentPtr BuildHelloDocument(const ReceiverDescription& receiver);

}  // namespace Bridge
