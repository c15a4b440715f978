#pragma once
#include "text/StringBuffer.h"

namespace Voxlet::Helpers {

// Sends a mail over SMTP (port 25 unless the host names one, "host:port") with body as its
// text and, when attachmentPath is not empty, that file attached. Answers true when the
// server accepted the mail.
bool EmailFileAsAttachment(const StringBuffer& mailHost, const StringBuffer& to, const StringBuffer& fromName,
                           const StringBuffer& fromAddress, const StringBuffer& subjectTag, const StringBuffer& subject,
                           const StringBuffer& body, const StringBuffer& attachmentPath,
                           const StringBuffer& attachmentName);

}  // namespace Voxlet::Helpers
