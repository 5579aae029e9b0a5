// SPDX-License-Identifier: Apache-2.0
// The text helpers every report shares: the summary, the timeline and the site tables.
#pragma once

#include <string>

// printf into a string, whole however long the result (a path of any length stays on its line).
std::string Format(char const* format, ...) __attribute__((format(printf, 1, 2)));

// "8.0 MiB" and the like.
std::string HumanBytes(double bytes);

// `text` with '?' for every control character and every byte that is not part of valid UTF-8,
// so that a name the program chose can neither forge a line nor reach the terminal as a code.
std::string Printable(std::string text);
