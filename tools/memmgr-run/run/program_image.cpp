// SPDX-License-Identifier: Apache-2.0
#include "run/program_image.h"

// ELF through elfutils' libelf (gelf): it checks every offset and count against the file and
// reads either class and byte order, which a parser of our own would have to get right again.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#else
constexpr int kMachine = EM_NONE;  // nothing is refused as foreign
#endif

std::string FindOnPath(char const* program) {
  if (std::strchr(program, '/') != nullptr) return program;
  char const* const path = std::getenv("PATH");
  std::string_view rest = path ? path : "/bin:/usr/bin";
  for (;;) {
    size_t const end = rest.find(':');
    std::string directory(rest.substr(0, end));
    std::string const candidate = (directory.empty() ? "." : directory) + "/" + program;
    struct stat status {};
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string_view::npos) return program;
    rest.remove_prefix(end + 1);
  }
}

// The sanitizer a runtime name or entry point belongs to: libasan.so.8 as a needed library,
// __asan_init as a symbol.
char const* SanitizerNamed(std::string_view name, bool needed) {
  static constexpr std::pair<std::string_view, char const*> kMarks[] = {
      {"asan", "AddressSanitizer"},
      {"hwasan", "HWAddressSanitizer"},
      {"tsan", "ThreadSanitizer"},
      {"msan", "MemorySanitizer"},
      {"lsan", "LeakSanitizer"}};
  for (auto const& [mark, sanitizer] : kMarks) {
    if (needed ? name.starts_with("lib" + std::string(mark) + ".so")
               : name == "__" + std::string(mark) + "_init")
      return sanitizer;
  }
  return nullptr;
}

// The sanitizer whose runtime the program loads or carries, if any: from its dynamic section
// and dynamic symbols, found through the section headers.
std::string SanitizerOf(Elf* elf) {
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr ||
        (header.sh_type != SHT_DYNAMIC && header.sh_type != SHT_DYNSYM) || header.sh_entsize == 0)
      continue;
    Elf_Data* const data = elf_getdata(section, nullptr);
    if (data == nullptr) continue;
    size_t const count = header.sh_size / header.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
      char const* name = nullptr;
      bool needed = false;
      if (header.sh_type == SHT_DYNAMIC) {
        GElf_Dyn entry;
        if (gelf_getdyn(data, static_cast<int>(i), &entry) == nullptr) break;
        needed = entry.d_tag == DT_NEEDED;
        if (needed) name = elf_strptr(elf, header.sh_link, entry.d_un.d_val);
      } else {
        GElf_Sym symbol;
        if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) break;
        name = elf_strptr(elf, header.sh_link, symbol.st_name);
      }
      if (name == nullptr) continue;
      if (char const* const sanitizer = SanitizerNamed(name, needed)) return sanitizer;
    }
  }
  return {};
}

bool IsSetId(std::string const& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  return ((status.st_mode & S_ISUID) && status.st_uid != geteuid()) ||
         ((status.st_mode & S_ISGID) && status.st_gid != getegid()) ||
         getxattr(path.c_str(), "security.capability", nullptr, 0) > 0;
}

void Classify(Elf* elf, GElf_Ehdr const& header, ProgramImage& image) {
  if (header.e_ident[EI_CLASS] != ELFCLASS64 ||
      (kMachine != EM_NONE && header.e_machine != kMachine)) {
    image.kind = ImageKind::Foreign;
    return;
  }
  size_t segments = 0;
  bool interpreted = false;
  if (elf_getphdrnum(elf, &segments) == 0) {
    for (size_t i = 0; i < segments && !interpreted; ++i) {
      GElf_Phdr segment;
      interpreted = gelf_getphdr(elf, static_cast<int>(i), &segment) != nullptr &&
                    segment.p_type == PT_INTERP;
    }
  }
  if (!interpreted) {
    image.kind = ImageKind::Static;
  } else if (IsSetId(image.path)) {
    image.kind = ImageKind::SetId;
  } else if (image.detail = SanitizerOf(elf); !image.detail.empty()) {
    image.kind = ImageKind::Sanitized;
  }
}

}  // namespace

ProgramImage InspectProgram(char const* program) {
  ProgramImage image;
  image.path = FindOnPath(program);
  int const fd = open(image.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return image;  // unreadable: exec decides
  elf_version(EV_CURRENT);
  Elf* const elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  GElf_Ehdr header;
  // Not ELF (a script): exec decides, and an interpreter gets the preload.
  if (elf != nullptr && elf_kind(elf) == ELF_K_ELF && gelf_getehdr(elf, &header) != nullptr)
    Classify(elf, header, image);
  elf_end(elf);
  close(fd);
  return image;
}
