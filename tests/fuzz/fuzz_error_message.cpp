// Fuzz target: the node message made from any failure text.
#include "render/ErrorReporting.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string message = mapErrorMessage(text);
  // Never empty, and always a fixed message, a CUDA error's line of the text
  // or a tail of the text.
  if (message.empty())
    std::abort();
  const bool fixed = message == kOutOfMemoryMessage || message == kProcessingErrorMessage;
  const bool cudaLine = (message.rfind("CUDA error: ", 0) == 0 || message.rfind("CUDA driver error: ", 0) == 0) &&
                        message.find_first_of("\n\r") == std::string::npos && text.find(message) != std::string::npos;
  const bool tail =
    message.size() <= text.size() && text.compare(text.size() - message.size(), message.size(), message) == 0;
  if (!fixed && !cudaLine && !tail)
    std::abort();
  return 0;
}
