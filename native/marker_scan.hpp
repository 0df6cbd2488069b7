// Marker scan of framework detection: one pass over a model file that tells which marker strings occur in it,
// and the decision that turns those findings into a framework.
//
// What "occurs" means. Detection reports what the pipeline `strings FILE | grep PATTERN` reports: GNU
// strings (binutils >= 2.26 reads the whole file by default) prints every maximal run of at least four
// printable bytes (tab or 0x20..0x7e; newline, carriage return, DEL and bytes above 0x7e end a run) as one
// line; grep keeps the lines matching the markers of one framework joined by "\|" as a basic regular
// expression; and a marker counts when it is a plain substring of grep's output. For markers that are
// printable, at least four bytes long and free of the regular-expression constructs that would stop a marker
// from matching its own text (see MarkerSet), this is exactly "the marker's bytes occur literally in the
// file": a literal occurrence consists of printable bytes only, so it lies inside a run that strings prints,
// the line holding it matches the marker's own alternative (so grep succeeds and keeps that line), and any
// substring of grep's output comes from the file. Look-alikes that only the regular expression accepts
// ("onnxX" for "onnx.", "valu" for "value*", "Xsource" for ".source") let grep succeed but never pass the
// literal test, so they change nothing. MarkerSet enforces those marker rules, so its findings are the
// pipeline's findings.
//
// The scan maps the file and makes one pass whatever the number of markers: a vector prefilter (three-byte
// fingerprints in eight buckets, candidates verified by comparison) over 64-byte blocks where the CPU has
// AVX-512BW (exact byte tables where it also has VBMI), 32-byte blocks where it has AVX2, an Aho-Corasick
// automaton otherwise. A large file is split
// into ranges scanned by several threads; each range and each block also reads the bytes just before it,
// so a marker across a boundary is found. A file that shrinks while it is scanned ends the scan early: the
// SIGBUS of a page past the new end is caught while a scan runs and ends that range (see marker_scan.cpp).
// Files that cannot be mapped, and files of /proc whose size reads as 0, are read with pread()/read() in
// blocks. Only regular files are read (a device or a FIFO could never end). The scan stops early once every
// marker was found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ostrel::native {

// A file that cannot be scanned: missing, a directory, not a regular file, unreadable, or a read error.
// code() holds the errno value (std::generic_category: ENOENT, EISDIR, EACCES, EIO, ...); what() reads
// "cannot scan file '<path>': <strerror text>", e.g. "cannot scan file '/m': Is a directory".
class MarkerScanError : public std::system_error {
 public:
  MarkerScanError(int errno_value, std::filesystem::path path);
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// A path that names a device, a FIFO or a socket: refused before anything is read. code() is EINVAL;
// what() reads "cannot scan file '<path>': not a regular file".
class NotRegularFileError : public MarkerScanError {
 public:
  explicit NotRegularFileError(std::filesystem::path path);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Implementation used by MarkerSet::scan. kAuto picks kByteTable when the CPU has AVX-512 VBMI, else
// kWideVector when it has AVX-512BW, else kVector when it has AVX2, provided the set holds at most 64 distinct
// markers; kAhoCorasick otherwise. All engines give the same result; the choice exists for tests.
enum class ScanEngine { kAuto, kAhoCorasick, kVector, kWideVector, kByteTable };

// True when kVector can run on this CPU (x86-64 with AVX2).
bool vector_engine_available() noexcept;
// True when kWideVector can run on this CPU (x86-64 with AVX-512F and AVX-512BW).
bool wide_vector_engine_available() noexcept;
// True when kByteTable can run on this CPU (x86-64 with AVX-512BW and AVX-512 VBMI).
bool byte_table_engine_available() noexcept;

// How a file is read.
struct FileScanOptions {
  std::size_t block_size = std::size_t{1} << 20;  // bytes per read (at least the longest marker)
  std::size_t threads = 0;                        // 0: one per 64 MiB of file, at most 8 and the core count
  // Called by the calling thread between blocks, about every `check_every` bytes it read, and when a read
  // was interrupted by a signal. It may throw to end the scan: the other threads stop and the exception
  // reaches the caller of scan_file.
  std::function<void()> check_interrupt;
  std::uint64_t check_every = std::uint64_t{32} << 20;
  // Read a regular file through a mapping (false: with pread into a buffer; files that cannot be mapped
  // are read so anyway).
  bool map_file = true;
};

// A compiled set of markers. Rules for every marker (std::invalid_argument otherwise, the message names the
// marker and the broken rule):
//   - at least 4 bytes, each a tab or in 0x20..0x7e (what strings prints);
//   - no '\' and no '[' (they would change the meaning of the grep pattern);
//   - '*' only as the last byte (a trailing "x*" still matches the marker's own text);
//   - the first byte is none of '*', '^', '-' and the last is not '$' (anchors, or an option to grep).
// Duplicates are allowed (they share one finding). An empty set is allowed (every scan finds nothing).
// A MarkerSet is immutable after construction and can be used by several threads at once.
class MarkerSet {
 public:
  explicit MarkerSet(std::vector<std::string> markers);
  ~MarkerSet();
  MarkerSet(MarkerSet&&) noexcept;
  MarkerSet& operator=(MarkerSet&&) noexcept;
  MarkerSet(const MarkerSet&) = delete;
  MarkerSet& operator=(const MarkerSet&) = delete;

