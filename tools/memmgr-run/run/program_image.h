// SPDX-License-Identifier: Apache-2.0
// What PROGRAM is, found before it runs: whether the library can be preloaded into it at all,
// and whether it should be.
#pragma once

#include <string>

enum class ImageKind {
  Preloadable,  // a dynamically linked program of this machine, or a script
  Static,       // no dynamic loader: nothing can be preloaded, so it runs plainly
  SetId,        // the loader ignores LD_PRELOAD for it (set-user-ID, set-group-ID, capabilities)
  Foreign,      // built for another machine or word size than the library
  Sanitized,    // its sanitizer runtime owns malloc and new, and insists on coming first
};

struct ProgramImage {
  ImageKind kind = ImageKind::Preloadable;
  std::string path;    // the file exec will run, found on PATH as execvp finds it
  std::string detail;  // for Sanitized: which sanitizer
};

ProgramImage InspectProgram(char const* program);
