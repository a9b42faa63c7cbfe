#include "device/CheckOptions.h"

#include <map>

namespace devicecheck {

namespace {

const char* const kUsage =
  "usage: tweenova-device-check [options]\n"
  "Renders real frame pairs through the Tweenova node on the GPU and on the CPU and compares them; times the\n"
  "network and the node at 1080p; ends with a summary table. Without a GPU only the CPU half runs.\n"
  "\n"
  "  --data DIR            folder of .frames files (default .device-check/frames)\n"
  "  --model-library LIB   model library the node loads (default TweenovaModels.so beside this program)\n"
  "  --archive FILE        run the TorchScript network FILE instead, handed over by the test model library\n"
  "                        tests/networks/TestModelsFile.so of this program's build folder\n"
  "  --stand-in            the network is a stand-in: its quality against the frame average is shown, not judged\n"
  "  --cpu-only            leave any GPU alone: the CPU half only\n"
  "  --row 'CHECK|RESULT|VERDICT'\n"
  "                        add a row to the summary (VERDICT: PASS, FAIL, INFO or SKIP)\n"
  "  -h, --help            this text\n"
  "\n"
  "Exit status: 0 when no check failed, 1 when one did, 2 for a wrong command line.\n";

} // namespace

std::string checkUsage() { return kUsage; }

ParseOutcome parseCheckOptions(int argc, const char* const* argv, CheckOptions& o, std::string& error)
{
  const std::map<std::string, std::string*> values{
    {"--data", &o.data}, {"--model-library", &o.modelLibrary}, {"--archive", &o.archive}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help")
      return ParseOutcome::Help;
    if (arg == "--stand-in" || arg == "--cpu-only") {
      (arg == "--stand-in" ? o.standIn : o.cpuOnly) = true;
      continue;
    }
    const auto value = values.find(arg);
    if (value == values.end() && arg != "--row") {
      error = "unknown option " + arg;
      return ParseOutcome::Error;
    }
    if (i + 1 >= argc) {
      error = arg + " needs a value";
      return ParseOutcome::Error;
    }
    const std::string next = argv[++i];
    if (arg == "--row")
      o.rows.push_back(next);
    else
      *value->second = next;
  }
  if (!o.archive.empty() && !o.modelLibrary.empty()) {
    error = "--archive and --model-library exclude each other";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

} // namespace devicecheck
