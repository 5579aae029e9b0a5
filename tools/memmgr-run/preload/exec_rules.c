/* SPDX-License-Identifier: Apache-2.0
 * What an image of the measured process gets, decided in one place for the tool (PROGRAM) and
 * the companion (each exec the measured process makes), so that the two never disagree: whether
 * the library is preloaded into it, and what of the environment it and its children inherit.
 *
 * Written for the companion's side, inside a program that knows nothing of it. An exec may come
 * from a signal handler (execve is async-signal-safe) or while another thread holds the C
 * library's locks, so nothing here allocates, takes a lock, maps or keeps anything, or calls
 * getenv or setenv (a program may define its own: bash does). Files are read with pread into a
 * window on the caller's stack (under 3 KiB in all), and every call made is a plain system
 * call, safe in a signal handler: openat, pread, fstat, fgetxattr, stat, faccessat, close. A
 * library such as elfutils' libelf cannot do that: it takes its descriptors from malloc, and it
 * would be loaded into every measured program with its own dependencies. Nothing of it runs at an
 * exec of a child of the measured process (a fork or vfork child, where even less would be safe):
 * the companion tells the child by its process id first, and the child execs as it would without
 * the tool. */
#define _GNU_SOURCE
#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "preload.h"

/* ---- Whether the library is preloaded into what an exec runs -----------------------------*/

#if defined(__x86_64__)
enum { kMachine = EM_X86_64 };
#elif defined(__aarch64__)
enum { kMachine = EM_AARCH64 };
#else
enum { kMachine = EM_NONE }; /* nothing is taken for another machine's */
#endif

/* The kernel reads this much of a "#!" line, and follows interpreters this deep. */
enum { kScriptLine = 256, kScriptDepth = 4 };
enum { kScript = 0x100 }; /* FileKind: a script, whose interpreter decides (no kRunExec*) */

/* The file, read through a window: a run of looks at neighbouring bytes (the entries of a
 * table, the names they point to) costs one pread. */
enum { kWindow = 1024, kNameLook = 32 };
struct Window {
  int fd;
  bool filled;
  uint64_t start;
  unsigned char bytes[kWindow];
};

/* `length` (at most kWindow) bytes of the file at `offset`; zeros past its end, or where it
 * cannot be read. A malformed file gives wrong bytes, never a read outside the window. */
static void Take(struct Window* file, uint64_t offset, void* into, size_t length) {
  if (offset > (uint64_t)1 << 62) { /* past any file, and no sum with it overflows */
    memset(into, 0, length);
    return;
  }
  if (!file->filled || offset < file->start || offset + length > file->start + kWindow) {
    ssize_t const got = pread(file->fd, file->bytes, kWindow, (off_t)offset);
    size_t const kept = got > 0 ? (size_t)got : 0;
    memset(file->bytes + kept, 0, kWindow - kept);
    file->start = offset;
    file->filled = true;
  }
  memcpy(into, file->bytes + (offset - file->start), length);
}

/* The sanitizers whose runtime owns malloc and new and must come before any preload: needed as
 * a shared object (g++ links libasan.so.8 and the like), or linked into the program, which then
 * exports its entry point (clang). */
static struct {
  char const *library, *entry, *name;
} const kSanitizers[] = {{"libasan.so", "__asan_init", "AddressSanitizer"},
                         {"libhwasan.so", "__hwasan_init", "HWAddressSanitizer"},
                         {"libtsan.so", "__tsan_init", "ThreadSanitizer"},
                         {"libmsan.so", "__msan_init", "MemorySanitizer"},
                         {"liblsan.so", "__lsan_init", "LeakSanitizer"}};

/* The sanitizer a needed library's or a dynamic symbol's name belongs to, or null. */
static char const* SanitizerNamed(char const* name, bool needed) {
  for (size_t i = 0; i < sizeof kSanitizers / sizeof kSanitizers[0]; ++i) {
    char const* const mark = needed ? kSanitizers[i].library : kSanitizers[i].entry;
    if (needed ? strncmp(name, mark, strlen(mark)) == 0 : strcmp(name, mark) == 0)
      return kSanitizers[i].name;
  }
  return NULL;
}

/* The sanitizer whose runtime the program needs or carries, from its dynamic section and
 * dynamic symbols, found through the section headers; tables that run past the file's `size`
 * are not read. */
