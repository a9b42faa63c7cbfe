#include "HostLayer/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace HostLayer {

ChildProcess startChild(const std::vector<std::string>& args, const std::string& what, Messages messages)
{
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(what + ": no pipe for " + args[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (messages == Messages::WithOutput)
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    if (rc == ENOENT)
      throw std::runtime_error(what + ": " + args[0] + " is not installed or not on PATH (movies are read " +
                               "through ffmpeg and ffprobe; Debian: apt-get install ffmpeg)");
    throw std::runtime_error(what + ": " + args[0] + " could not be started");
  }
  return ChildProcess{pid, fdopen(fds[0], "rb")};
}

void stopChild(ChildProcess& child)
{
  if (child.out) {
    std::fclose(child.out);
    child.out = nullptr;
  }
  if (child.pid > 0) {
    kill(child.pid, SIGTERM);
    int status = 0;
    waitpid(child.pid, &status, 0);
    child.pid = -1;
  }
}

namespace {

// The last line of a program's messages that is not blank.
std::string lastLine(const std::string& text)
{
  const size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos)
    return {};
  const size_t newline = text.find_last_of('\n', end);
  const size_t from = newline == std::string::npos ? 0 : newline + 1;
  return text.substr(from, end + 1 - from);
}

} // namespace

std::string runChild(const std::vector<std::string>& args, const std::string& what)
{
  ChildProcess child = startChild(args, what, Messages::WithOutput);
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, child.out)) > 0;)
    out.append(buf, n);
  std::fclose(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return out;
  const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
  const std::string said = lastLine(out);
  throw std::runtime_error(what + ": " + args[0] + " failed (" + how + ")" + (said.empty() ? "" : ": " + said));
}

} // namespace HostLayer
