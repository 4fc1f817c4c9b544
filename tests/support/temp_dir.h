// A temporary directory for a test, removed with its contents.
#pragma once

#include <string>

class temp_dir {
public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;

  // Makes the directory the working directory until the object goes, for
  // code that opens files by relative name. False when it cannot.
  bool enter();

  // Empty when the directory could not be made.
  std::string path;

private:
  std::string previous;
};
