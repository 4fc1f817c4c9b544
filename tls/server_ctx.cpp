#include "tls/server_ctx.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "shell/console.h"
#include "tls/g_tls.h"
#include "tls/utf16_to_utf8.h"

std::atomic<uint8_t> tls_ready{0};
std::atomic<ssl_ctx_st *> server_ctx{nullptr};

void tls_context_setup() {
  if (tls_ready.load() == 0) {
    wprint(L"%hs\n", OpenSSL_version(OPENSSL_VERSION));
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    // A context left by an earlier set-up that loaded no certificate is
    // replaced, not leaked; no connection can be using it yet.
    SSL_CTX_free(server_ctx.exchange(ctx));
    if (ctx == nullptr) {
      wprint(L"cannot create server SSL context\n\n");
    } else {
      SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
      SSL_CTX_set_cipher_list(ctx, "CHACHA20:ECDHE+AESGCM:ECDHE+SHA384:ECDHE+SHA1:!CAMELLIA:!AES128");
      SSL_CTX_set_ciphersuites(ctx, "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
      SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
      SSL_CTX_set_security_level(ctx, 2);
    }
  }
  g_tls_t::load_cer(TLS_CERTIFICATE_FILE_1, TLS_CERTIFICATE_FILE_1);
  g_tls_t::load_cer(TLS_CERTIFICATE_FILE_2, TLS_CERTIFICATE_FILE_2);
}

void tls_context_release() {
  tls_ready.store(0);
  SSL_CTX_free(server_ctx.exchange(nullptr));
}

namespace {

// Code units of the UTF-16 path buffer, terminator included.
constexpr size_t UTF16_PATH_UNITS = 65536;

// A certificate or key path, kept in the caller's UTF-16 form and in the UTF-8
// form that OpenSSL opens.
struct tls_path_t {
  char16_t utf16[UTF16_PATH_UNITS];
  char utf8[65536];

  explicit tls_path_t(const char16_t *name) {
    std::char_traits<char16_t>::copy(utf16, name, std::char_traits<char16_t>::length(name) + 1);
    utf16_to_utf8(utf8, utf16);
  }

  // A null path keeps the stored one; one too long to fit leaves it empty.
  void store(const char16_t *path, const wchar_t *too_long) {
    if (path == nullptr) {
      return;
    }
    std::char_traits<char16_t>::assign(utf16, UTF16_PATH_UNITS, 0);
    size_t length = std::char_traits<char16_t>::length(path);
    if (length >= UTF16_PATH_UNITS) {
      wprint(too_long, static_cast<unsigned>(length), static_cast<unsigned>(UTF16_PATH_UNITS - 1));
      return;
    }
    std::char_traits<char16_t>::copy(utf16, path, length + 1);
  }
};

tls_path_t tls_cer(TLS_CERTIFICATE_FILE_1);
tls_path_t tls_key(TLS_CERTIFICATE_FILE_1);

} // namespace

int32_t g_tls_t::load_cer(const char16_t *cer, const char16_t *key) {
  tls_cer.store(cer, L"g_tls_t::load_cer()  tls_cer too long  %u/%u\n");
  tls_key.store(key, L"g_tls_t::load_cer()  tls_key too long  %u/%u\n");
  SSL_CTX *ctx = server_ctx.load();
  if (ctx == nullptr) {
    return -1;
  }
  if (utf16_to_utf8(tls_cer.utf8, tls_cer.utf16) == 0 || utf16_to_utf8(tls_key.utf8, tls_key.utf16) == 0) {
    return -1;
  }
  // A failed load is silent: whatever OpenSSL queued is dropped before the
  // next call so it cannot be mistaken for that call's failure.
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx, tls_cer.utf8) <= 0) {
    return -1;
  }
  ERR_clear_error();
  if (SSL_CTX_use_PrivateKey_file(ctx, tls_key.utf8, SSL_FILETYPE_PEM) <= 0) {
    return -1;
  }
  ERR_clear_error();
  if (SSL_CTX_check_private_key(ctx) == 0) {
    return -1;
  }
  tls_ready.store(1);

  X509 *certificate = SSL_CTX_get0_certificate(ctx);
  const ASN1_TIME *not_after = certificate != nullptr ? X509_get0_notAfter(certificate) : nullptr;
  if (not_after == nullptr) {
    return 0;
  }
  int days = 0;
  int seconds = 0;
  // An expired certificate is still served; the message only warns.
  if (ASN1_TIME_diff(&days, &seconds, nullptr, not_after) == 1 && days <= 0 && seconds <= 0) {
    wprint(L"certificate expired %i days ago\n\n", -days);
  }
  return 0;
}
