// What the command-line tools share: reading their options and writing JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "sim/read_job.h"
#include "sim/serving.h"

namespace sim {

// The exit status of read, info and serve when the image does not mount; the reason is
// the one line they write to standard error before stopping.
inline constexpr int kExitNotMounted = 3;

// The value that follows the option at argv[*i], which is then stepped past; false when the
// option is the last argument.
inline bool TakeValue(int argc, char** argv, int* i, std::string* out) {
  if (*i + 1 >= argc) return false;
  *out = argv[++*i];
  return true;
}

// --client's value: "windows" or "mac".
inline bool ParseClient(const std::string& v, Client* client) {
  if (v != "windows" && v != "mac") return false;
  *client = v == "mac" ? Client::kMac : Client::kWindows;
  return true;
}

// `s` as a JSON string. `ascii_only` escapes every byte from 0x7F up as well, for text that
// comes from a device and need not be UTF-8; without it such bytes (a UTF-8 path) pass as
// they are.
inline std::string JsonString(std::string_view s, bool ascii_only = false) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || (ascii_only && c >= 0x7F)) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace sim
