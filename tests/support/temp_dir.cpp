#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

temp_dir::temp_dir() {
  char pattern[] = "/tmp/relayhub-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr)
    path = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  if (!path.empty())
    std::filesystem::remove_all(path, ignored);
}

bool temp_dir::make_certificate(const std::string &name, int from_days, int to_days) {
  EVP_PKEY *key = EVP_EC_gen("P-256");
  X509 *cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), static_cast<long>(from_days) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(to_days) * 86400);
  X509_set_pubkey(cert, key);
  X509_NAME *subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1, -1,
                             0);
  X509_set_issuer_name(cert, subject);
  bool ok = X509_sign(cert, key, EVP_sha256()) > 0;
  FILE *file = fopen((path + "/" + name).c_str(), "w");
  ok = ok && file != nullptr && PEM_write_X509(file, cert) == 1 &&
       PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (file != nullptr)
    fclose(file);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}
