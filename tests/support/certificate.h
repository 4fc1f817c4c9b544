// Certificates made on the spot for the tests: a chain signed by a fresh root,
// written as the PEM files the relay loads.
#pragma once

#include <string>

struct certificate_options {
  std::string common_name = "relayhub test";
  // CA certificates between the root and the leaf; the file carries them.
  int intermediates = 0;
  // Validity relative to now, in seconds.
  long valid_from = -86400;
  long valid_until = 30L * 86400;
  // When false the file holds a key that does not belong to the leaf.
  bool key_matches = true;
};

struct certificate_files {
  // Leaf, intermediates, then the leaf's private key, all PEM.
  std::string pem;
  // The root that signed the chain, for a client's trust store.
  std::string root;
};

certificate_files make_certificate(const certificate_options &options);
// Writes `text` as the whole file `path`; false when it cannot.
bool write_text_file(const std::string &path, const std::string &text);
