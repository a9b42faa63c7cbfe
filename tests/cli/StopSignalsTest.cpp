// Stopping a render with the signals farm managers and terminals send. The
// render is held still while it is signalled: its stderr is a pipe that is
// already full, so its first message blocks it (no frame is finished by
// then), and the test lets it go on by draining the pipe.
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Whether some thread of `pid` is blocked writing to its stderr.
bool blockedWritingStderr(pid_t pid)
{
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(tasks.c_str());
  if (!d)
    return false;
  bool blocked = false;
  while (dirent* e = readdir(d)) {
    std::ifstream in(tasks + "/" + e->d_name + "/syscall");
    std::string number, fd;
    if (in >> number >> fd && number == "1" && fd == "0x2")
      blocked = true;
  }
  closedir(d);
  return blocked;
}

class StopSignals : public ::testing::Test {
protected:
  void SetUp() override
  {
    fs::create_directories(dir / "out");
    const std::vector<float> px(32 * 24 * 3, 0.25f);
    for (int f = 1; f <= 20; ++f) {
      const std::string name = (dir / ("in." + std::to_string(10000 + f).substr(1) + ".png")).string();
      ASSERT_TRUE(testsupport::writeImage(name, OIIO::ImageSpec(32, 24, 3, OIIO::TypeDesc::UINT8), px));
    }
  }
  void TearDown() override
  {
    if (errors >= 0)
      close(errors);
  }

  // Starts a render of 39 frames, two at a time, and waits until it is
  // blocked on its first message. The render runs in a child of its own, not
  // through runCommand: the test signals it by its id, with its stderr a pipe
  // the test holds.
  void startHeld()
  {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(256, 'x');
    while (write(fds[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    fcntl(fds[1], F_SETFL, 0);
    const std::string args =
      (dir / "in.####.png").string() + " " + (dir / "out" / "out.####.png").string() + " --threads 2";
    const std::string cmd = "exec " + testsupport::renderCommandLine(args, "blend");
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(fds[1], 2);
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    errors = fds[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!blockedWritingStderr(pid) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(blockedWritingStderr(pid)) << "the render never wrote to its stderr";
  }

  // Lets the render go on and returns its exit status (-signal if killed).
  int finish()
  {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(errors, buf, sizeof buf)) > 0;)
      text.append(buf, size_t(n));
    int status = 0;
    waitpid(pid, &status, 0);
    messages = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

  std::vector<std::string> outputs() const
  {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir / "out"))
      names.push_back(e.path().filename().string());
    return names;
  }

  // Every file left in the output folder is a whole frame.
  void expectOnlyWholeFrames() const
  {
    for (const std::string& name : outputs()) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
      EXPECT_TRUE(testsupport::readsWhole((dir / "out" / name).string())) << name;
    }
  }

  testsupport::TempDir folder{std::string("tweenova-signals-") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name()};
  const fs::path dir = folder.path;
  pid_t pid = -1;
  int errors = -1;
  std::string messages;
};

} // namespace

TEST_F(StopSignals, AStopSignalFinishesTheFramesInProgressAndExitsWithItsStatus)
{
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    fs::remove_all(dir / "out");
    fs::create_directories(dir / "out");
    startHeld();
    kill(pid, sig);
    EXPECT_EQ(finish(), 128 + sig) << strsignal(sig) << "\n" << messages;
    // The two frames in progress are written, whole; no other frame is started.
    EXPECT_GE(outputs().size(), 1u) << strsignal(sig);
    EXPECT_LE(outputs().size(), 2u) << strsignal(sig);
    expectOnlyWholeFrames();
    EXPECT_NE(messages.find("interrupted"), std::string::npos) << messages;
    close(errors);
    errors = -1;
  }
}

TEST_F(StopSignals, ASecondSignalStopsAtOnceAndLeavesNoTemporaryFile)
{
  startHeld();
  kill(pid, SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGINT);
  // Still held by its stderr: only the second signal can have ended it.
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(done, pid) << "the render did not stop on the second signal";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  EXPECT_TRUE(outputs().empty());
}

TEST_F(StopSignals, TheSameSignalTwiceWithinAMomentCountsOnce)
{
  // A terminal's Ctrl-C and a wrapper forwarding it arrive together.
  startHeld();
  kill(pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(pid, SIGINT);
  EXPECT_EQ(finish(), 128 + SIGINT) << messages;
  // The frames in progress were finished, as after one signal.
  EXPECT_GE(outputs().size(), 1u) << messages;
  expectOnlyWholeFrames();
  EXPECT_NE(messages.find("interrupted"), std::string::npos) << messages;
}
