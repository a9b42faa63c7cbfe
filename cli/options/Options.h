#pragma once

#include "cli/options/FrameRate.h"

#include <optional>
#include <string>
#include <vector>

namespace cli {

// Exit statuses of tweenova-render.
enum ExitCode {
  kExitSuccess = 0,
  kExitFramesFailed = 1,  // some frames failed to render; the others were written
  kExitUsage = 2,         // bad arguments, unknown knob, unreadable input
  // Stopped by a signal after the frames in progress (a second signal stops at
  // once): 128 + the signal, 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP.
  kExitInterrupted = 130,
};

// An error in what the user asked for: printed as one line, exit status 2.
struct UsageError {
  std::string what;
  std::string why;
};

struct FrameRange {
  int first = 0;
  int last = 0;
};

struct KnobAssignment {
  std::string knob;
  std::string value;
};

struct KeyAssignment {
  std::string knob;
  double frame = 0.0;
  std::string value;
};

struct Options {
  std::string input;
  std::string output;
  std::optional<std::vector<int>> frames;  // -F: the frames asked for, ascending
  std::vector<KnobAssignment> sets;
  std::vector<KeyAssignment> keys;
  std::optional<int> gpu;
  bool cpu = false;
  bool verbose = false;
  bool quiet = false;
  bool list = false;
  bool panel = false;
  bool version = false;      // print the versions and exit
  bool floatOutput = false;  // every EXR channel 32-bit float
  bool halfOutput = false;   // every EXR channel 16-bit half
  std::string compression;   // EXR compression; empty: the source's
  std::string codec;         // a movie output's codec; empty: the container's default
  std::optional<FrameRate> fps;  // a movie output's frame rate; empty: the input's
  std::string inputColorSpace;   // of the input's pixels; empty: the file type's default
  std::string outputColorSpace;  // of the written pixels; empty: the file type's default
  bool skipExisting = false; // render only frames whose output is missing or unreadable
  bool verify = false;        // render nothing: list the output frames missing or unreadable
  bool progressLines = false; // one machine-readable line per finished frame on stdout
  std::string summaryJson;    // where to write the run's JSON summary; empty: none
  std::string channels = "all";
  int threads = 0;           // frames rendered at the same time; 0 = one per core
  int torchThreads = 1;      // libtorch intra-op threads per render; 0 = one per core
  long long maxPixels = 0;   // images larger than this are refused; 0 = what memory allows
  double decodeTimeout = 120;  // seconds a file may take to decode before the render is ended
  int cacheMemoryMiB = 256;  // decoded source frames kept for reuse, at most (frames in use are kept anyway)
  std::string plugin;        // hidden: plug-in library to load
  std::string modelLibrary;  // hidden: model library to load instead of the one beside the plug-in
  bool simulateGpu = false;  // hidden: show the panel against a simulated GPU
};

// "KNOB=VALUE". Throws UsageError.
KnobAssignment parseKnobAssignment(const std::string& text);
// "KNOB:FRAME=VALUE". Throws UsageError.
KeyAssignment parseKeyAssignment(const std::string& text);

// Parses the command line. Returns nullopt after printing help (exit 0), and
// options with only `version` set for --version; throws UsageError for
// anything malformed.
std::optional<Options> parseOptions(int argc, char** argv);

} // namespace cli
