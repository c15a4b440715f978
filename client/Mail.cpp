#include "client/Mail.h"

#include <curl/curl.h>

#include <ctime>
#include <mutex>
#include <string>

namespace Voxlet::Helpers {
namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string MailDate() {
  char text[64];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local);
  return text;
}

// Header values must not carry line breaks (header injection).
std::string HeaderValue(const StringBuffer& value) {
  std::string text = UTF16to8(value);
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

}  // namespace

bool EmailFileAsAttachment(const StringBuffer& mailHost, const StringBuffer& to, const StringBuffer& fromName,
                           const StringBuffer& fromAddress, const StringBuffer& subjectTag, const StringBuffer& subject,
                           const StringBuffer& body, const StringBuffer& attachmentPath,
                           const StringBuffer& attachmentName) {
  if (mailHost.empty() || to.empty()) return false;
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (!curl) return false;

  const std::string url = "smtp://" + HeaderValue(mailHost);
  const std::string from = HeaderValue(fromAddress);
  const std::string recipient = HeaderValue(to);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + from + ">").c_str());
  curl_slist* recipients = curl_slist_append(nullptr, ("<" + recipient + ">").c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, ("Date: " + MailDate()).c_str());
  headers = curl_slist_append(headers, ("From: \"" + HeaderValue(fromName) + "\" <" + from + ">").c_str());
  headers = curl_slist_append(headers, ("To: <" + recipient + ">").c_str());
  headers = curl_slist_append(headers, ("Subject: " + HeaderValue(subject)).c_str());
  if (!subjectTag.empty()) headers = curl_slist_append(headers, ("X-Voxlet-Tag: " + HeaderValue(subjectTag)).c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  curl_mime* mime = curl_mime_init(curl);
  curl_mimepart* text = curl_mime_addpart(mime);
  const std::string bodyText = UTF16to8(body);
  curl_mime_data(text, bodyText.c_str(), bodyText.size());
  curl_mime_type(text, "text/plain; charset=utf-8");
  if (!attachmentPath.empty()) {
    curl_mimepart* file = curl_mime_addpart(mime);
    curl_mime_filedata(file, UTF16to8(attachmentPath).c_str());
    if (!attachmentName.empty()) curl_mime_filename(file, HeaderValue(attachmentName).c_str());
    curl_mime_encoder(file, "base64");
  }
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);

  const CURLcode result = curl_easy_perform(curl);

  curl_mime_free(mime);
  curl_slist_free_all(headers);
  curl_slist_free_all(recipients);
  curl_easy_cleanup(curl);
  return result == CURLE_OK;
}

}  // namespace Voxlet::Helpers
