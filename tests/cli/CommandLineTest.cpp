// tweenova-render as users run it: exit statuses, messages, the frame list and the panel.
#include "cli/options/FrameList.h"
#include "cli/options/Options.h"
#include "cli/options/VersionText.h"
#include "runtime/CpuFeatures.h"
#include "runtime/CudaDriver.h"
#include "runtime/SimulatedCudaEnvironment.h"
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::Outcome;

// tweenova-render as a user runs it, with the built-in network; what it printed on stdout and stderr.
Outcome run(const std::string& args) { return testsupport::runCommand(testsupport::renderCommandLine(args) + " 2>&1"); }

class CommandLine : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    folder = std::make_unique<testsupport::TempDir>("tweenova-cli");
    dir = folder->path;
    const std::vector<unsigned char> px(16 * 8 * 3, 100);
    for (int f = 1; f <= 100; ++f) {
      char name[64];
      std::snprintf(name, sizeof name, "in.%04d.png", f);
      ASSERT_TRUE(testsupport::writeImage((dir / name).string(), OIIO::ImageSpec(16, 8, 3, OIIO::TypeDesc::UINT8),
                                          px.data(), OIIO::TypeDesc::UINT8));
    }
  }
  static void TearDownTestSuite() { folder.reset(); }
  static std::string input() { return (dir / "in.####.png").string(); }
  static std::unique_ptr<testsupport::TempDir> folder;
  static fs::path dir;
};

std::unique_ptr<testsupport::TempDir> CommandLine::folder;
fs::path CommandLine::dir;

std::string lastLine(const std::string& s)
{
  std::string t = s;
  while (!t.empty() && t.back() == '\n')
    t.pop_back();
  const size_t nl = t.rfind('\n');
  return nl == std::string::npos ? t : t.substr(nl + 1);
}

} // namespace

TEST_F(CommandLine, ListsTheOutputRangeForEachSpeed)
{
  const std::pair<const char*, const char*> cases[] = {{"0.5", "198 99 100 99.75 0.75"}, {"0.25", "396"},
                                                       {"0.3", "330"}, {"1", "100 100 100 100 0"},
                                                       {"1.5", "66"},  {"2", "50 99 99 99 0"},
                                                       {"2.5", "40"},  {"3", "34"}};
  for (auto [speed, last] : cases) {
    Outcome r = run(input() + " --list --set speed=" + speed);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "# frame frame0 frame1 position timestep");
    EXPECT_EQ(lastLine(r.out).rfind(last, 0), 0u) << "speed " << speed << ": " << lastLine(r.out);
  }
  Outcome first = run(input() + " --list");
  EXPECT_NE(first.out.find("\n1 1 2 1.25 0.25\n"), std::string::npos);
}

TEST_F(CommandLine, FrameListsChooseTheFramesListedAndWarnOutsideTheRange)
{
  Outcome listed = run(input() + " --list -F 1-9x4,198,3");
  ASSERT_EQ(listed.status, 0) << listed.out;
  std::vector<std::string> frames;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#')
      frames.push_back(line.substr(0, line.find(' ')));
  EXPECT_EQ(frames, (std::vector<std::string>{"1", "3", "5", "9", "198"}));
  EXPECT_EQ(listed.out.find("warning"), std::string::npos) << listed.out;
  Outcome outside = run(input() + " --list -F 190-205");
  ASSERT_EQ(outside.status, 0) << outside.out;
  EXPECT_NE(outside.out.find("warning: 7 of the 16 frames asked for lie outside the output range 1-198"),
            std::string::npos)
    << outside.out;
}

