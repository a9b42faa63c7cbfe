#include "HostLayer/ChildProcess.h"
#include "HostLayer/TextPattern.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace HostLayer {

namespace {

[[noreturn]] void throwStartFailure(const std::string& program, const std::string& what, int error)
{
  if (error == ENOENT)
    throw std::runtime_error(what + ": " + program + " is not installed or not on PATH (movies are read and " +
                             "written through ffmpeg and ffprobe; Debian: apt-get install ffmpeg)");
  throw std::runtime_error(what + ": " + program + " could not be started");
}

std::vector<char*> argumentVector(std::vector<std::string>& args)
{
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return argv;
}

} // namespace

ChildProcess startChild(const std::vector<std::string>& args, const std::string& what, Messages messages)
{
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(what + ": no pipe for " + args[0]);
  const int kept = messages == Messages::Kept ? memfd_create("child-messages", MFD_CLOEXEC) : -1;
  if (messages == Messages::Kept && kept < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error(what + ": no file descriptors left to start " + args[0]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (kept >= 0)
    posix_spawn_file_actions_adddup2(&actions, kept, STDERR_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> argv = argumentVector(copy);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    if (kept >= 0)
      close(kept);
    throwStartFailure(args[0], what, rc);
  }
  return ChildProcess{pid, fdopen(fds[0], "rb"), kept};
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
  if (child.messages >= 0)
    close(child.messages);
  child.messages = -1;
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

// The first line of a program's messages that is not blank, with ffmpeg's
// "[libx264 @ 0x55d0c8e4] " turned into "libx264: ".
std::string firstLine(const std::string& text)
{
  static const TextPattern context("^\\[([^ \\]]+) @ 0x[0-9a-fA-F]+\\] ");
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos)
    return {};
  const size_t end = text.find_first_of("\r\n", start);
  const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return context.replaceFirst(line, "$1: ");
}

std::string exitText(int status)
{
  return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

std::string readAll(int fd)
{
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
    text.append(buf, size_t(n));
  return text;
}

void closeInput(FedChild& child)
{
  if (child.input >= 0)
    close(child.input);
  child.input = -1;
}

// Its exit status; a program waited for before counts as ended by SIGKILL.
int waitFor(FedChild& child)
{
  int status = SIGKILL;
  if (child.pid <= 0)
    return status;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  child.pid = -1;
  return status;
}

} // namespace

FedChild startFedChild(const std::vector<std::string>& args, const std::string& what, int shared)
{
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error(what + ": no socket for " + args[0]);
  const int messages = memfd_create("child-messages", MFD_CLOEXEC);
  // A copy above the standard ones, so that it never is file descriptor 3 itself.
  const int sharedCopy = shared >= 0 ? fcntl(shared, F_DUPFD_CLOEXEC, 10) : -1;
  if (messages < 0 || (shared >= 0 && sharedCopy < 0)) {
    for (int fd : {fds[0], fds[1], messages, sharedCopy})
      if (fd >= 0)
        close(fd);
    throw std::runtime_error(what + ": no file descriptors left to start " + args[0]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, messages, STDERR_FILENO);
  if (sharedCopy >= 0)
    posix_spawn_file_actions_adddup2(&actions, sharedCopy, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> argv = argumentVector(copy);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(fds[1]);
  if (sharedCopy >= 0)
    close(sharedCopy);
  if (rc != 0) {
    close(fds[0]);
    close(messages);
    throwStartFailure(args[0], what, rc);
  }
  return FedChild{args[0], pid, fds[0], messages};
}

bool feedChild(FedChild& child, const void* data, size_t size)
{
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(child.input, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes += n;
    size -= size_t(n);
  }
  return true;
}

void finishFedChild(FedChild& child, const std::string& what)
{
  closeInput(child);
  const int status = waitFor(child);
  const std::string said = firstLine(readAll(child.messages));
  close(child.messages);
  child.messages = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return;
  throw std::runtime_error(what + ": " + child.program + " failed (" + exitText(status) + ")" +
                           (said.empty() ? "" : ": " + said));
}

void stopFeeding(const FedChild& child)
{
  if (child.input >= 0)
    shutdown(child.input, SHUT_RDWR);
}

void endFedChild(FedChild& child)
{
  closeInput(child);
  if (child.pid > 0) {
    kill(child.pid, SIGKILL);
    waitFor(child);
  }
  if (child.messages >= 0)
    close(child.messages);
  child.messages = -1;
}

std::string runChild(const std::vector<std::string>& args, const std::string& what)
{
  ChildProcess child = startChild(args, what, Messages::Kept);
  std::string out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, child.out)) > 0;)
    out.append(buf, n);
  std::fclose(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  const std::string messages = readAll(child.messages);
  close(child.messages);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return out;
  const std::string how = exitText(status);
  const std::string said = lastLine(messages);
  throw std::runtime_error(what + ": " + args[0] + " failed (" + how + ")" + (said.empty() ? "" : ": " + said));
}

} // namespace HostLayer
