// Frames side by side are bounded by the memory the process may use.
#include "cli/process/MemoryBudget.h"
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/Prerequisites.h"
#include "support/TempDir.h"

#include "HostLayer/TextPattern.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t MiB = 1 << 20;

// A memory cgroup of `limit` bytes that the test may move a process into
// (v2 where the unified hierarchy is mounted, else v1's memory controller);
// empty when this machine does not let the test make one.
std::string makeMemoryCgroup(uint64_t limit)
{
  const std::string name = "tweenova-test-" + std::to_string(getpid());
  const bool unified = fs::exists("/sys/fs/cgroup/cgroup.controllers");
  const std::string folder = (unified ? "/sys/fs/cgroup/" : "/sys/fs/cgroup/memory/") + name;
  if (mkdir(folder.c_str(), 0755) != 0)
    return {};
  const std::string limitFile = folder + (unified ? "/memory.max" : "/memory.limit_in_bytes");
  std::ofstream(limitFile) << limit;
  std::ofstream(folder + (unified ? "/memory.swap.max" : "/memory.swappiness")) << 0;
  // The limit must hold (v2 offers memory.max only where the parent enables
  // the controller) and a process must be able to join.
  uint64_t set = 0;
  const bool limited = bool(std::ifstream(limitFile) >> set) && set > 0 && set <= limit;
  const std::string join = "sh -c 'echo $$ > " + folder + "/cgroup.procs' 2>/dev/null";
  if (!limited || testsupport::runCommand(join).status != 0) {
    rmdir(folder.c_str());
    return {};
  }
  return folder;
}

int peakMiB(const std::string& text)
{
  const auto m = HostLayer::TextPattern("peak memory (\\d+) MiB").search(text);
  return m ? std::stoi(*(*m)[1]) : 0;
}

} // namespace

TEST(MemoryBudget, FramesThatFitLeaveATenthFree)
{
  // 1 GiB held before the first frame, which took 500 MiB more: 10 GiB hold 16.
  EXPECT_EQ(cli::framesThatFit(64, 10240 * MiB, 1024 * MiB, 1524 * MiB, 0), 16);
  EXPECT_EQ(cli::framesThatFit(8, 10240 * MiB, 1024 * MiB, 1524 * MiB, 0), 8);
  // The cache that will fill up whatever the count takes its share first.
  EXPECT_EQ(cli::framesThatFit(64, 10240 * MiB, 1024 * MiB, 1524 * MiB, 2560 * MiB), 11);
  // Not even one more: one at a time, never none.
  EXPECT_EQ(cli::framesThatFit(8, 1500 * MiB, 1024 * MiB, 1524 * MiB, 0), 1);
  EXPECT_EQ(cli::framesThatFit(8, 512 * MiB, 1024 * MiB, 1524 * MiB, 0), 1);
  // A frame that took nothing measurable counts as a MiB.
  EXPECT_EQ(cli::framesThatFit(4, 10240 * MiB, 1024 * MiB, 1000 * MiB, 0), 4);
  EXPECT_GT(cli::usableMemoryBytes(), 0u);
  EXPECT_GT(cli::residentBytes(), 0u);
}

TEST(MemoryBudget, ARenderInAMemoryLimitedCgroupIsNotKilled)
{
  if (const auto why = testsupport::notRoot("making a memory cgroup"))
    GTEST_SKIP() << *why;
  testsupport::TempDir dir("tweenova-memory");
  fs::create_directories(dir.path / "out");
  std::mt19937 noise(3);
  for (int f = 1; f <= 5; ++f) {
    const std::string path = (dir.path / ("n." + std::to_string(10000 + f).substr(1) + ".exr")).string();
    std::vector<float> px(size_t(2048) * 2048 * 3);
    for (float& v : px)
      v = float(noise() % 1024u) / 1024.0f;
    ASSERT_TRUE(testsupport::writeImage(path, OIIO::ImageSpec(2048, 2048, 3, OIIO::TypeDesc::HALF), px));
  }
  const std::string render = testsupport::renderCommandLine(
    (dir.path / "n.####.exr").string() + " " + (dir.path / "out" / "o.####.exr").string() + " --set speed=0.5 -F 1-4",
    "blend");
  // One frame at a time sets the scale: the cgroup holds it with a little room, not four of them.
  testsupport::Outcome alone = testsupport::runCommand(render + " --threads 1 2>&1");
  ASSERT_EQ(alone.status, 0) << alone.out;
  const int single = peakMiB(alone.out);
  ASSERT_GT(single, 0) << alone.out;
  const std::string cgroup = makeMemoryCgroup(uint64_t(single + 400) * MiB);
  if (cgroup.empty())
    GTEST_SKIP() << "this machine does not let the test make a memory cgroup (no writable /sys/fs/cgroup with "
                    "the memory controller)";
  fs::remove_all(dir.path / "out");
  fs::create_directories(dir.path / "out");
  testsupport::Outcome limited =
    testsupport::runCommand("sh -c 'echo $$ > " + cgroup + "/cgroup.procs && exec " + render + " --threads 4' 2>&1");
  rmdir(cgroup.c_str());
  EXPECT_EQ(limited.status, 0) << limited.out;
  EXPECT_NE(limited.out.find("frames side by side instead of 4"), std::string::npos) << limited.out;
  EXPECT_NE(limited.out.find("4 frames written, 0 failed"), std::string::npos) << limited.out;
}
