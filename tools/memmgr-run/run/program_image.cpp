#include "run/program_image.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

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

// The read-only bytes of a file, bounds-checked.
class Mapped {
 public:
  explicit Mapped(std::string const& path) {
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status {};
    if (fstat(fd, &status) == 0 && status.st_size > 0) {
      void* const at =
          mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (at != MAP_FAILED) bytes_ = {static_cast<char const*>(at), size_t(status.st_size)};
    }
    close(fd);
  }
  ~Mapped() {
    if (!bytes_.empty()) munmap(const_cast<char*>(bytes_.data()), bytes_.size());
  }
  Mapped(Mapped const&) = delete;
  Mapped& operator=(Mapped const&) = delete;

  template <typename T>
  T const* At(uint64_t offset, uint64_t count = 1) const {
    if (offset > bytes_.size() || count > (bytes_.size() - offset) / sizeof(T)) return nullptr;
    return reinterpret_cast<T const*>(bytes_.data() + offset);
  }
  // The NUL-terminated string at `offset` of the string table [start, start + size).
  std::string_view String(uint64_t start, uint64_t size, uint64_t offset) const {
    char const* const table = At<char>(start, size);
    if (table == nullptr || offset >= size) return {};
    return {table + offset, strnlen(table + offset, size - offset)};
  }

 private:
  std::span<char const> bytes_;
};

// The sanitizer whose runtime the program loads or carries, if any.
std::string SanitizerOf(Mapped const& file, Elf64_Ehdr const& header) {
  static constexpr std::pair<std::string_view, char const*> kMarks[] = {
      {"asan", "AddressSanitizer"},
      {"hwasan", "HWAddressSanitizer"},
      {"tsan", "ThreadSanitizer"},
      {"msan", "MemorySanitizer"},
      {"lsan", "LeakSanitizer"}};
  auto const named = [](std::string_view name, bool needed) -> char const* {
    for (auto const& [mark, sanitizer] : kMarks) {
      // libasan.so.8 as a needed library; __asan_init as a symbol.
      if (needed ? name.starts_with("lib" + std::string(mark) + ".so")
                 : name == "__" + std::string(mark) + "_init")
        return sanitizer;
    }
    return nullptr;
  };
  auto const* const sections = file.At<Elf64_Shdr>(header.e_shoff, header.e_shnum);
  if (sections == nullptr || header.e_shentsize != sizeof(Elf64_Shdr)) return {};
  for (Elf64_Shdr const& section : std::span(sections, header.e_shnum)) {
    if (section.sh_type != SHT_DYNAMIC && section.sh_type != SHT_DYNSYM) continue;
    if (section.sh_link >= header.e_shnum) continue;
    Elf64_Shdr const& strings = sections[section.sh_link];
    if (section.sh_type == SHT_DYNAMIC) {
      auto const count = section.sh_size / sizeof(Elf64_Dyn);
      auto const* const entries = file.At<Elf64_Dyn>(section.sh_offset, count);
      for (size_t i = 0; entries != nullptr && i < count; ++i)
        if (entries[i].d_tag == DT_NEEDED)
          if (auto const* found = named(
                  file.String(strings.sh_offset, strings.sh_size, entries[i].d_un.d_val), true))
            return found;
    } else {
      auto const count = section.sh_size / sizeof(Elf64_Sym);
      auto const* const symbols = file.At<Elf64_Sym>(section.sh_offset, count);
      for (size_t i = 0; symbols != nullptr && i < count; ++i)
        if (auto const* found =
                named(file.String(strings.sh_offset, strings.sh_size, symbols[i].st_name), false))
          return found;
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

}  // namespace

ProgramImage InspectProgram(char const* program) {
  ProgramImage image;
  image.path = FindOnPath(program);
  Mapped const file(image.path);
  auto const* const header = file.At<Elf64_Ehdr>(0);
  // Not ELF (a script, or unreadable): exec decides, and an interpreter gets the preload.
  if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0) return image;
  if (header->e_ident[EI_CLASS] != ELFCLASS64 ||
      (kMachine != EM_NONE && header->e_machine != kMachine)) {
    image.kind = ImageKind::Foreign;
    return image;
  }
  auto const* const segments = file.At<Elf64_Phdr>(header->e_phoff, header->e_phnum);
  bool interpreted = false;
  for (size_t i = 0; segments != nullptr && i < header->e_phnum; ++i)
    interpreted |= segments[i].p_type == PT_INTERP;
  if (!interpreted) {
    image.kind = ImageKind::Static;
  } else if (IsSetId(image.path)) {
    image.kind = ImageKind::SetId;
  } else if (image.detail = SanitizerOf(file, *header); !image.detail.empty()) {
    image.kind = ImageKind::Sanitized;
  }
  return image;
}
