#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace HostLayer {

// A program started with its standard output on a pipe to us and its input
// from /dev/null.
struct ChildProcess {
  pid_t pid = -1;
  FILE* out = nullptr;
  int messages = -1;  // a memory file holding its messages, when kept
};

// Where the program's messages (standard error) go: discarded (an ffmpeg
// stopped early complains about the closed pipe), or kept apart from its
// output in a memory file, read once it has ended.
enum class Messages { Discarded, Kept };

// Starts args[0], found on PATH. Throws std::runtime_error("WHAT: PROGRAM is
// not installed ...") when it is not found, or another message when it
// cannot be started.
ChildProcess startChild(const std::vector<std::string>& args, const std::string& what,
                        Messages messages = Messages::Discarded);

// Closes the pipe, then ends the program (SIGTERM) and waits for it.
void stopChild(ChildProcess& child);

// A program that takes what we write: its standard input one end of a
// socket pair (written with MSG_NOSIGNAL: a program that ended makes writes
// fail rather than raise SIGPIPE), its standard output /dev/null, its
// messages (standard error) kept in memory, and one more file of ours open
// in it as file descriptor 3. It runs in a process group of its own, so that
// a terminal's Ctrl-C reaches only us, who decide what becomes of it. Only
// feedChild and stopFeeding may be called from different threads.
struct FedChild {
  std::string program;
  pid_t pid = -1;
  int input = -1;
  int messages = -1;
};

// Starts args[0], found on PATH, with `shared` as its file descriptor 3
// (none when -1). Throws as startChild does.
FedChild startFedChild(const std::vector<std::string>& args, const std::string& what, int shared);

// Writes `size` bytes to the program's input; false when it takes no more
// (it ended, or stopFeeding was called).
bool feedChild(FedChild& child, const void* data, size_t size);

// Shuts the program's input: a feedChild blocked on it returns false, and
// the program sees the end of its input. Safe from another thread than the
// one feeding it.
void stopFeeding(const FedChild& child);

// Ends the input and waits for the program to finish; throws as runChild
// does when it fails (`what` first, then its status and first message).
void finishFedChild(FedChild& child, const std::string& what);

// Ends the program at once (SIGKILL) if it still runs, waits for it and
// closes what is left of it.
void endFedChild(FedChild& child);

// Runs the program to its end and returns its output (its messages are kept
// apart); throws as startChild does, or naming its exit status and its last
// message when it fails.
std::string runChild(const std::vector<std::string>& args, const std::string& what);

} // namespace HostLayer