TEST_F(CommandLine, FrameModeListsTheKeyRangeOrTheInputRange)
{
  Outcome keyed = run(input() + " --list --set mode=Frame --key output_frame:10=5 --key output_frame:40=20");
  ASSERT_EQ(keyed.status, 0) << keyed.out;
  EXPECT_NE(keyed.out.find("\n10 5 5 5 0\n"), std::string::npos);
  EXPECT_EQ(lastLine(keyed.out), "40 20 20 20 0");
  Outcome unkeyed = run(input() + " --list --set mode=1 --set output_frame=12.4");
  EXPECT_EQ(lastLine(unkeyed.out), "100 12 13 12.3999996 0.399999619");
}

TEST_F(CommandLine, PanelListsEveryKnobWithItsStateAndTexts)
{
  Outcome r = run(input() + " --panel --set max_size=10 --set overlap=4");
  ASSERT_EQ(r.status, 0) << r.out;
  // The GPU rows show this machine's device, or its absence.
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (cuda.isAvailable()) {
    EXPECT_NE(r.out.find("gpuName\tNamed_Text_knob\t\t" + cuda.deviceProperties(0).name + "\t-"), std::string::npos);
  } else {
    EXPECT_NE(r.out.find("gpuName\tNamed_Text_knob\t\tNot available: " + cuda.unavailableReason() + "\t-"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("use_gpu\tBool_knob\tUse GPU if available\tfalse\tdisabled"), std::string::npos);
  }
  EXPECT_NE(r.out.find("This version is built against CUDA " + std::to_string(cuda.versionCUDART() / 1000) + "."),
            std::string::npos);
  EXPECT_NE(r.out.find("speed\tFloat_knob\tspeed\t0.5\t-"), std::string::npos);
  EXPECT_NE(r.out.find("output_frame\tFloat_knob\tframe\t1\tinvisible"), std::string::npos);
  EXPECT_NE(r.out.find("threshold\tFloat_knob\tthreshold\t0.001\thidden"), std::string::npos);
  EXPECT_NE(r.out.find("frame_range_start\tInt_knob\tinput range\t1\t-"), std::string::npos);
  // 16 x 8 with max size 10 and overlap 4: steps of 6 -> 3 x 1
  EXPECT_NE(r.out.find("Image patches: 3 (3 x 1)"), std::string::npos);
  EXPECT_NE(r.out.find("Tweenova v1.0.0"), std::string::npos);

  Outcome frame = run(input() + " --panel --set mode=Frame");
  EXPECT_NE(frame.out.find("speed\tFloat_knob\tspeed\t0.5\tinvisible"), std::string::npos);
  EXPECT_NE(frame.out.find("output_frame\tFloat_knob\tframe\t1\t-"), std::string::npos);
}

TEST_F(CommandLine, VersionNamesTheBuildAndTheGpuWithoutAnInput)
{
  Outcome r = run("--version");
  ASSERT_EQ(r.status, 0) << r.out;
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  const long v = cuda.versionCUDART();
  const std::string cudaLine = "CUDA " + std::to_string(v / 1000) + "." + std::to_string(v % 1000 / 10) + ".";
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line))
    got.push_back(line);
  ASSERT_EQ(got.size(), 6u) << r.out;
  EXPECT_EQ(got[0].rfind("tweenova-render ", 0), 0u);
  EXPECT_EQ(got[1].rfind("libtorch 2.", 0), 0u);
  EXPECT_EQ(got[2].rfind(cudaLine, 0), 0u) << got[2];
  EXPECT_EQ(got[3].rfind("cuDNN 9.", 0), 0u);
  EXPECT_EQ(got[4].rfind(cuda.isAvailable() ? "GPU: " + std::to_string(cuda.deviceCount()) : "GPU: none usable", 0),
            0u)
    << got[4];
  EXPECT_EQ(got[5], tweenova::cpuComputesBfloat16() ? "CPU: convolutions in bfloat16 (" +
                                                           std::string(tweenova::cpuBfloat16Instructions()) +
                                                           "; --set use_bfloat16=off keeps float32)"
                                                     : "CPU: convolutions in float32 (no native bfloat16)");
  tweenova::setCpuBfloat16ForTesting(false);
  EXPECT_NE(cli::versionText(cuda).find("\nCPU: convolutions in float32 (no native bfloat16)\n"), std::string::npos);
  tweenova::setCpuBfloat16ForTesting(true);
  EXPECT_NE(cli::versionText(cuda).find("\nCPU: convolutions in bfloat16 (forced for a test; "), std::string::npos);
  tweenova::setCpuBfloat16ForTesting(std::nullopt);
}

