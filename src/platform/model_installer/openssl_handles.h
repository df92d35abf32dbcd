// Owners of OpenSSL (libcrypto) handles, and the one place where its failures become readable
// text.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace quillmor_speech {

struct EvpMdCtxDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;

// The text of the oldest error queued on this thread (the queue is then emptied), or a fixed
// text when OpenSSL gave none.
inline std::string openSslErrorText() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace quillmor_speech
