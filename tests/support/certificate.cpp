#include "support/certificate.h"

#include <fstream>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

std::string pem_of(X509 *certificate) {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  BUF_MEM *text = nullptr;
  BIO_get_mem_ptr(bio, &text);
  std::string result(text->data, text->length);
  BIO_free(bio);
  return result;
}

std::string pem_of(EVP_PKEY *key) {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  BUF_MEM *text = nullptr;
  BIO_get_mem_ptr(bio, &text);
  std::string result(text->data, text->length);
  BIO_free(bio);
  return result;
}

void add_extension(X509 *certificate, X509 *issuer, int nid, const char *value) {
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// Signed by `issuer_key`; a null `issuer` makes it self-signed.
X509 *new_certificate(const std::string &name, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, bool ca,
                      long valid_from, long valid_until) {
  static long serial = 1;
  X509 *certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
  X509_gmtime_adj(X509_getm_notBefore(certificate), valid_from);
  X509_gmtime_adj(X509_getm_notAfter(certificate), valid_until);
  X509_set_pubkey(certificate, key);
  X509_NAME *subject = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(name.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate, issuer != nullptr ? X509_get_subject_name(issuer) : subject);
  X509 *signer = issuer != nullptr ? issuer : certificate;
  add_extension(certificate, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (ca) {
    add_extension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  X509_sign(certificate, issuer_key != nullptr ? issuer_key : key, EVP_sha256());
  return certificate;
}

} // namespace

certificate_files make_certificate(const certificate_options &options) {
  certificate_files files;
  EVP_PKEY *root_key = EVP_EC_gen("P-256");
  X509 *root = new_certificate("relayhub test root", root_key, nullptr, nullptr, true, -86400, 365L * 86400);
  files.root = pem_of(root);

  std::vector<X509 *> cas;
  std::vector<EVP_PKEY *> keys{root_key};
  X509 *issuer = root;
  EVP_PKEY *issuer_key = root_key;
  for (int i = 0; i < options.intermediates; ++i) {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *ca =
        new_certificate("relayhub test ca " + std::to_string(i), key, issuer, issuer_key, true, -86400, 365L * 86400);
    cas.push_back(ca);
    keys.push_back(key);
    issuer = ca;
    issuer_key = key;
  }
  EVP_PKEY *leaf_key = EVP_EC_gen("P-256");
  X509 *leaf = new_certificate(options.common_name, leaf_key, issuer, issuer_key, false, options.valid_from,
                               options.valid_until);
  keys.push_back(leaf_key);

  files.pem = pem_of(leaf);
  for (auto it = cas.rbegin(); it != cas.rend(); ++it) {
    files.pem += pem_of(*it);
  }
  if (options.key_matches) {
    files.pem += pem_of(leaf_key);
  } else {
    EVP_PKEY *other = EVP_EC_gen("P-256");
    files.pem += pem_of(other);
    EVP_PKEY_free(other);
  }

  X509_free(leaf);
  for (X509 *ca : cas) {
    X509_free(ca);
  }
  X509_free(root);
  for (EVP_PKEY *key : keys) {
    EVP_PKEY_free(key);
  }
  return files;
}

bool write_text_file(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}
