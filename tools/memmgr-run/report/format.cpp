// SPDX-License-Identifier: Apache-2.0
#include "report/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

std::string Format(char const* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char* text = nullptr;
  int const length = vasprintf(&text, format, arguments);
  va_end(arguments);
  // A negative length is an encoding error, which the tool's own formats never make.
  if (length < 0) return {};
  std::string result(text, static_cast<size_t>(length));
  std::free(text);
  return result;
}

std::string HumanBytes(double bytes) {
  static char const* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  int unit = 0;
  for (; bytes >= 1024 && unit < 6; ++unit) bytes /= 1024;
  if (unit == 0) return Format("%.0f byte%s", bytes, bytes == 1 ? "" : "s");
  return Format("%.1f %s", bytes, units[unit]);
}

std::string Printable(std::string text) {
  auto const byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
  for (size_t i = 0; i < text.size();) {
    unsigned char const lead = byte(i);
    size_t const length = lead < 0x80                   ? 1
                          : lead >= 0xc2 && lead < 0xe0 ? 2
                          : lead >= 0xe0 && lead < 0xf0 ? 3
                          : lead >= 0xf0 && lead < 0xf5 ? 4
                                                        : 0;
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) valid = (byte(i + k) & 0xc0) == 0x80;
    if (!valid || lead < 0x20 || lead == 0x7f) {
      text[i++] = '?';
    } else {
      i += length;
    }
  }
  return text;
}
