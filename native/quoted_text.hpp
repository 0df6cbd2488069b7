// A text in quotes with backslash escapes, the way Python's repr() writes a str, for messages that name a
// path or a name taken from a file: no byte of it reaches a message or a log as it stands.
#pragma once

#include <string>
#include <string_view>

namespace ostrel::native {

// `text` between `quote`s: a backslash and the quote escaped, tabs and line ends by name, other control
// bytes (and, with `escape_non_ascii`, every byte outside printable ASCII) as \xNN.
inline std::string quoted_text(std::string_view text, char quote, bool escape_non_ascii) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(1, quote);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == quote || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f || (escape_non_ascii && c > 0x7f)) {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

}  // namespace ostrel::native
