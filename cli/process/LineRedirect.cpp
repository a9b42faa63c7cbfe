#include "cli/process/LineRedirect.h"

#include <ostream>

namespace cli {

LineRedirect::LineRedirect(std::ostream& stream, Sink sink)
    : stream_(stream), previous_(stream.rdbuf()), sink_(std::move(sink))
{
  stream_.flush();
  stream_.rdbuf(this);
}

LineRedirect::~LineRedirect()
{
  stream_.rdbuf(previous_);
  // Text without a final line end still reaches the sink.
  for (auto& kv : partial_)
    if (!kv.second.empty())
      sink_(kv.second);
}

LineRedirect::int_type LineRedirect::overflow(int_type c)
{
  if (traits_type::eq_int_type(c, traits_type::eof()))
    return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  append(&ch, 1);
  return c;
}

std::streamsize LineRedirect::xsputn(const char* s, std::streamsize n)
{
  append(s, n);
  return n;
}

void LineRedirect::append(const char* s, std::streamsize n)
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::string& line = partial_[std::this_thread::get_id()];
  for (std::streamsize i = 0; i < n; ++i) {
    if (s[i] != '\n') {
      line += s[i];
      continue;
    }
    sink_(line);
    line.clear();
  }
}

} // namespace cli
