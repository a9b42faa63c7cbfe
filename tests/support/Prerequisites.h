#pragma once

// What some tests need from the machine beyond the build: the developer test
// frames, and root. Each check gives the reason to skip a test that cannot run
// here (for GTEST_SKIP), or nothing when it can.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

// The developer test frames: TWEENOVA_TESTDATA when set, else the shared
// folder beside the checkout.
inline std::filesystem::path testDataDir()
{
  const char* data = std::getenv("TWEENOVA_TESTDATA");
  return data ? std::filesystem::path(data) : std::filesystem::path(TWEENOVA_TESTDATA_DIR);
}

// Why the test frames in `folder` (relative to testDataDir()) cannot be read
// here: the folder that is missing.
inline std::optional<std::string> missingTestData(const std::string& folder)
{
  const std::filesystem::path path = testDataDir() / folder;
  if (std::filesystem::is_directory(path))
    return std::nullopt;
  return "the developer test frames are not here: no folder " + path.string() +
         " (the shared test data beside the checkout; TWEENOVA_TESTDATA names another place)";
}

// Why `what` cannot be done here: it needs root.
inline std::optional<std::string> notRoot(const std::string& what)
{
  if (::geteuid() == 0)
    return std::nullopt;
  return what + " needs root; the tests run as user " + std::to_string(::geteuid());
}

} // namespace testsupport
