#pragma once

namespace Voxlet::XmlPlatform {

// Brings up Xerces-C and Xalan-C (with the library's XPath functions) for the life of the
// process. Idempotent and thread-safe: every user of the XML, XPath and RDF helpers may call
// it, and the helpers call it themselves.
void Init();

}  // namespace Voxlet::XmlPlatform