  const std::vector<std::string>& markers() const noexcept;
  std::size_t size() const noexcept { return markers().size(); }

  // found[i] is true when markers()[i] occurs in the bytes. Result size == size().
  std::vector<bool> scan(std::span<const std::byte> data, ScanEngine engine = ScanEngine::kAuto) const;
  std::vector<bool> scan(std::string_view data, ScanEngine engine = ScanEngine::kAuto) const;

  // The same over a file's content. Follows symbolic links. Throws MarkerScanError when the path cannot be
  // opened or read, or names a directory (EISDIR), and NotRegularFileError for a device, FIFO or socket, also
  // for an empty set. An empty file finds nothing.
  std::vector<bool> scan_file(const std::filesystem::path& path, ScanEngine engine = ScanEngine::kAuto,
                              const FileScanOptions& options = {}) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One candidate of detection: the framework's value text ("onnx", "torchscript", ...) and its markers in
// order; the first marker alone decides unless all are required.
struct FrameworkMarkers {
  std::string framework;
  std::vector<std::string> markers;
};

// The detection table, in search order: trt, onnx, openvino, keras, coreml, tflite, torchscript. pytorch and
// tensorflow have no entry and are never detected.
const std::vector<FrameworkMarkers>& framework_marker_table();

// The decision over the findings, in table order: the first entry whose first marker is present
// (require_all_strings false) or whose markers are all present (true). `present` is asked about markers only,
// in table order, and not beyond what the decision needs. Returns the index into `table`, or nullopt.
// An entry without markers throws std::invalid_argument.
std::optional<std::size_t> decide_framework(std::span<const FrameworkMarkers> table, bool require_all_strings,
                                            const std::function<bool(const std::string&)>& present);

// A detection table compiled for scanning: the marker set its decision can need (only the first marker of
// each entry when require_all_strings is false). Immutable; usable by several threads at once.
class CompiledTable {
 public:
  // Throws std::invalid_argument for an invalid marker or an entry without markers.
  CompiledTable(std::vector<FrameworkMarkers> table, bool require_all_strings);
  const std::vector<FrameworkMarkers>& table() const noexcept { return table_; }
  // Scans the file once; the index into table() of the detected entry, or nullopt. Errors as scan_file.
  std::optional<std::size_t> detect(const std::filesystem::path& path,
                                    const FileScanOptions& options = {}) const;

 private:
  std::vector<FrameworkMarkers> table_;
  bool require_all_strings_;
  MarkerSet set_;
};

}  // namespace ostrel::native
