#include "runtime/SharedObjectCheck.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tweenova {

namespace {

#if defined(__x86_64__)
constexpr Elf64_Half kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr Elf64_Half kMachine = EM_AARCH64;
#else
#error "unsupported architecture"
#endif

// Reads `size` bytes at `offset`, false when the file is shorter.
bool readAt(int fd, uint64_t offset, void* out, size_t size)
{
  auto* p = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t n = pread(fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    offset += uint64_t(n);
    size -= size_t(n);
  }
  return true;
}

void checkHeader(const Elf64_Ehdr& h)
{
  if (h.e_ident[EI_CLASS] != ELFCLASS64 || h.e_ident[EI_DATA] != ELFDATA2LSB || h.e_machine != kMachine)
    throw std::runtime_error("built for another kind of machine");
  if (h.e_type != ET_DYN)
    throw std::runtime_error("not a shared object");
  if (h.e_phentsize != sizeof(Elf64_Phdr) || h.e_phnum == 0 || h.e_phnum == PN_XNUM)
    throw std::runtime_error("damaged ELF header");
}

void checkSegments(int fd, const Elf64_Ehdr& h, uint64_t fileSize)
{
  const uint64_t tableEnd = h.e_phoff + uint64_t(h.e_phnum) * sizeof(Elf64_Phdr);
  if (h.e_phoff > fileSize || tableEnd > fileSize)
    throw std::runtime_error("truncated file: its program header table lies past the end");
  std::vector<Elf64_Phdr> segments(h.e_phnum);
  if (!readAt(fd, h.e_phoff, segments.data(), segments.size() * sizeof(Elf64_Phdr)))
    throw std::runtime_error("cannot read its program header table");
  for (const Elf64_Phdr& s : segments) {
    if (s.p_type != PT_LOAD && s.p_type != PT_DYNAMIC)
      continue;
    if (s.p_offset > fileSize || s.p_filesz > fileSize - s.p_offset)
      throw std::runtime_error("truncated file (" + std::to_string(fileSize) + " bytes): a segment ends at byte " +
                               std::to_string(s.p_offset + s.p_filesz));
  }
}

} // namespace

void checkSharedObject(const std::string& path)
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw std::runtime_error(std::strerror(errno));
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    ::close(*f);
    delete f;
  });
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw std::runtime_error("not a regular file");
  Elf64_Ehdr header{};
  const bool whole = readAt(fd, 0, &header, sizeof header);
  if (st.st_size < SELFMAG || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    throw std::runtime_error("not an ELF shared object");
  if (!whole)
    throw std::runtime_error("truncated file: no complete ELF header");
  checkHeader(header);
  checkSegments(fd, header, uint64_t(st.st_size));
}

} // namespace tweenova
