// Fuzz target: the node message made from any failure text.
#include "render/ErrorReporting.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string message = mapErrorMessage(text);
  // Never empty, and always either a fixed message or a tail of the text.
  if (message.empty())
    std::abort();
  if (message != kOutOfMemoryMessage && message != kProcessingErrorMessage &&
      (message.size() > text.size() || text.compare(text.size() - message.size(), message.size(), message) != 0))
    std::abort();
  return 0;
}
