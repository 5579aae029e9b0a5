// SPDX-License-Identifier: Apache-2.0
// The standard streams the tool was started without. Every descriptor the tool opens takes the
// lowest number free, so with standard error closed its CSV spool would become standard error
// and take the summary, and a name like /dev/stderr would lead nowhere (to be created as a new
// file). Each closed stream is therefore held by a placeholder of the tool's own: one end of a
// pipe, which no name reaches but the stream's own (/dev/stderr, /dev/fd/2, /proc/self/fd/2),
// and which writes refuse. It is closed on exec, so the program, and anything else the tool
// starts, finds the stream closed as the caller left it.
#pragma once

#include <sys/stat.h>

// Holds each closed standard stream; first thing in main, before anything opens a descriptor.
// False (with errno) when a placeholder could not be had.
bool HoldClosedStandardStreams();

// Whether the tool was started with `fd` (0, 1 or 2) closed.
bool StandardStreamClosed(int fd);

// The closed standard stream that a file of this identity is (the placeholder, whatever the name
// that led to it), or -1.
int ClosedStandardStream(struct stat const& file);
