#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

namespace cli {

// While alive, whatever is written to `stream` (std::cout during a render:
// the node prints there) goes, line by line, to `sink` instead. Threads may
// write at the same time: each thread's text is gathered into lines of its own.
class LineRedirect : private std::streambuf {
public:
  using Sink = std::function<void(const std::string& line)>;
  LineRedirect(std::ostream& stream, Sink sink);
  ~LineRedirect() override;
  LineRedirect(const LineRedirect&) = delete;
  LineRedirect& operator=(const LineRedirect&) = delete;

private:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  void append(const char* s, std::streamsize n);

  std::ostream& stream_;
  std::streambuf* previous_;
  Sink sink_;
  std::mutex mutex_;
  std::map<std::thread::id, std::string> partial_;
};

} // namespace cli
