// Inputs that claim more than they hold, or more than memory allows, are
// refused with the file named, before anything large is allocated.
#include "DDImage/ChannelSet.h"
#include "HostLayer/Cgroups.h"
#include "HostLayer/DecodeLimits.h"
#include "HostLayer/ImageFile.h"
#include "HostLayer/MovieDecoder.h"
#include "support/Commands.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::TempDir;

uint32_t crc32(const std::string& bytes)
{
  uint32_t crc = 0xffffffffu;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string bigEndian(uint32_t v)
{
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string chunk(const std::string& type, const std::string& data)
{
  return bigEndian(uint32_t(data.size())) + type + data + bigEndian(crc32(type + data));
}

// A PNG of a few dozen bytes whose header claims width x height RGB pixels,
// put together byte by byte: no image writer writes a header it cannot fill.
void writeClaimingPng(const fs::path& path, uint32_t width, uint32_t height)
{
  const std::string header = bigEndian(width) + bigEndian(height) + std::string("\x08\x02\x00\x00\x00", 5);
  const std::string emptyDeflate("\x78\x9c\x03\x00\x00\x00\x00\x01", 8);
  std::ofstream(path, std::ios::binary) << "\x89PNG\r\n\x1a\n" << chunk("IHDR", header) << chunk("IDAT", emptyDeflate)
                                        << chunk("IEND", "");
}

} // namespace

TEST(DecodeLimits, ImagesOverThePixelLimitAreRefusedNamingFileAndSize)
{
  TempDir dir("tweenova-limits");
  const fs::path huge = dir.path / "huge.png";
  writeClaimingPng(huge, 100000, 100000);
  HostLayer::setMaxImagePixels(0);
  // The default follows memory: an 8K frame reads, ten billion pixels do not.
  EXPECT_GT(HostLayer::maxImagePixels(), uint64_t(8192) * 4320);
  EXPECT_LT(HostLayer::maxImagePixels(), uint64_t(100000) * 100000);
  for (auto read : {+[](const std::string& p) { HostLayer::readImageHeader(p); },
                    +[](const std::string& p) { HostLayer::readImageFile(p); }}) {
    try {
      read(huge.string());
      ADD_FAILURE() << "a 100000x100000 image was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(huge.string()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("100000x100000"), std::string::npos) << e.what();
    }
  }
  // A limit set by the user counts channels too.
  HostLayer::setMaxImagePixels(1000);
  EXPECT_NO_THROW(HostLayer::checkImageSize("a.exr", 40, 25, 4));
  EXPECT_THROW(HostLayer::checkImageSize("a.exr", 40, 26, 1), std::runtime_error);
  EXPECT_THROW(HostLayer::checkImageSize("a.exr", 10, 10, 41), std::runtime_error);
  HostLayer::setMaxImagePixels(0);
}

TEST(DecodeLimits, ATruncatedDpxIsRefused)
{
  TempDir dir("tweenova-limits");
  for (const char* type : {"uint16", "uint10", "uint8"}) {
    const std::string path = (dir.path / (std::string("in_") + type + ".dpx")).string();
    OIIO::ImageSpec desc(64, 48, 3, std::string(type) == "uint8" ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16);
    if (std::string(type) == "uint10")
      desc.attribute("oiio:BitsPerSample", 10);
    ASSERT_TRUE(testsupport::writeImage(path, desc, std::vector<float>(size_t(64) * 48 * 3, 0.5f)));
    EXPECT_NO_THROW(HostLayer::readImageFile(path)) << type;
    // Cut by a lot, and by the last 32-bit word (a tenth of a sample per
    // byte less would pass a count of 10-bit samples as if packed tightly).
    const uintmax_t whole = fs::file_size(path);
    for (uintmax_t cut : {uintmax_t(2000), uintmax_t(4)}) {
      fs::resize_file(path, whole - cut);
      try {
        HostLayer::readImageFile(path);
        ADD_FAILURE() << "a " << type << " DPX cut by " << cut << " bytes was read";
      } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path + ": truncated file"), std::string::npos) << e.what();
      }
    }
  }
}

TEST(DecodeLimits, ATruncatedMovieFailsOnceAndThenSaysWhereItEnds)
{
  TempDir dir("tweenova-limits");
  const fs::path movie = dir.path / "clip.mp4";
  const std::string make = "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 40 -c:v mpeg4 "
                           "-q:v 2 -movflags +faststart " + movie.string() + " 2>/dev/null";
  if (testsupport::runCommand(make).status != 0)
    GTEST_SKIP() << "ffmpeg is installed by scripts/setup";
  fs::resize_file(movie, fs::file_size(movie) * 6 / 10);
  HostLayer::MovieDecoder decoder(movie.string());
  ASSERT_EQ(decoder.header().subimages, 40);
  int decoded = 0;
  std::vector<std::string> errors;
  for (int i = 0; i < 40; ++i) {
    try {
      decoder.frame(i);
      ++decoded;
    } catch (const std::runtime_error& e) {
      errors.push_back(e.what());
    }
  }
  ASSERT_GT(decoded, 0);
  ASSERT_EQ(decoded + errors.size(), 40u);
  EXPECT_NE(errors.front().find("the decoder ended early"), std::string::npos) << errors.front();
  for (size_t k = 1; k < errors.size(); ++k)
    EXPECT_NE(errors[k].find("the movie ends after frame " + std::to_string(decoded)), std::string::npos)
      << errors[k];
}

