// What the plug-in shows the process that loads it: no symbol of its own
// (the host finds the node through its registration record), and no search
// path but its own folder. Its developer build adds only its two entry points.
#include "networks/TestNetworks.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct DynamicSection {
  std::set<std::string> definedSymbols;  // global and weak dynamic symbols the library defines
  std::vector<std::string> searchPaths;  // DT_RPATH and DT_RUNPATH entries
  std::set<std::string> needed;          // DT_NEEDED libraries
};

// Reads the dynamic symbols and search paths of a 64-bit ELF shared library.
DynamicSection readDynamic(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  DynamicSection out;
  if (bytes.size() < sizeof(Elf64_Ehdr))
    throw std::runtime_error("not an ELF file: " + path);
  const char* base = bytes.data();
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(base);
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + header->e_shoff);
  auto stringAt = [&](const Elf64_Shdr& table, size_t offset) { return std::string(base + table.sh_offset + offset); };
  for (int i = 0; i < header->e_shnum; ++i) {
    const Elf64_Shdr& s = sections[i];
    const Elf64_Shdr& strings = sections[s.sh_link];
    if (s.sh_type == SHT_DYNSYM) {
      const auto* symbols = reinterpret_cast<const Elf64_Sym*>(base + s.sh_offset);
      for (size_t k = 0; k < s.sh_size / sizeof(Elf64_Sym); ++k) {
        const int binding = ELF64_ST_BIND(symbols[k].st_info);
        if (symbols[k].st_shndx != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK))
          out.definedSymbols.insert(stringAt(strings, symbols[k].st_name));
      }
    } else if (s.sh_type == SHT_DYNAMIC) {
      const auto* entries = reinterpret_cast<const Elf64_Dyn*>(base + s.sh_offset);
      for (size_t k = 0; k < s.sh_size / sizeof(Elf64_Dyn) && entries[k].d_tag != DT_NULL; ++k)
        if (entries[k].d_tag == DT_RPATH || entries[k].d_tag == DT_RUNPATH)
          out.searchPaths.push_back(stringAt(strings, entries[k].d_un.d_val));
        else if (entries[k].d_tag == DT_NEEDED)
          out.needed.insert(stringAt(strings, entries[k].d_un.d_val));
    }
  }
  return out;
}

} // namespace

TEST(PluginSurface, ThePluginExportsNothingAndSearchesOnlyItsFolder)
{
  const DynamicSection shipped = readDynamic(testnetworks::buildDir() + "/Tweenova.so");
  EXPECT_TRUE(shipped.definedSymbols.empty()) << "first exported: " << *shipped.definedSymbols.begin();
  EXPECT_EQ(shipped.searchPaths, std::vector<std::string>{"$ORIGIN"});
  // Of the host layer, the plug-in links the SDK stand-in alone, not the headless application.
  EXPECT_EQ(shipped.needed.count("libDDImage.so"), 1u);
  EXPECT_EQ(shipped.needed.count("libTweenovaHost.so"), 0u);

  const DynamicSection developer = readDynamic(testnetworks::buildDir() + "/TweenovaDeveloper.so");
  EXPECT_EQ(developer.definedSymbols, (std::set<std::string>{"TweenovaSetModelLibrary", "TweenovaSimulateCuda"}));
  EXPECT_EQ(developer.searchPaths, std::vector<std::string>{"$ORIGIN"});
}
