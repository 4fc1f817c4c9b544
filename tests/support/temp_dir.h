// A temporary working directory for a test, removed with its contents.
#pragma once

#include <string>

class temp_dir {
public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;

  // Writes a self-signed certificate and its key as one PEM file `name`,
  // valid from `from_days` to `to_days` relative to now (negative: past).
  bool make_certificate(const std::string &name, int from_days = 0, int to_days = 365);

  std::string path;
};
