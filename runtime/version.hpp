#pragma once

namespace ostrel {
// The single source of the package version.
inline constexpr const char* kVersion = "3.6.0";
}  // namespace ostrel
