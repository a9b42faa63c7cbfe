// Turning render failures into a terminal line and a short node message.
#include "render/ErrorReporting.h"

#include "DDImage/Op.h"

#include <c10/util/Exception.h>

#include <algorithm>
#include <exception>
#include <iostream>

const char* const kOutOfMemoryMessage =
  "Out of GPU memory - lower the Tiling 'max size', reduce the input resolution, or untick 'Use GPU if "
  "available' to render on CPU.";
const char* const kProcessingErrorMessage = "Processing error (see the terminal for details).";

namespace {

const char* const kUnexpectedFailureMessage = "Unexpected failure in renderStripe (see the terminal for details).";

void report(DD::Image::Op& node, const std::string& message) { node.error("%s", message.c_str()); }

// libtorch's CUDA errors run over several lines and end in advice about
// device-side assertions: the line that says what happened is the one that
// starts with "CUDA error: " (or "CUDA driver error: "), alone or after the
// exception class TorchScript's interpreter names before it
// ("RuntimeError: CUDA error: ..."). Empty when there is none.
std::string cudaErrorLine(const std::string& text)
{
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find_first_of("\n\r", start), text.size());
    std::string line = text.substr(start, end - start);
    const size_t colon = line.find("Error: ");
    if (colon != std::string::npos && line.find(' ') > colon)
      if (const std::string rest = line.substr(colon + 7); rest.rfind("CUDA", 0) == 0)
        line = rest;
    if (line.rfind("CUDA error: ", 0) == 0 || line.rfind("CUDA driver error: ", 0) == 0)
      return line;
    start = end + 1;
  }
  return {};
}

} // namespace

std::string mapErrorMessage(const std::string& text)
{
  if (text.find("CUDA out of memory") != std::string::npos || text.find("out of memory") != std::string::npos ||
      text.find("Unable to find a valid cuDNN algorithm") != std::string::npos)
    return kOutOfMemoryMessage;

  if (const std::string line = cudaErrorLine(text); !line.empty())
    return line;

  std::string last = text;
  if (text.size() > 1) {
    // The final character never starts a new line.
    const size_t p = text.find_last_of("\n\r", text.size() - 2);
    if (p != std::string::npos)
      last = text.substr(p + 1);
  }
  return last.empty() ? kProcessingErrorMessage : last;
}

bool runRenderGuarded(DD::Image::Op& node, bool catchAll, const std::function<void()>& work)
{
  try {
    try {
      work();
      return true;
    } catch (const c10::Error& e) {
      std::cerr << node.node_name() << ": Torch error in renderStripe: " << e.what() << std::endl;
      report(node, mapErrorMessage(e.msg()));
    } catch (const std::exception& e) {
      std::cerr << node.node_name() << ": Error in renderStripe: " << e.what() << std::endl;
      report(node, mapErrorMessage(e.what()));
    }
  } catch (...) {
    // Also reached when reporting itself fails (a stream or allocation failure).
    if (!catchAll)
      throw;
    try {
      std::cerr << node.node_name() << ": Unexpected failure in renderStripe: an exception of unknown type"
                << std::endl;
      report(node, kUnexpectedFailureMessage);
    } catch (...) {
    }
  }
  return false;
}
