#include "tools/service-sim/SimText.h"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "client/XmlPlatform.h"
#include "text/StringBuffer.h"
#include "tools/service-sim/SimTypes.h"

namespace ServiceSim {

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

std::string SimRequest::Header(const std::string& name) const {
  const auto it = headers.find(LowerAscii(name));
  return it == headers.end() ? std::string() : it->second;
}

bool SimRequest::HasHeader(const std::string& name) const { return headers.count(LowerAscii(name)) != 0; }

std::string UrlDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void SplitTarget(const std::string& target, std::string& path, std::map<std::string, std::string>& query) {
  const size_t q = target.find('?');
  path = UrlDecode(target.substr(0, q));
  query.clear();
  if (q == std::string::npos) return;
  const std::string rest = target.substr(q + 1);
  size_t start = 0;
  while (start <= rest.size()) {
    const size_t amp = std::min(rest.find('&', start), rest.size());
    const std::string item = rest.substr(start, amp - start);
    if (!item.empty()) {
      const size_t eq = item.find('=');
      query[UrlDecode(item.substr(0, eq))] = eq == std::string::npos ? std::string() : UrlDecode(item.substr(eq + 1));
    }
    start = amp + 1;
  }
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string XmlDeclaration() { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"; }

std::string VoxletNamespaces() { return " xmlns:voxlet=\"" + kVocabulary + "\" xmlns:xlink=\"" + kXLink + "\""; }

std::string VoxletAttribute(const std::string& name, const std::string& value) {
  return " voxlet:" + name + "=\"" + XmlEscape(value) + "\"";
}

std::string UtcTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
  return text;
}

std::string ToUtf8(const XMLCh* text) { return text ? Voxlet::UTF16to8(std::u16string_view(text)) : std::string(); }

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

namespace {

void Collect(const xercesc::DOMElement* element, XmlFields& fields) {
  const std::string name = ToUtf8(element->getLocalName());
  fields.texts.emplace(name, ToUtf8(element->getTextContent()));
  const xercesc::DOMNamedNodeMap* attributes = element->getAttributes();
  for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
    const xercesc::DOMNode* a = attributes->item(i);
    const XMLCh* local = a->getLocalName() ? a->getLocalName() : a->getNodeName();
    fields.attributes.emplace(name + "@" + ToUtf8(local), ToUtf8(a->getNodeValue()));
  }
  for (const xercesc::DOMElement* child = element->getFirstElementChild(); child;
       child = child->getNextElementSibling())
    Collect(child, fields);
}

}  // namespace

void ConfigureUntrustedParser(xercesc::XercesDOMParser& parser, xercesc::ErrorHandler& errors) {
  parser.setDoNamespaces(true);
  parser.setValidationScheme(xercesc::XercesDOMParser::Val_Never);
  parser.setLoadExternalDTD(false);
  parser.setDisableDefaultEntityResolution(true);
  parser.setCreateEntityReferenceNodes(false);
  parser.setErrorHandler(&errors);
}

XmlFields ReadXmlFields(const std::string& body) {
  Voxlet::XmlPlatform::Init();  // the one initialisation of Xerces in the process
  XmlFields fields;
  // One parser a thread, kept: building a parser costs more than parsing a submission.
  struct Parser {
    xercesc::XercesDOMParser parser;
    xercesc::HandlerBase errors;  // throws on fatal errors
    Parser() { ConfigureUntrustedParser(parser, errors); }
  };
  thread_local Parser reader;
  try {
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(body.data()), body.size(), "body");
    reader.parser.parse(source);
    const xercesc::DOMDocument* document = reader.parser.getDocument();
    if (document && document->getDocumentElement() && !document->getDoctype()) {
      Collect(document->getDocumentElement(), fields);
      fields.wellFormed = true;
    }
  } catch (...) {
    fields = XmlFields();
  }
  reader.parser.resetDocumentPool();  // the documents parsed are not kept
  return fields;
}

std::vector<BodyPart> SplitMultipart(const std::string& contentType, const std::string& body) {
  std::vector<BodyPart> parts;
  if (LowerAscii(contentType).rfind("multipart/", 0) != 0) return parts;
  size_t b = contentType.find("boundary=");
  if (b == std::string::npos) return parts;
  std::string boundary = contentType.substr(b + 9);
  boundary = boundary.substr(0, boundary.find(';'));
  if (boundary.size() >= 2 && boundary.front() == '"') boundary = boundary.substr(1, boundary.find('"', 1) - 1);
  const std::string delimiter = "--" + boundary;
  size_t pos = body.find(delimiter);
  while (pos != std::string::npos) {
    pos += delimiter.size();
    if (body.compare(pos, 2, "--") == 0) break;  // closing delimiter
    if (body.compare(pos, 2, "\r\n") != 0) break;
    pos += 2;
    const size_t headerEnd = body.find("\r\n\r\n", pos);
    const size_t next = body.find("\r\n" + delimiter, pos);
    if (next == std::string::npos) break;
    BodyPart part;
    const bool noHeaders = body.compare(pos, 2, "\r\n") == 0;
    const bool hasHeaders = !noHeaders && headerEnd != std::string::npos && headerEnd < next;
    const size_t contentStart = hasHeaders ? headerEnd + 4 : (noHeaders ? pos + 2 : pos);
    const std::string block = hasHeaders ? body.substr(pos, headerEnd - pos) : std::string();
    for (size_t line = 0; line < block.size();) {
      const size_t eol = std::min(block.find("\r\n", line), block.size());
      const std::string h = block.substr(line, eol - line);
      const size_t colon = h.find(':');
      if (colon != std::string::npos) {
        const size_t value = std::min(h.size(), h.find_first_not_of(' ', colon + 1));
        part.headers[LowerAscii(h.substr(0, colon))] = h.substr(value);
      }
      line = eol + 2;
    }
    part.content = body.substr(contentStart, next - contentStart);
    parts.push_back(std::move(part));
    pos = body.find(delimiter, next + 2);
  }
  return parts;
}

}  // namespace ServiceSim
