// A text as a JSON string, quotes included: the one escaping that the
// tools' --json outputs share.
#pragma once

#include <cstdio>
#include <string>

inline std::string JsonText(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      // ANSI bytes above ASCII are given as the Latin-1 code points they are
      // in the system's usual code page; control characters escaped.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}
