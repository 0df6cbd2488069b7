#include "native/archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "native/quoted_text.hpp"
#include "native/unique_fd.hpp"

namespace ostrel::native {
namespace {

// ---- texts --------------------------------------------------------------------------------------

// A path in quotes the way Python's repr() shows a str: single quotes unless the text holds a single
// quote and no double quote; backslash, the quote and control characters escaped.
std::string quoted(std::string_view s) {
  const char q =
      (s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos) ? '"' : '\'';
  return quoted_text(s, q, /*escape_non_ascii=*/false);
}

std::string error_text(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);  // GNU variant: returns the message
}

// Python's OSError text: "[Errno 2] No such file or directory: 'x'" (" -> 'y'" for a second path).
std::string os_error_text(int err, std::string_view filename, std::string_view filename2 = {}) {
  std::string out = "[Errno " + std::to_string(err) + "] " + error_text(err) + ": " + quoted(filename);
  if (!filename2.empty()) out += " -> " + quoted(filename2);
  return out;
}

// os.path.join of two relative parts.
std::string path_join(const std::string& a, std::string_view b) {
  if (a.empty() || a.back() == '/') return a + std::string(b);
  return a + "/" + std::string(b);
}

std::string join_parts(const std::vector<std::string>& parts, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i) out += '/';
    out += parts[i];
  }
  return out;
}

// ---- small owners -------------------------------------------------------------------------------

using Fd = UniqueFd;

