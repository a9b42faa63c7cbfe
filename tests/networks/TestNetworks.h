#pragma once

// Where the tests find the networks and model libraries the build wrote, and
// a scope that serves one test network to the node's open step.

#include "runtime/ModelLibrary.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace testnetworks {

// The build folder: TWEENOVA_BUILD_DIR (set by ctest), else the folder above the test program's.
inline std::string buildDir()
{
  if (const char* dir = std::getenv("TWEENOVA_BUILD_DIR"))
    return dir;
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path = n > 0 ? std::string(exe, size_t(n)) : std::string();
  for (int i = 0; i < 2 && !path.empty(); ++i)
    path = path.substr(0, path.find_last_of('/'));
  return path;
}

inline std::string networkPath(const std::string& name) { return buildDir() + "/tests/networks/" + name + ".pt"; }
inline std::string libraryPath(const std::string& name) { return buildDir() + "/tests/networks/" + name + ".so"; }
inline std::string realModelLibrary() { return buildDir() + "/TweenovaModels.so"; }

// While it lives, the open step loads `library` (default: the test library
// that serves TWEENOVA_TEST_ARCHIVE), which hands over the test network `network`.
class ServeNetwork {
public:
  explicit ServeNetwork(const std::string& network, const std::string& library = "TestModelsFile")
  {
    serve(network);
    tweenova::setModelLibraryPath(libraryPath(library));
  }
  ~ServeNetwork()
  {
    tweenova::setModelLibraryPath("");
    unsetenv("TWEENOVA_TEST_ARCHIVE");
  }
  ServeNetwork(const ServeNetwork&) = delete;
  ServeNetwork& operator=(const ServeNetwork&) = delete;

  void serve(const std::string& network) { setenv("TWEENOVA_TEST_ARCHIVE", networkPath(network).c_str(), 1); }
  void useLibrary(const std::string& path) { tweenova::setModelLibraryPath(path); }
};

} // namespace testnetworks
