// Replacing a file's whole content so that readers and crashes see the old or the new file, never a
// partly written one.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ostrel::native {

// Writes the new content to a new temporary file in the directory of `path` through `write`, which gets
// the temporary file's descriptor and name, flushes it to disk and renames it over `path`. The new file
// keeps the mode of the file it replaces (a new file gets 0666 less the umask). On failure, a throw of
// `write` included, the temporary file is removed, `path` is left as it was, and the error propagates
// (std::system_error naming the step that failed, for the steps of this function).
void replace_file_atomically(const std::string& path,
                             const std::function<void(int fd, const std::string& temp_path)>& write);

// The same with the whole new content given.
void replace_file_atomically(const std::string& path, std::string_view content);

}  // namespace ostrel::native
