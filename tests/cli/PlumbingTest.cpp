// The command-line host's plumbing: temporary files, the lines the node
// prints, and the cores a render may use.
#include "HostLayer/DecodeLimits.h"
#include "cli/output/FileReplacement.h"
#include "cli/output/PendingFiles.h"
#include "cli/process/CpuBudget.h"
#include "cli/process/DecodeWatchdog.h"
#include "cli/process/LineRedirect.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::TempDir;

std::string contents(const fs::path& p)
{
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

} // namespace

TEST(Plumbing, TemporaryNamesAreUnpredictableAndNameTheHost)
{
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    const std::string name = cli::temporaryNameFor("/farm/shot/out.0001.exr");
    EXPECT_EQ(name.rfind("/farm/shot/.out.0001.exr.", 0), 0u) << name;
    EXPECT_NE(name.find(std::string(host).substr(0, 8)), std::string::npos) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 50u) << "temporary names repeat";
}

TEST(Plumbing, ReplacingAFileNeverFollowsALinkAndLeavesNothingBehind)
{
  TempDir dir("tweenova-plumbing");
  const fs::path target = dir.path / "out.0001.png";
  const fs::path elsewhere = dir.path / "precious.txt";
  std::ofstream(elsewhere) << "keep me";
  // The output name itself is a link planted to somewhere else: the rename
  // replaces the link, the file it pointed to is untouched.
  fs::create_symlink(elsewhere, target);
  cli::replaceFile(target.string(), "new bytes", 9);
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(contents(target), "new bytes");
  EXPECT_EQ(contents(elsewhere), "keep me");

  // A folder that cannot be written to: an error, and the old file stays.
  fs::create_directories(dir.path / "locked");
  std::ofstream(dir.path / "locked" / "old.png") << "old";
  fs::permissions(dir.path / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  if (access((dir.path / "locked").c_str(), W_OK) != 0) {
    EXPECT_THROW(cli::replaceFile((dir.path / "locked" / "old.png").string(), "x", 1), std::runtime_error);
    EXPECT_EQ(contents(dir.path / "locked" / "old.png"), "old");
  }
  fs::permissions(dir.path / "locked", fs::perms::owner_all);
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    ++entries;
  }
  EXPECT_EQ(entries, 3u);
}

TEST(Plumbing, PendingFilesAreRemovedUnlessReleased)
{
  TempDir dir("tweenova-plumbing");
  const fs::path kept = dir.path / "kept", dropped = dir.path / "dropped";
  std::ofstream(kept) << "x";
  std::ofstream(dropped) << "x";
  const int keptSlot = cli::PendingFiles::add(kept.string());
  const int droppedSlot = cli::PendingFiles::add(dropped.string());
  ASSERT_GE(keptSlot, 0);
  ASSERT_GE(droppedSlot, 0);
  cli::PendingFiles::release(keptSlot);
  cli::PendingFiles::removeAll();
  cli::PendingFiles::release(droppedSlot);
  EXPECT_TRUE(fs::exists(kept));
  EXPECT_FALSE(fs::exists(dropped));
}

TEST(Plumbing, ATemporaryFileAppearsUnderItsNameOnlyWhenCommitted)
{
  TempDir dir("tweenova-plumbing");
  const fs::path target = dir.path / "out.mov";
  std::ofstream(target) << "earlier";
  {
    cli::TemporaryFile file(target.string());
    ASSERT_EQ(write(file.descriptor(), "whole", 5), 5);
    EXPECT_EQ(contents(target), "earlier");
    file.commit();
  }
  EXPECT_EQ(contents(target), "whole");
  {
    cli::TemporaryFile dropped(target.string());
    ASSERT_EQ(write(dropped.descriptor(), "half", 4), 4);
  }
  {
    // A stop signal's handler removes what is still being written.
    cli::TemporaryFile interrupted(target.string());
    cli::PendingFiles::removeAll();
    EXPECT_FALSE(fs::exists(interrupted.name()));
  }
  EXPECT_EQ(contents(target), "whole");
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path))
    entries += e.path() != target;
  EXPECT_EQ(entries, 0u);
}

TEST(Plumbing, EachThreadsOutputArrivesAsWholeLines)
{
  // The node prints to std::cout from every render thread.
  std::vector<std::string> lines;
  std::ostream& stream = std::cout;
  {
    cli::LineRedirect redirect(stream, [&lines](const std::string& l) { lines.push_back(l); });
    auto speak = [&stream](const std::string& who) {
      for (int i = 0; i < 200; ++i)
        stream << who << ": Running inference for layer '" << i << "' on CPU" << std::endl;
    };
    std::thread a(speak, "A"), b(speak, "B");
    a.join();
    b.join();
    stream << "no line end";
  }
  ASSERT_EQ(lines.size(), 401u);
  for (size_t i = 0; i + 1 < lines.size(); ++i)
    EXPECT_TRUE(lines[i].find("' on CPU") == lines[i].size() - 8 && lines[i].find(": Running") == 1) << lines[i];
  EXPECT_EQ(lines.back(), "no line end");
}

TEST(Plumbing, CoresFollowTheAffinityAndTheCgroupQuota)
{
  EXPECT_EQ(cli::coresFromCpuMax("max 100000"), 0);
  EXPECT_EQ(cli::coresFromCpuMax("150000 100000"), 2);
  EXPECT_EQ(cli::coresFromCpuMax("50000 100000\n"), 1);
  EXPECT_EQ(cli::coresFromCpuMax("400000 100000"), 4);
  EXPECT_EQ(cli::coresFromCpuMax("garbage"), 0);
  EXPECT_EQ(cli::coresFromCpuMax(""), 0);
  EXPECT_EQ(cli::coresFromCfsQuota(-1, 100000), 0);
  EXPECT_EQ(cli::coresFromCfsQuota(250000, 100000), 3);
  EXPECT_EQ(cli::coresFromCfsQuota(250000, 0), 0);

  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_LE(cli::usableCores(), CPU_COUNT(&all));
  // Pinned to one CPU (taskset -c N), a render uses one core.
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &all)) {
      CPU_SET(c, &one);
      break;
    }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int pinned = cli::usableCores();
  sched_setaffinity(0, sizeof all, &all);
  EXPECT_EQ(pinned, 1);
}

TEST(Plumbing, TheWatchdogReportsADecodeThatRunsTooLong)
{
  std::mutex m;
  std::condition_variable reported;
  std::string overrunPath;
  {
    cli::DecodeWatchdog watchdog(0.05, [&](const std::string& path, double seconds) {
      std::lock_guard<std::mutex> lock(m);
      EXPECT_GT(seconds, 0.05);
      overrunPath = path;
      reported.notify_all();
    });
    HostLayer::DecodeScope stuck("stuck.exr");
    std::unique_lock<std::mutex> lock(m);
    reported.wait_for(lock, std::chrono::seconds(30), [&] { return !overrunPath.empty(); });
  }
  EXPECT_EQ(overrunPath, "stuck.exr");
  // Without a limit nothing is watched.
  bool called = false;
  {
    cli::DecodeWatchdog off(0, [&](const std::string&, double) { called = true; });
    HostLayer::DecodeScope slow("slow.exr");
    usleep(50000);
  }
  EXPECT_FALSE(called);
}
