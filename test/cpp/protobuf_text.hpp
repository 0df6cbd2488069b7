// Protocol buffer encoding by hand, for the tests that build ONNX and Core ML files byte by byte.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::testing {

inline std::string varint(std::uint64_t v) {
  std::string s;
  do {
    std::uint8_t b = v & 0x7f;
    v >>= 7;
    if (v) b |= 0x80;
    s += static_cast<char>(b);
  } while (v);
  return s;
}

// A varint field.
inline std::string num(std::uint32_t field, std::uint64_t v) { return varint(field << 3) + varint(v); }

// A length-delimited field.
inline std::string len(std::uint32_t field, const std::string& payload) {
  return varint((field << 3) | 2) + varint(payload.size()) + payload;
}

}  // namespace ostrel::testing
