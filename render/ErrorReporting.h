#pragma once

#include <functional>
#include <string>

namespace DD {
namespace Image {
class Op;
}
} // namespace DD

// The node message for running out of memory on the device.
extern const char* const kOutOfMemoryMessage;
// The node message for a failure without text.
extern const char* const kProcessingErrorMessage;

// The short message shown on the node for a failure text: the out-of-memory
// message for memory failures, then the line of a CUDA error ("CUDA error:
// ..." or "CUDA driver error: ..." at the start of a line), otherwise the
// text's last line (a line break as the final character does not start a new
// line).
std::string mapErrorMessage(const std::string& text);

// Runs part of a stripe render so that its failures do not reach the host. A
// libtorch error or a standard exception is written in full to standard error
// ("<node>: Torch error in renderStripe: ...", "<node>: Error in
// renderStripe: ...") and its mapped message is set as the node's error.
// Other exceptions pass on unless `catchAll` is set; then they are reported
// with a generic message. Returns true when `work` completed.
bool runRenderGuarded(DD::Image::Op& node, bool catchAll, const std::function<void()>& work);
