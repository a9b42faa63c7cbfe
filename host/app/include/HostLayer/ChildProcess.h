#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace HostLayer {

// A program started with its standard output on a pipe to us and its input
// from /dev/null.
struct ChildProcess {
  pid_t pid = -1;
  FILE* out = nullptr;
};

// Where the program's messages (standard error) go: discarded (an ffmpeg
// stopped early complains about the closed pipe), or into the pipe with its
// output.
enum class Messages { Discarded, WithOutput };

// Starts args[0], found on PATH. Throws std::runtime_error("WHAT: PROGRAM is
// not installed ...") when it is not found, or another message when it
// cannot be started.
ChildProcess startChild(const std::vector<std::string>& args, const std::string& what,
                        Messages messages = Messages::Discarded);

// Closes the pipe, then ends the program (SIGTERM) and waits for it.
void stopChild(ChildProcess& child);

// Runs the program to its end and returns its output and messages; throws as
// startChild does, or naming its exit status and its last message when it
// fails.
std::string runChild(const std::vector<std::string>& args, const std::string& what);

} // namespace HostLayer
