// The process-wide server TLS context and its certificate files.
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

// UTF-16 to UTF-8 into a 65536-byte buffer. Returns the bytes written before
// the terminator, or 0 on failure (also for an empty source).
uint64_t utf16_to_utf8(char *destination, const char16_t *source);
