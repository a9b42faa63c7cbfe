#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace testsupport {

// A folder of its own for one test (named after `stem` and the process),
// removed with everything in it at the end of the scope.
struct TempDir {
  std::filesystem::path path;
  explicit TempDir(const std::string& stem)
      : path(std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(::getpid())))
  {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

} // namespace testsupport
