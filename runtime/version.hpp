#pragma once

namespace ostrel {
// The package version. The build takes it from the project metadata (pyproject.toml), the one place
// it is written.
extern const char* const kVersion;
}  // namespace ostrel
