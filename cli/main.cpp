// tweenova-render: parses the command line and prints; the work lives in the session.
#include "HostLayer/DecodeLimits.h"
#include "cli/options/Options.h"
#include "cli/options/VersionText.h"
#include "cli/process/Logging.h"
#include "cli/run/Session.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iostream>

namespace {

// A render allocates and frees the same frame-sized buffers for every frame
// (the network's inputs and activations reach hundreds of MiB). glibc would
// map each of them afresh (or trim them off the heap) and fault every page
// in again, which costs the CPU network a fifth of its time: keep them on
// the heap once they were needed. Blocks above 32 MiB are always mapped
// unless mapping is off, and a thread's own arena maps whatever exceeds its
// 64 MiB heaps, so every thread allocates from the main heap. The process
// is ours; a MALLOC_ARENA_MAX or MALLOC_MMAP_MAX_ in the environment
// still decides.
void keepFrameBuffers()
{
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  if (!std::getenv("MALLOC_MMAP_MAX_"))
    mallopt(M_MMAP_MAX, 0);
  if (!std::getenv("MALLOC_ARENA_MAX"))
    mallopt(M_ARENA_MAX, 1);
}

// Standard output carries only what was asked for (--list, --panel,
// --version, --verify); log lines go to stderr. A reader that goes away (| head -1)
// makes writes fail instead of ending the render.
void keepStdoutForResults()
{
  std::signal(SIGPIPE, SIG_IGN);
  cli::sendLogsToStderr();
}

// Why standard output refused what was written to it earlier: the buffered
// write that failed left no trace but the stream's error flag, so one more
// byte is offered (the output is incomplete already) and its errno kept.
int stdoutWriteError()
{
  if (write(STDOUT_FILENO, "\n", 1) < 0)
    return errno;
  return 0;
}

// What was asked for on standard output must have reached it: a full disk
// or a failing device fails the run. A reader that went away (EPIPE) chose
// to stop reading and is no failure.
int withStdoutWritten(int status)
{
  std::cout.flush();
  const bool failedBefore = std::ferror(stdout) || !std::cout.good();
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !failedBefore)
    return status;
  const int error = flushed || errno == 0 ? stdoutWriteError() : errno;
  if (error == EPIPE)
    return status;
  std::fprintf(stderr, "tweenova-render: error: standard output : %s\n",
               error ? std::strerror(error) : "a write failed");
  return status == cli::kExitSuccess ? cli::kExitFramesFailed : status;
}

// What the command line asks for, done: its exit status. The session (its
// nodes, their network) is released before it returns.
int runCommandLine(int argc, char** argv)
{
  try {
    std::optional<cli::Options> options = cli::parseOptions(argc, argv);
    if (!options)
      return cli::kExitSuccess;
    if (options->version) {
      std::cout << cli::versionText(tweenova::cudaEnvironment());
      return withStdoutWritten(cli::kExitSuccess);
    }
    HostLayer::setMaxImagePixels(uint64_t(options->maxPixels));
    cli::Session session(*options);
    if (options->panel)
      return withStdoutWritten(session.printPanel(std::cout));
    if (options->list)
      return withStdoutWritten(session.listFrames(std::cout));
    if (options->verify)
      return withStdoutWritten(session.verifyOutputs(std::cout));
    return withStdoutWritten(session.render());
  } catch (const cli::UsageError& e) {
    std::cerr << "tweenova-render: error: " << e.what << " : " << e.why << std::endl;
    return cli::kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "tweenova-render: error: " << e.what() << std::endl;
    return cli::kExitUsage;
  }
}

// Ends the process with `status`, its work released and its output flushed,
// without the destructors of static objects: those are libtorch's registries
// and the image libraries' state, with nothing left to write, and running
// them takes a fifth of a second of every render. Sanitizer builds exit
// normally, for the checks and reports they make at exit.
[[noreturn]] void endProcess(int status)
{
  cli::flushLogs();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  std::exit(status);
#else
  std::_Exit(status);
#endif
}

} // namespace

int main(int argc, char** argv)
{
  keepFrameBuffers();
  keepStdoutForResults();
  endProcess(runCommandLine(argc, argv));
}
