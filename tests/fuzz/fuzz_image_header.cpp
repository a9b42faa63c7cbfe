// Fuzz target: any file the host layer's reader is handed as a PNG, EXR or
// DPX frame. Reading the header and the pixels either succeeds with what the
// header promised or throws std::runtime_error naming the file; nothing
// crashes, leaks or allocates past the pixel limit.
#include "HostLayer/DecodeLimits.h"
#include "HostLayer/ImageFile.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// The extension a reader would see: from the magic number, else from the first byte.
const char* extensionFor(const uint8_t* data, size_t size)
{
  if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
    return ".png";
  if (size >= 4 && std::memcmp(data, "\x76\x2f\x31\x01", 4) == 0)
    return ".exr";
  if (size >= 4 && (std::memcmp(data, "SDPX", 4) == 0 || std::memcmp(data, "XPDS", 4) == 0))
    return ".dpx";
  static const char* const any[] = {".png", ".exr", ".dpx"};
  return any[size > 0 ? data[0] % 3 : 0];
}

std::string writeInput(const uint8_t* data, size_t size)
{
  const std::string path = "/tmp/tweenova-fuzz-" + std::to_string(getpid()) + extensionFor(data, size);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
    std::abort();
  return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  // Small frames only: whatever claims more is refused before allocation.
  HostLayer::setMaxImagePixels(1 << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string path = writeInput(data, size);
  try {
    const HostLayer::ImageHeader header = HostLayer::readImageHeader(path);
    if (header.width <= 0 || header.height <= 0 || uint64_t(header.width) * header.height > (1u << 20))
      std::abort();
    const HostLayer::ImageData image = HostLayer::readImageFile(path);
    if (image.pixels.size() != size_t(image.header.width) * image.header.height * image.header.channels.size())
      std::abort();
  } catch (const std::runtime_error& e) {
    // Every refusal names the file.
    if (std::string(e.what()).find(path) == std::string::npos)
      std::abort();
  }
  unlink(path.c_str());
  return 0;
}
