// Owners of libcurl handles, and the one place where libcurl's failures become readable text.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace quillmor_speech {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// libcurl's text for a failed transfer: the code's fixed description, followed by the details
// that the transfer wrote into its error buffer when there are any, for example
// "Couldn't connect to server (Failed to connect to 127.0.0.1 port 9: Connection refused)".
inline std::string curlErrorText(CURLcode code, const char* errorBuffer) {
  std::string text = curl_easy_strerror(code);
  if (errorBuffer != nullptr && errorBuffer[0] != '\0') {
    std::string details = errorBuffer;
    while (!details.empty() && (details.back() == '\n' || details.back() == '\r')) {
      details.pop_back();
    }
    text += " (" + details + ")";
  }
  return text;
}

}  // namespace quillmor_speech
