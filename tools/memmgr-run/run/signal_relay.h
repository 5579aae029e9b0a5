// SPDX-License-Identifier: Apache-2.0
// The signals the tool receives while the program runs: each relayed to the program unless
// it already received it (sent to the whole process group, or by the terminal), and the
// program's stops followed by the tool's own, as a shell expects of its job.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// The whole of a /proc file, or "" when it cannot be opened or read: the process may end, or its
// main thread leave, between the open and the read, which the stream's buffer reports by
// throwing.
std::string ReadProcFile(std::string const& path);

// What became of a signal the tool received while it watched the program.
enum class SignalFate {
  Relayed,       // sent on to the program, which had not received it
  FromTerminal,  // the terminal sent it to the whole foreground group: the program had it
  ToGroup,       // sent to the process group, the program included: it had it
  GroupLeft,     // sent to the process group, which the program had left: neither had it
  FromProgram,   // sent by the program or a process it started, to its parent: not sent back
  ForTool,       // raised by the kernel for the tool alone (its own CPU limit...): not relayed
  AfterEnd,      // it came once the program had ended
  StoppedWith,   // the program stopped on it, and the tool stopped with the same signal
};

struct SignalNote {
  int signal;
  SignalFate fate;
  int count;
};

class Sentinel;

// Made before the program starts; every signal the tool can block stays blocked from then to
// the end of the tool: one that comes after the program's end waits, unheeded, while the
// outputs are written.
class SignalRelay {
 public:
  SignalRelay();
  ~SignalRelay();

  // Readable when a signal has come.
  int Descriptor() const { return signals_; }
  // Takes every signal that came: relays it to `program` or not, and notes what became of it
  // in `notes` (one entry per signal and fate, in the order first seen); follows the
  // program's stops. `program` 0: it has been reaped, and the signals are only noted.
  void Take(pid_t program, std::vector<SignalNote>& notes);

 private:
  int signals_ = -1;
  std::unique_ptr<Sentinel> sentinel_;
};

// When the program was ended by a signal, ends the tool by the same one (without a core
// dump of its own), so that a shell sees the death it would have seen without the tool: bash
// leaves a loop when its command died of SIGINT. Returns only when the tool outlived it.
void EndAsTheProgramEnded(int waitStatus);