namespace {

// Whether the dynamic loader's record (LD_DEBUG=files) shows libtorch's CUDA half loaded.
bool loadsCudaHalf(const std::string& record)
{
  std::istringstream lines(record);
  std::string line;
  while (std::getline(lines, line))
    if (line.find("/libtorch_cuda.so") != std::string::npos && line.find("generating link map") != std::string::npos)
      return true;
  return false;
}

} // namespace

// A render and --version load libtorch's CUDA half (and cuDNN, cuBLAS, ...
// behind it) only where an NVIDIA driver could use it.
TEST_F(CommandLine, LibtorchsCudaHalfIsLoadedOnlyWhereADriverIs)
{
  const bool driver = tweenova::cudaDriverInstalled();
  const std::string output = (dir / "cuda-half.####.exr").string();
  for (const std::string& args : {input() + " " + output + " -F 2 --set speed=0.5 -q", std::string("--version")}) {
    const Outcome r = testsupport::runCommand("LD_DEBUG=files " + testsupport::renderCommandLine(args) + " 2>&1");
    ASSERT_EQ(r.status, 0) << args << "\n" << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
    EXPECT_EQ(loadsCudaHalf(r.out), driver) << args;
  }
  EXPECT_TRUE(fs::exists(dir / "cuda-half.0002.exr"));

  // A driver library whose runtime cannot start: the half is loaded, from
  // beside libtorch's CPU half, and the render goes on on the CPU.
  const std::string standIn = "LD_DEBUG=files LD_LIBRARY_PATH=" + testsupport::buildDir() + "/stand-in-driver ";
  const std::string late = (dir / "late-half.####.exr").string();
  const std::string args = input() + " " + late + " -F 2 --set speed=0.5 -q";
  Outcome r = testsupport::runCommand(standIn + testsupport::renderCommandLine(args) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
  EXPECT_TRUE(loadsCudaHalf(r.out));
  EXPECT_TRUE(fs::exists(dir / "late-half.0002.exr"));
  r = testsupport::runCommand(standIn + testsupport::renderCommandLine("--version") + " 2>/dev/null");
  EXPECT_NE(r.out.find("GPU: none usable (the CUDA runtime could not start)"), std::string::npos) << r.out;
}

TEST(VersionText, DecodesTheBuildVersionsAndCountsTheDevices)
{
  tweenova::SimulatedCudaEnvironment two = tweenova::SimulatedCudaEnvironment::standard();
  two.cudnnVersion = 91900;
  const std::string text = cli::versionText(two);
  EXPECT_NE(text.find("\nCUDA 11.8.0 (built with)\ncuDNN 9.19.0 (built with)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nGPU: 2 devices usable, device 0 Simulated GPU (sm_89, 24 GiB) (sm_89)\n"), std::string::npos)
    << text;
  tweenova::SimulatedCudaEnvironment none;
  none.cudnnVersion = 8401;
  const std::string cpu = cli::versionText(none);
  EXPECT_NE(cpu.find("\ncuDNN 8.4.1 (built with)\nGPU: none usable"), std::string::npos) << cpu;
}

TEST_F(CommandLine, BadRequestsGiveOneLineAndStatusTwo)
{
  const std::pair<std::string, std::string> cases[] = {
    {input() + " --list --set nosuch=1", "tweenova-render: error: knob nosuch : the node has no knob of that name"},
    {input() + " --list --set speed=fast", "tweenova-render: error: knob speed=fast : expected a finite number"},
    {input() + " --list --set use_gpu=maybe", "expected on, off, true, false, 1 or 0"},
    {input() + " --list --set mode=Sideways", "expected one of 'Output Speed', 'Frame'"},
    // Items that are numbers are taken by value, never by an index that reads like one.
    {input() + " --list --set downscale=2", "knob downscale=2 : expected one of '1.0', '0.5', '0.25'"},
    {input() + " --list --set steps=0", "expected a whole number from 1 to 6"},
    {input() + " --list --set steps=7", "expected a whole number from 1 to 6"},
    {input() + " --list --set nan_error_threshold=-1", "expected a whole number from 0 to 100"},
    {input() + " --list --set max_size=0", "expected a whole number of at least 1"},
    {input() + " --list --set overlap=-5", "expected a whole number of at least 0"},
    {input() + " --list --key steps:3=9", "expected a whole number from 1 to 6"},
    {input() + " --list --decode-timeout nan", "--decode-timeout : expected a number of seconds"},
    {input() + " --list --compression zip:10", "--compression zip:10 : not an EXR compression"},
    {input() + " --list --compression piz:3", "--compression piz:3 : not an EXR compression"},
    {input() + " --list --set input_channels=nolayer", "not a channel set"},
    {input() + " --list --key speed=2", "expected KNOB:FRAME=VALUE"},
    {input() + " --list -F 9-2", "the last frame comes before the first"},
    {input() + " " + (dir / "out.####.png").string() + " -F ''", "expected frames like 1-100"},
    {input() + " --list --bogus", "tweenova-render: error: arguments"},
    {(dir / "none.####.png").string() + " --list", "no file matches"},
    {input(), "OUTPUT is required"},
    {input() + " " + (dir / "out.####.xyz").string(), "unsupported file type"},
    {input() + " /nonexistent/out.####.png", "does not exist"},
  };
  for (const auto& [args, message] : cases) {
    Outcome r = run(args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
    EXPECT_NE(r.out.find(message), std::string::npos) << args << "\n" << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << args << "\n" << r.out;
  }
}

TEST_F(CommandLine, GpuIndexesNameADeviceThatIsThere)
{
  // Two simulated devices: 1 is the last, 2 is not there.
  Outcome last = run(input() + " --list --simulate-gpu --gpu 1");
  EXPECT_EQ(last.status, 0) << last.out;
  Outcome missing = run(input() + " --list --simulate-gpu --gpu 2");
  EXPECT_EQ(missing.status, 2) << missing.out;
  EXPECT_NE(missing.out.find("tweenova-render: error: --gpu 2 : there is no CUDA device 2 (this machine has 2: 0 to 1)"),
            std::string::npos)
    << missing.out;
  // No GPU at all: the render runs on the CPU, and one line says why.
  if (!tweenova::cudaEnvironment().isAvailable()) {
    Outcome none = run(input() + " --list --gpu 0");
    EXPECT_EQ(none.status, 0) << none.out;
    EXPECT_NE(none.out.find("tweenova-render: warning: --gpu 0: no GPU is usable ("), std::string::npos) << none.out;
  }
}

TEST_F(CommandLine, WhatStandardOutputCouldNotTakeFailsTheRun)
{
  const std::string errors = (dir / "errors.txt").string();
  for (const char* what : {"--list", "--panel", "--version"}) {
    const std::string cmd = testsupport::renderCommandLine(input() + " " + what) + " > /dev/full 2> " + errors;
    EXPECT_EQ(testsupport::runCommand(cmd).status, 1) << what;
    std::ifstream in(errors);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("tweenova-render: error: standard output : No space left on device"), std::string::npos)
      << what << "\n" << text;
  }
  // A reader that stops early is no failure.
  const std::string statusFile = (dir / "status.txt").string();
  const std::string head = "(" + testsupport::renderCommandLine(input() + " --panel") + " 2>/dev/null; echo $? > " +
                           statusFile + ") | head -c 10 > /dev/null";
  ASSERT_TRUE(testsupport::commandSucceeds(head));
  std::ifstream status(statusFile);
  int code = -1;
  status >> code;
  EXPECT_EQ(code, 0);
}

TEST_F(CommandLine, EnumerationsAreReadByItemThenByValueOrIndex)
{
  auto shown = [this](const std::string& set, const std::string& knob) {
    Outcome r = run(input() + " --panel --set " + set);
    EXPECT_EQ(r.status, 0) << set << "\n" << r.out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(knob + "\t", 0) == 0) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string f; std::getline(cells, f, '\t');)
          fields.push_back(f);
        return fields.size() > 3 ? fields[3] : std::string();
      }
    return std::string("(no line)");
  };
  EXPECT_EQ(shown("downscale=1", "downscale"), "1.0");
  EXPECT_EQ(shown("downscale=0.50", "downscale"), "0.5");
  EXPECT_EQ(shown("downscale=0.25", "downscale"), "0.25");
  EXPECT_EQ(shown("mode=frame", "mode"), "Frame");
  EXPECT_EQ(shown("mode=1", "mode"), "Frame");
  EXPECT_EQ(shown("flow_magnitude=2", "flow_magnitude"), "high");
}

