#pragma once

#include <string>
#include <vector>

namespace devicecheck {

struct CheckOptions {
  std::string data = ".device-check/frames";  // folder of frame files
  std::string modelLibrary;  // empty: TweenovaModels.so beside the program
  std::string archive;       // a TorchScript network served by the test model library instead
  bool standIn = false;      // the network is a stand-in: its quality is shown, not judged
  bool cpuOnly = false;      // leave any GPU alone
  std::vector<std::string> rows;  // extra summary rows, "CHECK|RESULT|VERDICT"
};

enum class ParseOutcome { Run, Help, Error };

// Reads the command line into `options`; on Error, `error` says what is wrong.
ParseOutcome parseCheckOptions(int argc, const char* const* argv, CheckOptions& options, std::string& error);

// The --help text.
std::string checkUsage();

} // namespace devicecheck
