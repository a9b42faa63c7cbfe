// A damaged model library is refused with its name before the dynamic loader sees it.
#include "networks/TestNetworks.h"
#include "runtime/ModelLibrary.h"
#include "runtime/SharedObjectCheck.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(SharedObjectCheck, TruncatedOrForeignLibrariesAreRefusedNamingTheFile)
{
  const fs::path real = testnetworks::realModelLibrary();
  EXPECT_NO_THROW(tweenova::checkSharedObject(real.string()));
  const testsupport::TempDir folder("tweenova-elf");
  const fs::path& dir = folder.path;
  const uintmax_t size = fs::file_size(real);
  struct Case {
    std::string name;
    uintmax_t keep;  // bytes of the real library kept; 0: a text file instead
    std::string why;
  };
  const Case cases[] = {
    {"header.so", 40, "truncated file: no complete ELF header"},
    {"half.so", size / 2, "truncated file"},
    {"most.so", size * 9 / 10, "truncated file"},
    {"text.so", 0, "not an ELF shared object"},
  };
  for (const Case& c : cases) {
    const fs::path path = dir / c.name;
    if (c.keep > 0) {
      fs::copy_file(real, path, fs::copy_options::overwrite_existing);
      fs::resize_file(path, c.keep);
    } else {
      std::ofstream(path) << "#!/bin/sh\necho not a library\n";
    }
    try {
      tweenova::ModelArchive::fetch(path.string());
      ADD_FAILURE() << c.name << " was loaded";
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("cannot load model library " + path.string() + ": " + c.why), std::string::npos) << what;
    }
  }
}
