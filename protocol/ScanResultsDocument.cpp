#include "protocol/ScanResultsDocument.h"

#include <string>

#include "client/XmlSchema.h"

namespace {

Voxlet::StringBuffer Number(int value) { return Voxlet::UTF8to16(std::to_string(value)); }

}  // namespace

Voxlet::XmlDocumentPtr BuildScanResultsDocument(const ScanResultsTable& table, int thresholdGoodPoor,
                                                int thresholdExcellentGood) {
  using Voxlet::XmlSchema;
  Voxlet::XmlDocumentPtr document = XmlSchema::NewDoc(u"rf");
  if (!document) return nullptr;
  xercesc::DOMElement* rf = document->Root();
  XmlSchema::SetAttribute(rf, u"channels", u"16");
  XmlSchema::SetAttribute(rf, u"thresholds", Number(thresholdGoodPoor) + u" " + Number(thresholdExcellentGood));
  for (const ScanChannel& channel : table.Channels()) {
    xercesc::DOMElement* ch = XmlSchema::CreateElement(rf, u"ch");
    XmlSchema::SetAttribute(ch, u"id", Number(channel.id));
    XmlSchema::SetAttribute(ch, u"pid", channel.latest.pid);
    XmlSchema::SetAttribute(ch, u"ed", channel.latest.value);
    XmlSchema::SetAttribute(ch, u"timestamp", channel.latest.timestamp);
    for (const ScanReading& older : channel.history) {
      xercesc::DOMElement* ed = XmlSchema::CreateElement(ch, u"ed");
      XmlSchema::SetAttribute(ed, u"value", older.value);
      XmlSchema::SetAttribute(ed, u"pid", older.pid);
      XmlSchema::SetAttribute(ed, u"timestamp", older.timestamp);
    }
  }
  return document;
}
