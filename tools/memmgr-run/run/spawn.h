// SPDX-License-Identifier: Apache-2.0
// Starting other programs (PROGRAM itself, gnuplot) with posix_spawn, so that the signals they
// start with are the caller's, not the tool's: the tool blocks every signal it can from the
// moment it starts PROGRAM to its own end.
#pragma once

#include <sys/types.h>

// Records the signal mask and dispositions the tool was started with; call first thing in
// main. A caller that ignored SIGCHLD would have the children reaped behind the tool's back:
// the tool takes the default for itself, and gives the programs it starts what it found.
void SaveInheritedSignals();

// Where the program's standard input and output come from: a descriptor of the tool's, or -1
// for the tool's own stream; its standard error is the tool's.
struct SpawnStreams {
  int input = -1, output = -1;
  bool nullStreams = false;  // all three on /dev/null instead
};

// Runs `argv[0]`, found on PATH as execvp finds it, with `environment` (null: the tool's own),
// the caller's signal mask and dispositions, and `streams`; the pid, or -1 with errno when it
// could not be run (the failed exec's errno included: posix_spawn reports it).
pid_t Spawn(char* const argv[], char* const environment[], SpawnStreams const& streams);

// Waits for `pid` through interruptions; its wait status, or -1.
int WaitFor(pid_t pid);
