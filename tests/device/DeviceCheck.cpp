// tweenova-device-check: the node on real frames, on this machine's GPU
// against its CPU, ending with one summary table (see CheckOptions.cpp).
#include "device/CheckOptions.h"
#include "device/CpuChecks.h"
#include "device/FrameFile.h"
#include "device/GpuChecks.h"
#include "device/PanelReport.h"
#include "device/RetimeNode.h"
#include "device/SummaryTable.h"
#include "runtime/CudaEnvironment.h"
#include "runtime/ModelLibrary.h"

#include <ATen/Parallel.h>
#include <torch/version.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

using namespace devicecheck;

namespace {

std::string programDir()
{
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  const std::string exe = n > 0 ? std::string(path, size_t(n)) : std::string();
  return exe.substr(0, exe.find_last_of('/'));
}

void requireFile(const std::string& what, const std::string& path)
{
  if (access(path.c_str(), R_OK) != 0)
    throw std::runtime_error("cannot read " + what + " " + path);
}

// Points the node's open step at the network the options name; returns what the summary says of it.
std::string selectNetwork(const CheckOptions& o)
{
  if (!o.archive.empty()) {
    const std::string library = programDir() + "/tests/networks/TestModelsFile.so";
    requireFile("network", o.archive);
    requireFile("test model library", library);
    setenv("TWEENOVA_TEST_ARCHIVE", o.archive.c_str(), 1);
    tweenova::setModelLibraryPath(library);
    return o.archive + " through TestModelsFile.so";
  }
  if (!o.modelLibrary.empty())
    tweenova::setModelLibraryPath(o.modelLibrary);
  requireFile("model library", tweenova::modelLibraryPath());
  return tweenova::modelLibraryPath();
}

std::string machineText()
{
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  std::string gpu = "none";
  if (cuda.isAvailable() && cuda.deviceCount() > 0)
    gpu = cuda.deviceProperties(0).name + " (" + std::to_string(cuda.deviceCount()) + " device(s))";
  return "libtorch " TORCH_VERSION ", " + std::to_string(at::get_num_threads()) + " CPU threads, GPU: " + gpu;
}

void heading(const std::string& text) { std::cout << "\n== " << text << " ==" << std::endl; }

void checkPanel(const FrameSet& set, bool gpuPresent, SummaryTable& table)
{
  const std::string name = "panel with this machine's device";
  runCheck(table, name, [&] {
    RetimeNode node(set.name + "-panel", shared(set.first), shared(set.second));
    const PanelFacts panel = readPanel(node.node());
    printPanel(panel, std::cout);
    std::string why;
    const bool ok = panelMatchesDevice(panel, gpuPresent, why);
    table.judge(name, panel.gpuName + ", use_gpu " + (panel.useGpu ? "on" : "off") + (ok ? "" : ": " + why), ok);
    // The About tab opens with the build's CUDA and cuDNN versions, then its native GPU support.
    for (size_t i = 0; i < 2 && i < panel.about.size(); ++i)
      table.add(i == 0 ? "panel About: versions" : "panel About: native support", panel.about[i], Verdict::Info);
  });
}

void runChecks(const CheckOptions& o, SummaryTable& table)
{
  const std::string network = selectNetwork(o);
  table.add("network", network + (o.standIn ? " (stand-in: quality not judged)" : ""), Verdict::Info);
  const std::vector<FrameSet> sets = readFrameSets(o.data);
  std::cout << "tweenova-device-check: " << machineText() << "\n  network: " << network << "\n  frames:";
  for (const FrameSet& s : sets)
    std::cout << " " << s.name << " " << sizeText(s.first) << (s.middle ? " (with true middle)" : "");
  std::cout << std::endl;

  const bool gpuPresent = tweenova::cudaEnvironment().isAvailable();
  heading("Panel");
  checkPanel(sets.front(), gpuPresent, table);
  heading("CPU half");
  const CpuRenders cpu = runCpuChecks(sets, o.standIn, table);
  heading("GPU half");
  if (o.cpuOnly)
    skipGpuChecks(sets, "skipped: --cpu-only", table);
  else if (!gpuPresent)
    skipGpuChecks(sets, "skipped: no GPU", table);
  else
    runGpuChecks(sets, cpu, table);
}

} // namespace

int main(int argc, char** argv)
{
  CheckOptions options;
  std::string error;
  switch (parseCheckOptions(argc, argv, options, error)) {
  case ParseOutcome::Help: std::cout << checkUsage(); return 0;
  case ParseOutcome::Error: std::cerr << "tweenova-device-check: error: " << error << "\n" << checkUsage(); return 2;
  case ParseOutcome::Run: break;
  }

  SummaryTable table;
  for (const std::string& row : options.rows)
    if (!table.addText(row)) {
      std::cerr << "tweenova-device-check: error: --row " << row << " : not CHECK|RESULT|VERDICT\n";
      return 2;
    }
  try {
    runChecks(options, table);
  } catch (const std::exception& e) {
    table.judge("tweenova-device-check", e.what(), false);
  }
  heading("Summary");
  table.print(std::cout);
  return table.failed() ? 1 : 0;
}
