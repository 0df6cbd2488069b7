// The size on disk of the files a model is made of.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace ostrel::native {

// The bytes of a file-system entry: a file's size, or for a folder the sizes of all files under it
// (symbolic links to folders are not followed, so nothing is counted twice through them). Entries that
// cannot be read count nothing.
std::uint64_t entry_bytes(const std::filesystem::path& path);

// The bytes of a model made of `main` and its `companions` (files beside it that it reads: weights, external
// data): each distinct entry counted once, companions that do not exist counted as nothing.
std::uint64_t model_files_bytes(const std::filesystem::path& main, const std::vector<std::filesystem::path>& companions);

}  // namespace ostrel::native