static char const* SanitizerOf(struct Window* file, Elf64_Ehdr const* header, uint64_t size) {
  struct Window names = {.fd = file->fd};
  for (size_t i = 0; i < header->e_shnum && header->e_shentsize == sizeof(Elf64_Shdr); ++i) {
    Elf64_Shdr section, strings;
    Take(file, header->e_shoff + i * sizeof section, &section, sizeof section);
    bool const needed = section.sh_type == SHT_DYNAMIC;
    if ((!needed && section.sh_type != SHT_DYNSYM) || section.sh_entsize == 0 ||
        section.sh_offset > size || section.sh_size > size - section.sh_offset)
      continue;
    Take(file, header->e_shoff + (uint64_t)section.sh_link * sizeof strings, &strings,
         sizeof strings);
    for (uint64_t at = 0; at + section.sh_entsize <= section.sh_size; at += section.sh_entsize) {
      uint64_t name = 0;
      if (needed) {
        Elf64_Dyn entry;
        Take(file, section.sh_offset + at, &entry, sizeof entry);
        if (entry.d_tag == DT_NULL) break;
        if (entry.d_tag != DT_NEEDED) continue;
        name = entry.d_un.d_val;
      } else {
        Elf64_Sym symbol;
        Take(file, section.sh_offset + at, &symbol, sizeof symbol);
        name = symbol.st_name;
      }
      char text[kNameLook + 1];
      Take(&names, strings.sh_offset + name, text, kNameLook);
      text[kNameLook] = 0;
      char const* const sanitizer = SanitizerNamed(text, needed);
      if (sanitizer) return sanitizer;
    }
  }
  return NULL;
}

/* What the file open as `fd` makes of the preload; kScript with its interpreter's path in
 * `interpreter`. */
static uint32_t FileKind(int fd, char interpreter[kScriptLine], char const** sanitizer) {
  struct Window file = {.fd = fd};
  Take(&file, 0, interpreter, kScriptLine);
  if (interpreter[0] == '#' && interpreter[1] == '!') {
    interpreter[kScriptLine - 1] = 0;
    char* const name = interpreter + 2 + strspn(interpreter + 2, " \t");
    size_t const length = strcspn(name, " \t\n");
    memmove(interpreter, name, length);
    interpreter[length] = 0;
    return length > 0 ? kScript : kRunExecFollowed;
  }
  Elf64_Ehdr header;
  memcpy(&header, interpreter, sizeof header);
  /* Not ELF: exec decides, and the C library may hand it to /bin/sh. */
  if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return kRunExecFollowed;
  unsigned char const order = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != order ||
      (kMachine != EM_NONE && header.e_machine != kMachine))
    return kRunExecForeign;
  bool interpreted = false;
  for (size_t i = 0; i < header.e_phnum && header.e_phentsize == sizeof(Elf64_Phdr); ++i) {
    Elf64_Phdr segment;
    Take(&file, header.e_phoff + i * sizeof segment, &segment, sizeof segment);
    interpreted |= segment.p_type == PT_INTERP;
  }
  if (!interpreted) return kRunExecStatic;
  struct stat status;
  if (fstat(fd, &status) != 0) memset(&status, 0, sizeof status);
  if (((status.st_mode & S_ISUID) && status.st_uid != geteuid()) ||
      ((status.st_mode & S_ISGID) && status.st_gid != getegid()) ||
      fgetxattr(fd, "security.capability", NULL, 0) > 0)
    return kRunExecSetId;
  *sanitizer = SanitizerOf(&file, &header, (uint64_t)status.st_size);
  return *sanitizer ? kRunExecSanitized : kRunExecFollowed;
}

uint32_t memmgr_run_exec_target(int directory, char const* path, char const** sanitizer) {
  char const* unused;
  if (!sanitizer) sanitizer = &unused;
  char interpreter[kScriptLine];
  for (int depth = 0;; ++depth) {
    /* Opening waits for nothing (a FIFO) and takes no terminal: exec itself refuses those. */
    bool const opened = *path != 0;
    int const flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int const fd = opened ? openat(directory, path, flags) : directory;
    if (fd < 0) return kRunExecFollowed; /* exec decides */
    uint32_t const kind = FileKind(fd, interpreter, sanitizer);
    if (opened) close(fd);
    /* A script: its interpreter runs, as far as the kernel follows interpreters. */
    if (kind != kScript) return kind;
    if (depth == kScriptDepth) return kRunExecFollowed;
    directory = AT_FDCWD;
    path = interpreter;
  }
}