TEST(DecodeLimits, DecodesInProgressAreSeenWithTheirFile)
{
  std::string path;
  double seconds = -1;
  EXPECT_FALSE(HostLayer::longestDecode(path, seconds));
  {
    HostLayer::DecodeScope first("first.exr");
    usleep(20000);
    HostLayer::DecodeScope second("second.exr");
    ASSERT_TRUE(HostLayer::longestDecode(path, seconds));
    EXPECT_EQ(path, "first.exr");
    EXPECT_GE(seconds, 0.02);
  }
  EXPECT_FALSE(HostLayer::longestDecode(path, seconds));
}

TEST(DecodeLimits, DamagedHeadersAreRefusedBeforeTheLibraryAllocatesWhatTheyClaim)
{
  TempDir dir("tweenova-limits");
  const fs::path exr = dir.path / "claims.exr";
  ASSERT_TRUE(testsupport::writeImage(exr.string(), OIIO::ImageSpec(8, 4, 3, OIIO::TypeDesc::HALF),
                                      std::vector<float>(size_t(8) * 4 * 3, 0.5f)));
  EXPECT_NO_THROW(HostLayer::readImageFile(exr.string()));
  // The first attribute's size (after magic, version, name and type) claims 1.5 GB.
  std::fstream file(exr, std::ios::in | std::ios::out | std::ios::binary);
  std::string head(256, '\0');
  file.read(&head[0], 256);
  const size_t type = head.find('\0', 8) + 1;
  const size_t sizeAt = head.find('\0', type) + 1;
  const int32_t claim = 1500000000;
  file.clear();
  file.seekp(std::streamoff(sizeAt));
  file.write(reinterpret_cast<const char*>(&claim), 4);
  file.close();
  try {
    HostLayer::readImageHeader(exr.string());
    ADD_FAILURE() << "the damaged header was read";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(exr.string() + ": damaged OpenEXR header (attribute '"), std::string::npos)
      << e.what();
  }
  // A DPX header whose sections claim more than the file holds.
  const fs::path dpx = dir.path / "claims.dpx";
  std::string bytes(2048, '\0');
  bytes.replace(0, 4, "SDPX");
  bytes[32] = '\x7f';  // user data: about 2 GB
  std::ofstream(dpx, std::ios::binary) << bytes;
  try {
    HostLayer::readImageHeader(dpx.string());
    ADD_FAILURE() << "the damaged DPX header was read";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(dpx.string() + ": damaged DPX header"), std::string::npos) << e.what();
  }
}

namespace {

void writeFile(const fs::path& path, const std::string& text)
{
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

} // namespace

TEST(DecodeLimits, MemoryLimitsAreReadFromTheProcessesOwnCgroupsUpward)
{
  TempDir dir("tweenova-cgroups");
  const fs::path root = dir.path / "sys";
  const std::string self = (dir.path / "self").string();
  // A Slurm task under cgroup v2: the job's limit, two levels above the task.
  writeFile(self, "0::/system.slice/job_5/step_0/task_0\n");
  writeFile(root / "system.slice/memory.max", "max\n");
  writeFile(root / "system.slice/job_5/memory.max", "2147483648\n");
  writeFile(root / "system.slice/job_5/step_0/memory.max", "max\n");
  fs::create_directories(root / "system.slice/job_5/step_0/task_0");
  EXPECT_EQ(HostLayer::cgroupMemoryLimit(self, root.string()), 2147483648ULL);
  const HostLayer::CgroupFolders v2 = HostLayer::cgroupFolders("memory", self, root.string());
  ASSERT_EQ(v2.unified.size(), 5u);
  EXPECT_EQ(v2.unified.front(), (root / "system.slice/job_5/step_0/task_0").string());
  EXPECT_EQ(v2.unified.back(), root.string());

  // The same under cgroup v1, "unlimited" at the top; CPU under its joint mount name.
  writeFile(self, "7:cpu,cpuacct:/slurm/uid_0/job_7\n5:memory:/slurm/uid_0/job_7/step_0\n1:name=systemd:/x\n");
  writeFile(root / "memory/memory.limit_in_bytes", "9223372036854771712\n");
  writeFile(root / "memory/slurm/uid_0/job_7/memory.limit_in_bytes", "1073741824\n");
  writeFile(root / "memory/slurm/uid_0/job_7/step_0/memory.limit_in_bytes", "9223372036854771712\n");
  writeFile(root / "cpu,cpuacct/slurm/uid_0/job_7/cpu.cfs_quota_us", "200000\n");
  EXPECT_EQ(HostLayer::cgroupMemoryLimit(self, root.string()), 1073741824ULL);
  const HostLayer::CgroupFolders v1 = HostLayer::cgroupFolders("cpu", self, root.string());
  EXPECT_TRUE(v1.unified.empty());
  ASSERT_FALSE(v1.v1.empty());
  EXPECT_EQ(v1.v1.front(), (root / "cpu,cpuacct/slurm/uid_0/job_7").string());

  // A container sees its own cgroup at the root of the mount, whatever path it is told.
  const fs::path box = dir.path / "box";
  writeFile(self, "0::/docker/0123abcd\n");
  writeFile(box / "memory.max", "536870912\n");
  EXPECT_EQ(HostLayer::cgroupMemoryLimit(self, box.string()), 536870912ULL);
  // No cgroup file at all: no limit.
  EXPECT_EQ(HostLayer::cgroupMemoryLimit((dir.path / "none").string(), root.string()), 0ULL);
}
