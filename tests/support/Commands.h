#pragma once

// Running programs from a test: any shell command, and tweenova-render with
// or without a test network.
#include "networks/TestNetworks.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace testsupport {

using testnetworks::buildDir;

struct Outcome {
  int status;       // the exit status; -1 when the command did not exit
  std::string out;  // what it printed on stdout (and stderr where the command sends it there)
};

// Runs a shell command; its exit status and what it printed on stdout (add
// 2>&1 for stderr too).
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

// Runs a shell command that makes what a test needs (a file, a folder): a
// failure naming the command, its status and all it printed unless it exits 0.
[[nodiscard]] inline ::testing::AssertionResult commandSucceeds(const std::string& cmd)
{
  const Outcome r = runCommand("(" + cmd + ") 2>&1");
  if (r.status == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << cmd << "\nexited with " << r.status << ":\n" << r.out;
}

// The shell command line of tweenova-render with `args`, the test model
// library serving the test network `network` (empty: the built-in network).
// It starts with the program or with env, so that exec may come before it.
inline std::string renderCommandLine(const std::string& args, const std::string& network = "")
{
  const std::string program = buildDir() + "/tweenova-render " + args;
  if (network.empty())
    return program;
  return "env TWEENOVA_TEST_ARCHIVE=" + testnetworks::networkPath(network) + " " + program + " --model-library " +
         testnetworks::libraryPath("TestModelsFile");
}

// Runs tweenova-render quietly (-q) with the test network `network` (empty:
// the built-in network); its status and stdout and stderr together.
inline Outcome render(const std::string& args, const std::string& network = "blend")
{
  return runCommand(renderCommandLine(args + " -q", network) + " 2>&1");
}

} // namespace testsupport