TEST(CommandLineParsing, FrameRangesAndAssignments)
{
  using Frames = std::vector<int>;
  EXPECT_EQ(cli::parseFrameList("10-13"), (Frames{10, 11, 12, 13}));
  EXPECT_EQ(cli::parseFrameList("7"), (Frames{7}));
  EXPECT_EQ(cli::parseFrameList("-5--3"), (Frames{-5, -4, -3}));
  EXPECT_EQ(cli::parseFrameList("1-20x5"), (Frames{1, 6, 11, 16}));
  // Lists as farm managers hand them out: sorted, each frame once.
  EXPECT_EQ(cli::parseFrameList("10-12, 1,5 ,11,3-4x1"), (Frames{1, 3, 4, 5, 10, 11, 12}));
  for (const char* bad : {"", ",", "1,", "a-b", "1-5x0", "1-5x", "5-1", "1-2-3", "99999999999-1", "1x2",
                          "1-2000000", "0-2147483647x1"})
    EXPECT_THROW(cli::parseFrameList(bad), cli::UsageError) << bad;
  EXPECT_EQ(cli::parseFrameList("-2147483647-2147483647x2147483647"), (Frames{-2147483647, 0, 2147483647}));
  // Written back compactly, and read again as the same frames.
  for (const Frames& frames : {Frames{7}, Frames{-3, -2, -1, 0, 4, 6, 7}, Frames{1, 3, 4, 5, 10, 11, 12}})
    EXPECT_EQ(cli::parseFrameList(cli::formatFrameList(frames)), frames);
  EXPECT_EQ(cli::formatFrameList({}), "");
  EXPECT_EQ(cli::formatFrameList({-3, -2, -1, 0, 4, 6, 7}), "-3-0,4,6-7");
  EXPECT_EQ(cli::formatFrameList({2147483646, 2147483647}), "2147483646-2147483647");
  EXPECT_EQ(cli::parseKnobAssignment("speed=0.25").value, "0.25");
  EXPECT_EQ(cli::parseKnobAssignment("mode=Output Speed").value, "Output Speed");
  EXPECT_THROW(cli::parseKnobAssignment("=3"), cli::UsageError);
  cli::KeyAssignment k = cli::parseKeyAssignment("output_frame:12.5=3");
  EXPECT_EQ(k.knob, "output_frame");
  EXPECT_DOUBLE_EQ(k.frame, 12.5);
  EXPECT_EQ(k.value, "3");
  EXPECT_THROW(cli::parseKeyAssignment("output_frame=3"), cli::UsageError);
}
