// Extraction of SavedModel archives (".zip" and ".tar.gz") into a fresh private folder, and the
// flattening of a single top-level folder.
//
// Safety: every member must end up beneath the destination folder. A member with an absolute path or a
// parent-folder ("..") component, a member that would be written through a symbolic link, a symbolic
// link whose target is absolute or climbs out of the destination, a hard link to anything but an earlier
// file of the same archive, and device/FIFO/socket members all fail the whole extraction with
// ArchiveExtractionError (Cause::kUnsafeMember), and nothing at all is written in that case: the archive
// is read twice, a first pass checking every member header before the second pass writes anything.
// The second pass checks each member again, and the writer itself opens every path component relative to
// the destination with O_NOFOLLOW, so nothing can be written outside it even if the archive file changes
// between the passes or something else changes the destination meanwhile.
//
// A symbolic link is kept when its target is relative, its ".." components all come first and do not
// climb above the destination: a ".." after a descent could climb out through another link's target.
// Member names come out as UTF-8 whatever the process locale (the thread uses C.UTF-8 while it extracts).
//
// Members are written without owners, with permission bits limited to rwxr-xr-x (setuid, setgid, sticky
// and group/other write dropped; the owner always keeps read and write, and search on folders); file
// modification times are restored.
//
// The bytes an archive expands to are limited (max_bytes below): a small archive cannot fill the disk.
// The limit counts the sizes of the member files, holes of sparse files included; the first pass
// refuses an archive whose declared sizes add up past it before anything is written, and the writer
// stops at the first byte past it whatever the headers declared.
//
// Reading goes through libarchive; writing does not use archive_write_disk, because that toggles the
// process umask (and may chdir for long paths), which is unsafe while other threads run. Nothing here
// touches process-wide state, so extractions may run on any thread, concurrently.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace ostrel::native {

inline constexpr std::string_view kZipSuffix = ".zip";
inline constexpr std::string_view kTarSuffix = ".tar.gz";
inline constexpr std::string_view kExtractionFolderPrefix = "tf2_saved_model_checkpoints_";
// The environment variable that sets the extraction limit, and the limit without it (16 GiB).
inline constexpr std::string_view kMaxExtractBytesVariable = "OSTREL_MAX_EXTRACT_BYTES";
inline constexpr std::uint64_t kDefaultMaxExtractBytes = std::uint64_t{16} << 30;

enum class ArchiveFormat { kZip, kTar };

// The format chosen by the path's suffix: exact, case-sensitive ".zip", then ".tar.gz"; anything else
// (".ZIP", ".tgz", ".tar") is none.
std::optional<ArchiveFormat> archive_format_for(std::string_view source_path);

// Extraction failed. what() is the complete message:
//   "Failed to extract file from zip " + source_path + ", err: " + detail()     (ArchiveFormat::kZip)
//   "Failed to extract file from tar " + source_path + ", err: " + detail()     (ArchiveFormat::kTar)
class ArchiveExtractionError : public std::runtime_error {
 public:
  enum class Cause {
    kSourceUnreadable,  // the archive file cannot be opened (os_errno() set), or is no regular file
    kMalformed,         // not an archive of the format, damaged or truncated data, conflicting members
    kUnsafeMember,      // a member that would land outside the destination (see the top of this file)
    kWriteFailed,       // writing beneath the destination failed (os_errno() set)
    kTooLarge,          // the members expand past the limit
  };
  ArchiveExtractionError(ArchiveFormat format, std::string source_path, Cause cause, std::string detail,
                         int os_errno = 0, std::string os_filename = {});

  ArchiveFormat format() const { return format_; }
  Cause cause() const { return cause_; }
  // The text after ", err: ". For OS errors it reads like Python's OSError text:
  // "[Errno 2] No such file or directory: 'model.zip'".
  const std::string& detail() const { return detail_; }
  // errno of an OS failure, else 0.
  int os_errno() const { return os_errno_; }
  // The path an OS failure concerns (the source, or the full path of a member being written).
  const std::string& os_filename() const { return os_filename_; }

 private:
  ArchiveFormat format_;
  Cause cause_;
  std::string detail_;
  int os_errno_;
  std::string os_filename_;
};

// An OS failure outside the extractors: creating the extraction folder, listing it, renaming or removing
// while flattening. code().value() is errno. what() reads like Python's OSError text:
// "[Errno 39] Directory not empty: 'a/x/x' -> 'a/x'"; a Python binding raises
// OSError(errno, strerror, filename[, None, filename2]) which picks the matching subclass.
class FileSystemError : public std::system_error {
 public:
  FileSystemError(int error_number, std::string filename, std::string filename2 = {});
  const char* what() const noexcept override { return text_.c_str(); }
  int error_number() const { return code().value(); }
  const std::string& filename() const { return filename_; }
  const std::string& filename2() const { return filename2_; }  // empty when the call had one path

 private:
  std::string filename_;
  std::string filename2_;
  std::string text_;
};

// Extract every member of the archive into `destination_path` (created when missing). Existing
// non-folder entries at a member's path are replaced; folders are merged. The archive formats:
//   zip: zip only;
//   tar: tar (ustar, pax, GNU), uncompressed or gzip-, bzip2-, xz- or lzma-compressed, whatever the name.
// The extraction was stopped because its caller asked it to (see extract_archive).
class ExtractionStopped : public std::runtime_error {
 public:
  ExtractionStopped() : std::runtime_error("extraction stopped") {}
};

// At most `max_bytes` are written (see the top of this file). `should_stop`, when given, is called on the
// extracting thread between members and between blocks of member data, in both passes; when it returns
// true the extraction ends with ExtractionStopped. Throws ArchiveExtractionError. After a failure during
// writing (damaged member data, disk full, the limit, a stop) the members written before it stay in
// place: the caller that made the destination removes it (remove_tree).
void extract_archive(ArchiveFormat format, const std::string& source_path, const std::string& destination_path,
                     std::uint64_t max_bytes = kDefaultMaxExtractBytes,
                     const std::function<bool()>& should_stop = {});

// True when `directory` holds exactly one entry and that entry is a folder (or a link to one).
// FileSystemError when `directory` cannot be listed.
bool has_single_top_folder(const std::string& directory);

// Moves every entry of the first entry of `directory` (its only one, when called by
// extract_and_ensure_folder_structure) up into `directory`, then removes that emptied inner folder and,
// if that leaves `directory` itself empty, `directory` too (nothing above it). A move never replaces an
// existing entry: a name clash fails with EEXIST. Entries moved before a failure stay moved.
// Throws std::out_of_range("list index out of range") when `directory` is empty, FileSystemError for
// any listing, rename or removal failure.
void move_dir_folder_contents_to_root(const std::string& directory);

// Removes `path` and everything beneath it without following any symbolic link (a link is removed, not
// what it points to). A missing `path` is no error. FileSystemError for the first entry that cannot be
// removed; what could be removed before it is gone.
void remove_tree(const std::string& path);

}  // namespace ostrel::native
