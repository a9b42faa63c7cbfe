// What the EXR reader says when a file claims more than it can hold.
#include "HostLayer/DecodeLimits.h"
#include "HostLayer/ImageFile.h"
#include "support/ExrFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

// An EXR whose header claims a data window of `width` x 8 (one chunk, so
// that OpenEXR opens it) over the pixels of a 16 x 8 file.
void writeClaimingWidth(const std::string& path, int width)
{
  testsupport::writeExrParts(path, {{Imf::Header(16, 8), {{"R", Imf::HALF}}}});
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string key = std::string("dataWindow") + '\0' + "box2i" + '\0';
  const size_t at = bytes.find(key) + key.size() + 4 + 8;  // past the size, at max.x
  ASSERT_LT(at, bytes.size());
  const int32_t maxX = width - 1;
  bytes.replace(at, 4, reinterpret_cast<const char*>(&maxX), 4);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace

TEST(ExrFile, AnAllocationThatFailsNamesTheFile)
{
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's allocator does not fail under an address-space limit";
#endif
  // The child runs the test program afresh: a fork of this process, whose
  // libraries run threads, could wait forever on a lock another thread held.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testsupport::TempDir dir("tweenova-exr-alloc");
  const std::string path = (dir.path / "damaged.exr").string();
  writeClaimingWidth(path, 1 << 27);  // 1 G pixels: 4 GiB of floats
  HostLayer::setMaxImagePixels(uint64_t(1) << 40);
  // In a child limited to 2 GiB of address space more than it has, the
  // reader's allocation fails as a damaged header's does on a full machine.
  EXPECT_EXIT(
    {
      struct rlimit limit;
      getrlimit(RLIMIT_AS, &limit);
      std::ifstream status("/proc/self/statm");
      size_t pages = 0;
      status >> pages;
      limit.rlim_cur = pages * 4096 + (size_t(2) << 30);
      setrlimit(RLIMIT_AS, &limit);
      try {
        HostLayer::readImageFile(path);
      } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        std::exit(0);
      }
      std::exit(1);
    },
    ::testing::ExitedWithCode(0),
    "cannot read .*damaged.exr: the image needs more memory than this process may use \\(damaged header\\?\\)");
  HostLayer::setMaxImagePixels(0);
}