struct ReaderDeleter {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<struct archive, ReaderDeleter>;

struct DirDeleter {
  void operator()(DIR* d) const { closedir(d); }
};

std::vector<std::string> list_dir(const std::string& path) {
  std::unique_ptr<DIR, DirDeleter> dir(opendir(path.c_str()));
  if (!dir) throw FileSystemError(errno, path);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir.get());
    if (e == nullptr) {
      if (errno != 0) throw FileSystemError(errno, path);
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  return names;
}

// Removes everything in the folder open as `dirfd` (whose path is `path`, for messages), never following
// a symbolic link.
void remove_entries(int dirfd, const std::string& path) {
  std::vector<std::string> names;
  {
    Fd fd(::fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
    if (!fd) throw FileSystemError(errno, path);
    std::unique_ptr<DIR, DirDeleter> dir(::fdopendir(fd.get()));
    if (!dir) throw FileSystemError(errno, path);
    fd.release();  // closed with the listing
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(dir.get());
      if (e == nullptr) {
        if (errno != 0) throw FileSystemError(errno, path);
        break;
      }
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
  }
  for (const std::string& name : names) {
    const std::string full = path_join(path, name);
    if (::unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) throw FileSystemError(errno, full);
    Fd sub(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub) throw FileSystemError(errno, full);
    remove_entries(sub.get(), full);
    sub.reset();
    if (::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) throw FileSystemError(errno, full);
  }
}

// Member names are converted by libarchive according to the character set of the current locale; in
// the "C" locale a UTF-8 name cannot be converted at all. For the duration of an extraction the calling
// thread (only it: uselocale) uses C.UTF-8 for character classification, so names come out as UTF-8.
class Utf8ThreadLocale {
 public:
  Utf8ThreadLocale() {
    // Made once and kept for the life of the process; uselocale() only changes this thread's choice.
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 != static_cast<locale_t>(nullptr)) previous_ = ::uselocale(utf8);
  }
  ~Utf8ThreadLocale() {
    if (previous_ != static_cast<locale_t>(nullptr)) ::uselocale(previous_);
  }
  Utf8ThreadLocale(const Utf8ThreadLocale&) = delete;
  Utf8ThreadLocale& operator=(const Utf8ThreadLocale&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

// ---- member paths -------------------------------------------------------------------------------

enum class PathShape { kRelative, kAbsolute, kClimbs };

// Splits a member path into components, dropping empty and "." ones.
PathShape split_member_path(std::string_view name, std::vector<std::string>& parts) {
  parts.clear();
  if (!name.empty() && name.front() == '/') return PathShape::kAbsolute;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return PathShape::kClimbs;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return PathShape::kRelative;
}

// A symbolic link at `link_parts` with target `target` stays beneath the root when the target is
// relative, its ".." components all come first (climbing real folders only: a ".." after a descent
// could climb out of the target of another link), and they do not climb above the root.
bool symlink_stays_inside(const std::vector<std::string>& link_parts, std::string_view target) {
  if (target.empty() || target.front() == '/') return false;
  const std::size_t depth = link_parts.size() - 1;  // folders above the link
  std::size_t ups = 0;
  bool descended = false;
  std::size_t start = 0;
  while (start <= target.size()) {
    std::size_t end = target.find('/', start);
    if (end == std::string_view::npos) end = target.size();
    const std::string_view part = target.substr(start, end - start);
    if (part == "..") {
      if (descended || ++ups > depth) return false;
    } else if (!part.empty() && part != ".") {
      descended = true;
    }
    start = end + 1;
  }
  return true;
}

const char* entry_path(archive_entry* e) {
  const char* p = archive_entry_pathname(e);
  return p ? p : archive_entry_pathname_utf8(e);
}
const char* entry_symlink(archive_entry* e) {
  const char* p = archive_entry_symlink(e);
  return p ? p : archive_entry_symlink_utf8(e);
}
const char* entry_hardlink(archive_entry* e) {
  const char* p = archive_entry_hardlink(e);
  return p ? p : archive_entry_hardlink_utf8(e);
}

// ---- one extraction -----------------------------------------------------------------------------

using Cause = ArchiveExtractionError::Cause;

struct Member {
  enum class Kind { kRoot, kFolder, kFile, kSymlink, kHardlink };
  Kind kind = Kind::kRoot;
  std::vector<std::string> parts;       // the member's path beneath the destination
  std::string path;                     // the same, joined
  std::string symlink_target;           // kSymlink
  std::vector<std::string> link_parts;  // kHardlink: the earlier member linked to
};

class Extraction {
 public:
  Extraction(ArchiveFormat format, const std::string& source, const std::string& dest, std::uint64_t max_bytes,
             const std::function<bool()>& should_stop)
      : format_(format), source_(source), dest_(dest), max_bytes_(max_bytes), should_stop_(should_stop) {}

  void run() {
    const Utf8ThreadLocale utf8;
    open_source();
    // First pass: every member header is checked before anything is written.
    {
      Reader reader = open_reader();
      Checker checker(*this);
      archive_entry* e = nullptr;
      std::uint64_t declared = 0;
      while (next_header(reader.get(), &e)) {
        const Member m = checker.check(e);
        // A tar stream is decompressed to skip a member anyway: read block by block, so a stop is seen.
        if (m.kind == Member::Kind::kFile && format_ == ArchiveFormat::kTar) skip_data(reader.get(), e);
        if (m.kind == Member::Kind::kFile && archive_entry_size_is_set(e) && archive_entry_size(e) > 0) {
          declared += static_cast<std::uint64_t>(archive_entry_size(e));
          if (declared > max_bytes_) fail_too_large();
        }
      }
    }
    // Second pass: check again (the same verdicts unless the file changed) and write.
    if (::lseek(source_fd_.get(), 0, SEEK_SET) != 0) fail_os(Cause::kSourceUnreadable, errno, source_);
    Reader reader = open_reader();
    Checker checker(*this);
    open_destination();
    archive_entry* e = nullptr;
    while (next_header(reader.get(), &e)) write(reader.get(), e, checker.check(e));
  }

 private:
  [[noreturn]] void fail(Cause cause, std::string detail) const {
    throw ArchiveExtractionError(format_, source_, cause, std::move(detail));
  }
  [[noreturn]] void fail_os(Cause cause, int err, const std::string& filename) const {
    throw ArchiveExtractionError(format_, source_, cause, os_error_text(err, filename), err, filename);
  }
  [[noreturn]] void fail_too_large() const {
    fail(Cause::kTooLarge, "the archive expands past the limit of " + std::to_string(max_bytes_) +
                               " bytes (set " + std::string(kMaxExtractBytesVariable) + " to allow more)");
  }
  // Counts `end` more bytes of the member being written: the limit is checked before they are written.
  void reserve(std::uint64_t written_before, std::uint64_t end) const {
    if (end > max_bytes_ || written_before > max_bytes_ - end) fail_too_large();
  }
  [[noreturn]] void fail_unsafe(const char* name, const std::string& why) const {
    fail(Cause::kUnsafeMember, "unsafe member " + quoted(name) + ": " + why);
  }

  // ---- reading ----

  void open_source() {
    const int fd = ::open(source_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) fail_os(Cause::kSourceUnreadable, errno, source_);
    source_fd_.reset(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) fail_os(Cause::kSourceUnreadable, errno, source_);
    if (S_ISDIR(st.st_mode)) fail_os(Cause::kSourceUnreadable, EISDIR, source_);
    // A pipe or device could block or could not be read twice.
    if (!S_ISREG(st.st_mode)) fail(Cause::kSourceUnreadable, "not a regular file: " + quoted(source_));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      fail_os(Cause::kSourceUnreadable, errno, source_);
    }
  }

  Reader open_reader() const {
    Reader reader(archive_read_new());
    if (!reader) fail(Cause::kMalformed, "cannot allocate an archive reader");
    struct archive* a = reader.get();
    if (format_ == ArchiveFormat::kZip) {
      archive_read_support_format_zip(a);  // with a seekable source this reads the central directory
    } else {
      archive_read_support_format_tar(a);  // ustar, pax, GNU
      archive_read_support_filter_gzip(a);
      archive_read_support_filter_bzip2(a);
      archive_read_support_filter_xz(a);
      archive_read_support_filter_lzma(a);
    }
    if (archive_read_open_fd(a, source_fd_.get(), 64 * 1024) != ARCHIVE_OK) fail_read(a, nullptr);
    return reader;
  }

  [[noreturn]] void fail_read(struct archive* a, const char* member) const {
    const char* msg = archive_error_string(a);
    std::string detail = msg ? msg : "damaged archive";
    if (member) detail = "cannot read member " + quoted(member) + ": " + detail;
    fail(Cause::kMalformed, detail);
  }

  void poll() const {
    if (should_stop_ && should_stop_()) throw ExtractionStopped();
  }

  // Hands each block of the member's data to `take(data, size, offset)`, asking for a stop before each.
  // Anything short of a clean block (a warning included: libarchive reports a bad checksum that way)
  // fails the member.
  template <typename Take>
  void for_each_block(struct archive* a, archive_entry* e, Take&& take) const {
    for (;;) {
      const void* buf = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int rc = archive_read_data_block(a, &buf, &size, &offset);
      if (rc == ARCHIVE_EOF) return;
      if (rc != ARCHIVE_OK || offset < 0) fail_read(a, entry_path(e));
      poll();
      take(static_cast<const char*>(buf), size, offset);
    }
  }

  // Reads past a member's data block by block (libarchive's own skip would do it in one call).
  void skip_data(struct archive* a, archive_entry* e) const {
    for_each_block(a, e, [](const char*, size_t, la_int64_t) {});
  }

  bool next_header(struct archive* a, archive_entry** e) const {
    poll();
    const int rc = archive_read_next_header(a, e);
    if (rc == ARCHIVE_EOF) return false;
    if (rc == ARCHIVE_OK || rc == ARCHIVE_WARN) return true;  // WARN: e.g. a name left unconverted
    fail_read(a, nullptr);
  }

  // ---- checking ----

  class Checker {
   public:
    explicit Checker(const Extraction& x) : x_(x) {}

    Member check(archive_entry* e) {
      const char* name = entry_path(e);
      if (name == nullptr) x_.fail(Cause::kMalformed, "a member has no readable name");
      Member m;
      switch (split_member_path(name, m.parts)) {
        case PathShape::kAbsolute:
          x_.fail_unsafe(name, "absolute path");
        case PathShape::kClimbs:
          x_.fail_unsafe(name, "its path climbs out of the extraction folder");
        case PathShape::kRelative:
          break;
      }
      const char* hardlink = entry_hardlink(e);
      const mode_t type = archive_entry_filetype(e);
      if (m.parts.empty()) {
        if (type == AE_IFDIR && hardlink == nullptr) return m;  // "./": the destination itself
        x_.fail_unsafe(name, "it names the extraction folder itself");
      }
      m.path = join_parts(m.parts, m.parts.size());
      for (std::size_t n = 1; n < m.parts.size(); ++n) {
        const std::string prefix = join_parts(m.parts, n);
        if (symlinks_.count(prefix)) {
          x_.fail_unsafe(name, "it would be written through the symbolic link " + quoted(prefix));
        }
        if (files_.count(prefix)) {
          x_.fail(Cause::kMalformed,
                  "member " + quoted(name) + " lies below " + quoted(prefix) + ", which is no folder");
        }
      }

      if (hardlink != nullptr) {
        m.kind = Member::Kind::kHardlink;
        std::vector<std::string> target;
        if (split_member_path(hardlink, target) != PathShape::kRelative || target.empty()) {
          x_.fail_unsafe(name, "hard link to " + quoted(hardlink) + " points outside the extraction folder");
        }
        const std::string target_path = join_parts(target, target.size());
        if (!files_.count(target_path) || target_path == m.path) {
          x_.fail_unsafe(name,
                         "hard link to " + quoted(hardlink) + ", which is no earlier file of the archive");
        }
        m.link_parts = std::move(target);
      } else if (type == AE_IFREG) {
        m.kind = Member::Kind::kFile;
      } else if (type == AE_IFDIR) {
        m.kind = Member::Kind::kFolder;
      } else if (type == AE_IFLNK) {
        m.kind = Member::Kind::kSymlink;
        const char* target = entry_symlink(e);
        if (target == nullptr || !symlink_stays_inside(m.parts, target)) {
          x_.fail_unsafe(name, "symbolic link to " + quoted(target ? target : "") +
                                   " points outside the extraction folder");
        }
        m.symlink_target = target;
      } else {
        x_.fail_unsafe(name, "device, FIFO, socket or unknown type");
      }

      // What stands at this path once the member is written.
      files_.erase(m.path);
      symlinks_.erase(m.path);
      if (m.kind == Member::Kind::kFile || m.kind == Member::Kind::kHardlink) files_.insert(m.path);
      if (m.kind == Member::Kind::kSymlink) symlinks_.insert(m.path);
      return m;
    }

   private:
    const Extraction& x_;
    std::unordered_set<std::string> files_;     // regular files and hard links
    std::unordered_set<std::string> symlinks_;  // symbolic links
  };

  // ---- writing ----

  void open_destination() {
    // Create the destination and any missing parents (os.makedirs), then hold it open: every member is
    // written relative to this descriptor.
    for (std::size_t i = 1; i <= dest_.size(); ++i) {
      if (i == dest_.size() || dest_[i] == '/') {
        const std::string prefix = dest_.substr(0, i);
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
          fail_os(Cause::kWriteFailed, errno, prefix);
      }
    }
    const int fd = ::open(dest_.empty() ? "." : dest_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail_os(Cause::kWriteFailed, errno, dest_);
    root_.reset(fd);
  }

  // Opens the folder holding parts[0..n) beneath the destination, creating missing ones when asked.
  // Never follows a symbolic link. Returns errno (0 on success).
  int open_folder(const std::vector<std::string>& parts, std::size_t n, bool create, Fd& out) const {
    Fd cur(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!cur) return errno;
    for (std::size_t i = 0; i < n; ++i) {
      const char* part = parts[i].c_str();
      int fd = ::openat(cur.get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(cur.get(), part, 0777) != 0 && errno != EEXIST) return errno;
        fd = ::openat(cur.get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (fd < 0) return errno;
      cur.reset(fd);
    }
    out = std::move(cur);
    return 0;
  }

  // Removes a non-folder at `name` so a member can take its place; a folder there is EISDIR.
  static int clear_slot(int dirfd, const char* name) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    return ::unlinkat(dirfd, name, 0) != 0 ? errno : 0;
  }

  void write(struct archive* a, archive_entry* e, const Member& m) {
    if (m.kind == Member::Kind::kRoot) return;
    const std::string full = path_join(dest_, m.path);
    Fd parent;
    if (int err = open_folder(m.parts, m.parts.size() - 1, true, parent))
      fail_os(Cause::kWriteFailed, err, full);
    const char* last = m.parts.back().c_str();
    const mode_t perm = archive_entry_perm(e) & 0755;

    switch (m.kind) {
      case Member::Kind::kFolder: {
        if (::mkdirat(parent.get(), last, 0700) != 0 && errno != EEXIST)
          fail_os(Cause::kWriteFailed, errno, full);
        Fd dir(::openat(parent.get(), last, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir) fail_os(Cause::kWriteFailed, errno == ELOOP || errno == ENOTDIR ? EEXIST : errno, full);
        if (::fchmod(dir.get(), perm | 0700) != 0) fail_os(Cause::kWriteFailed, errno, full);
        return;
      }
      case Member::Kind::kSymlink:
        if (int err = clear_slot(parent.get(), last)) fail_os(Cause::kWriteFailed, err, full);
        if (::symlinkat(m.symlink_target.c_str(), parent.get(), last) != 0)
          fail_os(Cause::kWriteFailed, errno, full);
        return;
      case Member::Kind::kHardlink: {
        Fd source_parent;
        const std::string source_full = path_join(dest_, join_parts(m.link_parts, m.link_parts.size()));
        if (int err = open_folder(m.link_parts, m.link_parts.size() - 1, false, source_parent)) {
          fail_os(Cause::kWriteFailed, err, source_full);
        }
        if (int err = clear_slot(parent.get(), last)) fail_os(Cause::kWriteFailed, err, full);
        if (::linkat(source_parent.get(), m.link_parts.back().c_str(), parent.get(), last, 0) != 0) {
          fail_os(Cause::kWriteFailed, errno, full);
        }
        return;
      }
      case Member::Kind::kFile:
        write_file(a, e, parent.get(), last, full, perm | 0600);
        return;
      case Member::Kind::kRoot:
        return;
    }
  }

  void write_file(struct archive* a, archive_entry* e, int parent, const char* last, const std::string& full,
                  mode_t perm) {
    if (int err = clear_slot(parent, last)) fail_os(Cause::kWriteFailed, err, full);
    Fd out(::openat(parent, last, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) fail_os(Cause::kWriteFailed, errno, full);

    la_int64_t end = 0;
    for_each_block(a, e, [&](const char* p, size_t size, la_int64_t offset) {
      reserve(written_, static_cast<std::uint64_t>(offset) + size);
      while (size > 0) {
        const ssize_t n = ::pwrite(out.get(), p, size, offset);
        if (n < 0) {
          if (errno == EINTR) continue;
          fail_os(Cause::kWriteFailed, errno, full);
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += n;
      }
      if (offset > end) end = offset;
    });
    // Sparse members may end in a hole.
    if (archive_entry_size_is_set(e) && archive_entry_size(e) > end) end = archive_entry_size(e);
    reserve(written_, static_cast<std::uint64_t>(end));
    written_ += static_cast<std::uint64_t>(end);
    if (::ftruncate(out.get(), end) != 0) fail_os(Cause::kWriteFailed, errno, full);
    if (::fchmod(out.get(), perm) != 0) fail_os(Cause::kWriteFailed, errno, full);
    if (archive_entry_mtime_is_set(e)) {
      const timespec t{archive_entry_mtime(e), archive_entry_mtime_nsec(e)};
      const timespec times[2] = {t, t};
      ::futimens(out.get(), times);  // a time that cannot be set is no reason to fail
    }
    if (int err = out.close_checked()) fail_os(Cause::kWriteFailed, err, full);
  }

  ArchiveFormat format_;
  const std::string& source_;
  const std::string& dest_;
  const std::uint64_t max_bytes_;
  const std::function<bool()>& should_stop_;
  std::uint64_t written_ = 0;  // bytes of the member files written so far
  Fd source_fd_;
  Fd root_;
};

}  // namespace

// ---- errors -------------------------------------------------------------------------------------

ArchiveExtractionError::ArchiveExtractionError(ArchiveFormat format, std::string source_path, Cause cause,
                                               std::string detail, int os_errno, std::string os_filename)
    : std::runtime_error(std::string(format == ArchiveFormat::kZip ? "Failed to extract file from zip "
                                                                   : "Failed to extract file from tar ") +
                         source_path + ", err: " + detail),
      format_(format),
      cause_(cause),
      detail_(std::move(detail)),
      os_errno_(os_errno),
      os_filename_(std::move(os_filename)) {}

FileSystemError::FileSystemError(int error_number, std::string filename, std::string filename2)
    : std::system_error(error_number, std::generic_category()),
      filename_(std::move(filename)),
      filename2_(std::move(filename2)),
      text_(os_error_text(error_number, filename_, filename2_)) {}

// ---- public operations --------------------------------------------------------------------------

std::optional<ArchiveFormat> archive_format_for(std::string_view source_path) {
  if (source_path.ends_with(kZipSuffix)) return ArchiveFormat::kZip;
  if (source_path.ends_with(kTarSuffix)) return ArchiveFormat::kTar;
  return std::nullopt;
}

void extract_archive(ArchiveFormat format, const std::string& source_path, const std::string& destination_path,
                     std::uint64_t max_bytes, const std::function<bool()>& should_stop) {
  Extraction(format, source_path, destination_path, max_bytes, should_stop).run();
}

bool has_single_top_folder(const std::string& directory) {
  const std::vector<std::string> names = list_dir(directory);
  if (names.size() != 1) return false;
  struct stat st;  // follows a link: a link to a folder counts as one
  return ::stat(path_join(directory, names.front()).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void move_dir_folder_contents_to_root(const std::string& directory) {
  const std::vector<std::string> names = list_dir(directory);
  if (names.empty()) throw std::out_of_range("list index out of range");
  const std::string inner = path_join(directory, names.front());
  for (const std::string& name : list_dir(inner)) {
    const std::string from = path_join(inner, name);
    const std::string to = path_join(directory, name);
    // Never replace what is already there (plain rename would silently overwrite a file).
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) continue;
    int err = errno;
    if (err == EINVAL) {  // a file system without RENAME_NOREPLACE
      struct stat st;
      if (::lstat(to.c_str(), &st) == 0) {
        err = EEXIST;
      } else if (::rename(from.c_str(), to.c_str()) == 0) {
        continue;
      } else {
        err = errno;
      }
    }
    throw FileSystemError(err, from, to);
  }
  if (::rmdir(inner.c_str()) != 0) throw FileSystemError(errno, inner);
  // The emptied inner folder is gone; `directory` goes too when nothing was moved into it, and nothing
  // above it is ever touched.
  ::rmdir(directory.c_str());
}

void remove_tree(const std::string& path) {
  Fd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) {
    if (errno == ENOENT) return;
    if (errno != ENOTDIR && errno != ELOOP) throw FileSystemError(errno, path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw FileSystemError(errno, path);  // no folder
    return;
  }
  remove_entries(root.get(), path);
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) throw FileSystemError(errno, path);
}

}  // namespace ostrel::native