bool memmgr_run_find_program(char const* file, char const* path, char found[kExecPathRoom]) {
  size_t const fileLength = strlen(file);
  if (strchr(file, '/')) {
    if (fileLength >= kExecPathRoom) return false;
    memcpy(found, file, fileLength + 1);
    return true;
  }
  if (!path) path = "/bin:/usr/bin";
  for (;;) {
    size_t const length = strcspn(path, ":");
    size_t const at = length ? length : 1; /* an empty entry is the current directory */
    if (at + 1 + fileLength < kExecPathRoom) {
      memcpy(found, length ? path : ".", at);
      found[at] = '/';
      memcpy(found + at + 1, file, fileLength + 1);
      struct stat status;
      if (stat(found, &status) == 0 && S_ISREG(status.st_mode) &&
          faccessat(AT_FDCWD, found, X_OK, AT_EACCESS) == 0)
        return true;
    }
    if (path[length] == 0) return false;
    path += length + 1;
  }
}

/* ---- What the measured process and its children inherit of the environment ---------------*/

/* The entries an image of the measured process never inherits as they stand: the tool writes
 * its own afresh. Those marked `children` are also taken out of what the program's children
 * inherit. Every other entry passes as it is, both ways. */
static struct Withheld {
  char const* name;
  bool children;
} const kWithheld[] = {
    /* The tool's list in front of the user's; for children, the user's alone, or none. */
    {"LD_PRELOAD", true},
    /* The library would take it as a limit the companion could then not set. The program
     * never has it, so its children never do either. */
    {"VOQ_MAXIMUM_MEMORY", false},
    /* The run's settings and the user's LD_PRELOAD (preload.h). */
    {MEMMGR_RUN_SETTINGS, true},
    {MEMMGR_RUN_PRELOAD, true},
};

static char const* ValueOf(char const* entry, char const* name) {
  size_t const length = strlen(name);
  return strncmp(entry, name, length) == 0 && entry[length] == '=' ? entry + length + 1 : NULL;
}

static bool IsWithheld(char const* entry, bool fromChildren) {
  for (size_t i = 0; i < sizeof kWithheld / sizeof kWithheld[0]; ++i)
    if (ValueOf(entry, kWithheld[i].name) && (kWithheld[i].children || !fromChildren)) return true;
  return false;
}

char const* memmgr_run_value(char* const* environment, char const* name) {
  for (; environment != NULL && *environment != NULL; ++environment) {
    char const* const value = ValueOf(*environment, name);
    if (value) return value;
  }
  return NULL;
}

size_t memmgr_run_measured_environment(char* const* environment, char const* preloads,
                                       char* settings, char** into, char* text) {
  char const* const user = memmgr_run_value(environment, "LD_PRELOAD");
  size_t const needed = sizeof "LD_PRELOAD=" + strlen(preloads) + 1 +
                        (user ? sizeof MEMMGR_RUN_PRELOAD "=" + 2 * strlen(user) : 0);
  if (!text) return needed;
  size_t kept = 0;
  for (; environment != NULL && *environment != NULL; ++environment)
    if (!IsWithheld(*environment, false)) into[kept++] = *environment;
  bool const joined = user && *user;
  into[kept++] = text;
  text = stpcpy(stpcpy(stpcpy(text, "LD_PRELOAD="), preloads), joined ? ":" : "");
  text = stpcpy(text, joined ? user : "") + 1;
  if (user) into[kept++] = text, stpcpy(stpcpy(text, MEMMGR_RUN_PRELOAD "="), user);
  into[kept++] = settings;
  into[kept] = NULL;
  return needed;
}

char const* memmgr_run_take_environment(char** environment) {
  char const* const settings = memmgr_run_value(environment, MEMMGR_RUN_SETTINGS);
  if (!settings) return NULL;
  /* The user's LD_PRELOAD needs a string that lives on: the bytes of the MEMMGR_RUN_PRELOAD
   * entry, whose name is rewritten into "LD_PRELOAD=" just before its value, once that entry
   * has been taken out. It goes where the tool's LD_PRELOAD was. */
  char const* const user = memmgr_run_value(environment, MEMMGR_RUN_PRELOAD);
  char* const restored = user ? (char*)user - (sizeof "LD_PRELOAD=" - 1) : NULL;
  bool placed = false;
  size_t kept = 0;
  for (size_t i = 0; environment[i] != NULL; ++i) {
    char* const entry = environment[i];
    if (restored && !placed && ValueOf(entry, "LD_PRELOAD"))
      environment[kept++] = restored, placed = true;
    else if (!IsWithheld(entry, true))
      environment[kept++] = entry;
  }
  /* Room is left: the settings entry at least has gone. */
  if (restored && !placed) environment[kept++] = restored;
  environment[kept] = NULL;
  if (restored) memcpy(restored, "LD_PRELOAD=", sizeof "LD_PRELOAD=" - 1);
  return settings;
}
