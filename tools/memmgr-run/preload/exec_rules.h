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
#ifndef MEMMGR_RUN_EXEC_RULES_H
#define MEMMGR_RUN_EXEC_RULES_H

#include <limits.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "run_page.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { kExecPathRoom = PATH_MAX + 2 };

/* The file execvp would run for `file`, into `found`: `file` itself when it holds a slash, else
 * the first regular file on `path` (PATH's value; null: the C library's default) that the
 * caller may execute. False when there is none. */
bool memmgr_run_find_program(char const* file, char const* path, char found[kExecPathRoom]);

/* What exec would make of the preload for the file `path` names, relative to `directory` as
 * openat takes it ("": the file open as `directory`, as fexecve and AT_EMPTY_PATH): one of
 * kRunExec* (run_page.h). kRunExecFollowed: a dynamically linked program of this machine, a
 * script whose interpreter is one, or a file it cannot read or tell (exec decides). For
 * kRunExecSanitized `sanitizer` (if not null) is set to the sanitizer's name. */
uint32_t memmgr_run_exec_target(int directory, char const* path, char const** sanitizer);

/* The value `name` has in `environment` (null, or ending with a null), or null. */
char const* memmgr_run_value(char* const* environment, char const* name);

/* The environment an image of the measured process starts with: `environment` (what the exec
 * was given) without the entries the tool withholds, then LD_PRELOAD with the tool's list
 * `preloads` in front of the user's, MEMMGR_RUN_PRELOAD with the user's own (when it was set),
 * and the tool's entries `settings` and `sites` (null without --sites). Returns the bytes of
 * `text` it needs; with `text` null it does nothing else, otherwise it fills `into`, which has
 * room for the entries of `environment` and 5 more, and `text`. */
size_t memmgr_run_measured_environment(char* const* environment, char const* preloads,
                                       char* settings, char* sites, char** into, char* text);

/* Takes the tool's entries out of `environment` in place and puts LD_PRELOAD back as the user
 * had it, so that children run plainly. Returns MEMMGR_RUN's value, which stays in the
 * environment's strings, or null (and leaves it as it is) when there is none. */
char const* memmgr_run_take_environment(char** environment);

#ifdef __cplusplus
}
#endif

#endif /* MEMMGR_RUN_EXEC_RULES_H */
