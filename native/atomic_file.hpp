// Replacing a file's whole content so that readers and crashes see the old or the new file, never a
// partly written one.
#pragma once

#include <string>
#include <string_view>

namespace ostrel::native {

// Writes `content` to a new temporary file in the directory of `path`, flushes it to disk and renames
// it over `path`. The new file keeps the mode of the file it replaces (a new file gets 0666 less the
// umask). On failure the temporary file is removed, `path` is left as it was, and std::system_error is
// thrown naming the step that failed.
void replace_file_atomically(const std::string& path, std::string_view content);

}  // namespace ostrel::native
