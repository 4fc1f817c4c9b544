// The process-wide server TLS context and the certificate files it serves;
// their loader, `g_tls_t::load_cer`, lives with it in server_ctx.cpp.
#pragma once

#include <atomic>
#include <cstdint>

struct ssl_ctx_st;

// Set while a certificate chain and a matching key are loaded.
extern std::atomic<uint8_t> tls_ready;
extern std::atomic<ssl_ctx_st *> server_ctx;

// The two certificate files in the working directory; each holds a
// certificate chain and its private key in PEM form.
inline constexpr const char16_t *TLS_CERTIFICATE_FILE_1 = u"relayhub.pem";
inline constexpr const char16_t *TLS_CERTIFICATE_FILE_2 = u"relayhub2.pem";

// Prints the TLS library's version line, creates and configures the server
// context (unless one is ready), then loads both certificate files.
void tls_context_setup();
// Clears `tls_ready` and frees the context.
void tls_context_release();
