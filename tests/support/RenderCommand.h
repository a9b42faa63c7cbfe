#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

// The build folder the tests run from (TWEENOVA_BUILD_DIR, set by ctest).
inline std::string buildDir()
{
  const char* b = std::getenv("TWEENOVA_BUILD_DIR");
  return b ? b : ".";
}

struct Outcome {
  int status;
  std::string out;  // stdout and stderr together
};

// Runs a shell command; its exit status (-1 when it did not exit) and what
// it printed on stdout (add 2>&1 for stderr too).
inline Outcome runCommand(const std::string& cmd)
{
  FILE* p = popen(cmd.c_str(), "r");
  Outcome r{-1, {}};
  std::array<char, 4096> buf;
  while (p && fgets(buf.data(), int(buf.size()), p))
    r.out += buf.data();
  const int st = p ? pclose(p) : -1;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// Runs tweenova-render quietly with the test model library serving `network`
// (empty: the built-in network).
inline Outcome render(const std::string& args, const std::string& network = "blend")
{
  std::string cmd = buildDir() + "/tweenova-render " + args + " -q";
  if (!network.empty())
    cmd = "TWEENOVA_TEST_ARCHIVE=" + buildDir() + "/tests/networks/" + network + ".pt " + cmd +
          " --model-library " + buildDir() + "/tests/networks/TestModelsFile.so";
  return runCommand(cmd + " 2>&1");
}

} // namespace testsupport
