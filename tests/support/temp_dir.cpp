#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "relayhub-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr)
    path = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  if (!previous.empty())
    std::filesystem::current_path(previous, ignored);
  if (!path.empty())
    std::filesystem::remove_all(path, ignored);
}

bool temp_dir::enter() {
  std::error_code failed;
  if (path.empty())
    return false;
  const std::filesystem::path current = std::filesystem::current_path(failed);
  if (failed)
    return false;
  std::filesystem::current_path(path, failed);
  if (failed)
    return false;
  if (previous.empty())
    previous = current.string();
  return true;
}
