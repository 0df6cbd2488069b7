#include "native/marker_scan.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ostrel::native {

MarkerScanError::MarkerScanError(int errno_value, std::filesystem::path path)
    : std::system_error(errno_value, std::generic_category(), "cannot scan file '" + path.string() + "'"),
      path_(std::move(path)) {}

namespace {

constexpr std::size_t kMinMarkerLength = 4;  // strings prints runs of at least 4 printable bytes
// Beyond this many patterns the eight buckets give too many false candidates.
constexpr std::size_t kMaxVectorPatterns = 64;
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

bool printable(unsigned char c) { return c == '\t' || (c >= 0x20 && c <= 0x7e); }

// The marker as printable text: bytes outside 0x20..0x7e become \xNN.
std::string shown(const std::string& marker) {
  static const char* const hex = "0123456789abcdef";
  std::string text;
  for (unsigned char c : marker) {
    if (c >= 0x20 && c <= 0x7e) {
      text += static_cast<char>(c);
    } else {
      text += {'\\', 'x', hex[c >> 4], hex[c & 0x0f]};
    }
  }
  return text;
}

void check_marker(const std::string& marker) {
  auto fail = [&](const std::string& why) {
    throw std::invalid_argument("invalid marker '" + shown(marker) + "': " + why);
  };
  if (marker.size() < kMinMarkerLength) fail("shorter than 4 characters");
  for (std::size_t i = 0; i < marker.size(); ++i) {
    const auto c = static_cast<unsigned char>(marker[i]);
    if (!printable(c)) fail("holds a byte that is not printable text (tab or 0x20..0x7e)");
    if (c == '\\' || c == '[') fail("holds '\\' or '[', which change the grep pattern");
    if (c == '*' && i + 1 != marker.size()) fail("'*' may only be the last character");
  }
  const char first = marker.front();
  if (first == '*' || first == '^' || first == '-') fail("starts with '*', '^' or '-'");
  if (marker.back() == '$') fail("ends with '$'");
}

// Findings over the distinct patterns of a set, carried through one scan (possibly over several chunks).
struct Progress {
  std::vector<std::uint8_t> found;
  std::size_t remaining;

  explicit Progress(std::size_t patterns) : found(patterns, 0), remaining(patterns) {}
  // Marks pattern `id` found; true when it was new.
  bool mark(std::uint32_t id) {
    if (found[id]) return false;
    found[id] = 1;
    --remaining;
    return true;
  }
};

// ---- Aho-Corasick -----------------------------------------------------------------------------------------
// A complete DFA over byte classes (bytes that occur in no pattern share class 0). Each row holds the
// transitions of one state, premultiplied by the row width, followed by one cell that is 0 for a state
// without output and (state number + 1) otherwise, so the output test reads the row just entered.
class AhoCorasick {
 public:
  explicit AhoCorasick(const std::vector<std::string>& patterns) {
    classes_.fill(0);
    std::uint32_t n_classes = 1;
    for (const auto& p : patterns)
      for (unsigned char c : p)
        if (classes_[c] == 0) classes_[c] = n_classes++;
    n_classes_ = n_classes;

    std::vector<std::vector<std::int64_t>> go(1, std::vector<std::int64_t>(n_classes, -1));
    std::vector<std::vector<std::uint32_t>> out(1);
    for (std::uint32_t id = 0; id < patterns.size(); ++id) {
      std::size_t s = 0;
      for (unsigned char c : patterns[id]) {
        auto& next = go[s][classes_[c]];
        if (next < 0) {
          next = static_cast<std::int64_t>(go.size());
          go.emplace_back(n_classes, -1);
          out.emplace_back();
        }
        s = static_cast<std::size_t>(next);
      }
      out[s].push_back(id);
    }

    const std::size_t n_states = go.size();
    const std::size_t width = n_classes + 1;
    if (n_states * width > std::numeric_limits<std::uint32_t>::max())
      throw std::length_error("marker set too large for the scan automaton");

    std::vector<std::size_t> fail(n_states, 0), queue;
    queue.reserve(n_states);
    for (std::uint32_t c = 0; c < n_classes; ++c) {
      if (go[0][c] < 0) {
        go[0][c] = 0;
      } else {
        queue.push_back(static_cast<std::size_t>(go[0][c]));
      }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const std::size_t s = queue[head];
      // fail[s] is shallower, so its output list is already complete.
      out[s].insert(out[s].end(), out[fail[s]].begin(), out[fail[s]].end());
      for (std::uint32_t c = 0; c < n_classes; ++c) {
        const std::int64_t t = go[s][c];
        if (t < 0) {
          go[s][c] = go[fail[s]][c];
        } else {
          fail[static_cast<std::size_t>(t)] = static_cast<std::size_t>(go[fail[s]][c]);
          queue.push_back(static_cast<std::size_t>(t));
        }
      }
    }

    rows_.assign(n_states * width, 0);
    outputs_ = std::move(out);
    for (std::size_t s = 0; s < n_states; ++s) {
      for (std::uint32_t c = 0; c < n_classes; ++c)
        rows_[s * width + c] = static_cast<std::uint32_t>(static_cast<std::size_t>(go[s][c]) * width);
      rows_[s * width + n_classes] = outputs_[s].empty() ? 0 : static_cast<std::uint32_t>(s + 1);
    }
  }

  void scan(const std::uint8_t* data, std::size_t n, Progress& progress) const {
    if (progress.remaining == 0) return;
    const std::uint32_t* rows = rows_.data();
    const std::uint32_t* classes = classes_.data();
    const std::uint32_t out_cell = n_classes_;
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < n; ++i) {
      s = rows[s + classes[data[i]]];
      if (const std::uint32_t ref = rows[s + out_cell]; ref != 0) [[unlikely]] {
        bool any = false;
        for (std::uint32_t id : outputs_[ref - 1]) any |= progress.mark(id);
        if (any && progress.remaining == 0) return;
      }
    }
  }

 private:
  std::array<std::uint32_t, 256> classes_;
  std::uint32_t n_classes_ = 1;
  std::vector<std::uint32_t> rows_;
  std::vector<std::vector<std::uint32_t>> outputs_;
};

// ---- vector prefilter -------------------------------------------------------------------------------------
// The patterns not yet found are spread over eight buckets. For each of the first three pattern bytes, two
// 16-entry tables (indexed by the low and the high nibble of a byte) hold the buckets whose patterns can have
// that nibble there. A position where the AND over the three bytes and both nibbles is non-zero is a
// candidate and is compared against the patterns of the buckets it names. Found patterns leave the tables,
// so a marker that repeats all over a file stops producing candidates once seen.
struct Buckets {
  alignas(32) std::array<std::array<std::uint8_t, 32>, 3> lo{};
  alignas(32) std::array<std::array<std::uint8_t, 32>, 3> hi{};
  std::array<std::vector<std::uint32_t>, 8> members;
};

void build_buckets(const std::vector<std::string>& patterns, const Progress& progress, Buckets& b) {
  b = Buckets{};
  std::vector<std::uint32_t> live;
  for (std::uint32_t id = 0; id < patterns.size(); ++id)
    if (!progress.found[id]) live.push_back(id);
  // Neighbours in sorted order share leading bytes, so grouping them keeps each bucket's nibble sets small.
  std::sort(live.begin(), live.end(), [&](auto x, auto y) { return patterns[x] < patterns[y]; });
  const std::size_t n_buckets = std::min<std::size_t>(8, live.size());
  for (std::size_t rank = 0; rank < live.size(); ++rank) {
    const std::size_t bucket = rank * n_buckets / live.size();
    const std::uint32_t id = live[rank];
    b.members[bucket].push_back(id);
    const auto bit = static_cast<std::uint8_t>(1u << bucket);
    for (std::size_t k = 0; k < 3; ++k) {
      const auto c = static_cast<unsigned char>(patterns[id][k]);
      for (std::size_t lane = 0; lane < 32; lane += 16) {
        b.lo[k][lane + (c & 0x0f)] |= bit;
        b.hi[k][lane + (c >> 4)] |= bit;
      }
    }
  }
}

// Compares the patterns of the buckets in `bucket_bits` at `pos`; true when a new pattern was found.
bool verify(const std::uint8_t* data, std::size_t n, std::size_t pos, unsigned bucket_bits,
            const std::vector<std::string>& patterns, const Buckets& b, Progress& progress) {
  bool any = false;
  while (bucket_bits != 0) {
    const int bucket = __builtin_ctz(bucket_bits);
    bucket_bits &= bucket_bits - 1;
    for (std::uint32_t id : b.members[static_cast<std::size_t>(bucket)]) {
      if (progress.found[id]) continue;
      const std::string& p = patterns[id];
      if (p.size() <= n - pos && std::memcmp(data + pos, p.data(), p.size()) == 0) any |= progress.mark(id);
    }
  }
  return any;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline __m256i bucket_lookup(const std::uint8_t* at, __m256i lo, __m256i hi) {
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i l = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nibble));
  const __m256i h = _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return _mm256_and_si256(l, h);
}

__attribute__((target("avx2"))) void vector_scan(const std::uint8_t* data, std::size_t n,
                                                 const std::vector<std::string>& patterns,
                                                 Progress& progress) {
  if (progress.remaining == 0) return;
  Buckets b;
  build_buckets(patterns, progress, b);
  __m256i lo[3], hi[3];
  for (std::size_t k = 0; k < 3; ++k) {
    lo[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.lo[k].data()));
    hi[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.hi[k].data()));
  }
  const __m256i zero = _mm256_setzero_si256();

  std::size_t i = 0;
  // A block covers the candidate positions i..i+31 and reads bytes up to i+33.
  for (; n >= 34 && i <= n - 34; i += 32) {
    const __m256i r = _mm256_and_si256(
        _mm256_and_si256(bucket_lookup(data + i, lo[0], hi[0]), bucket_lookup(data + i + 1, lo[1], hi[1])),
        bucket_lookup(data + i + 2, lo[2], hi[2]));
    auto mask = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(r, zero)));
    if (mask == 0) [[likely]]
      continue;
    alignas(32) std::uint8_t bits[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(bits), r);
    bool changed = false;
    while (mask != 0) {
      const int j = __builtin_ctz(mask);
      mask &= mask - 1;
      changed |= verify(data, n, i + static_cast<std::size_t>(j), bits[j], patterns, b, progress);
    }
    if (changed) {
      if (progress.remaining == 0) return;
      build_buckets(patterns, progress, b);
      for (std::size_t k = 0; k < 3; ++k) {
        lo[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.lo[k].data()));
        hi[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(b.hi[k].data()));
      }
    }
  }
  for (; i < n && progress.remaining != 0; ++i) verify(data, n, i, 0xff, patterns, b, progress);
}
#endif

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class Mapping {
 public:
  Mapping(void* addr, std::size_t size) : addr_(addr), size_(size) {}
  ~Mapping() { ::munmap(addr_, size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(addr_); }

 private:
  void* addr_;
  std::size_t size_;
};

}  // namespace

bool vector_engine_available() noexcept { return cpu_has_avx2(); }

struct MarkerSet::Impl {
  std::vector<std::string> markers;
  std::vector<std::uint32_t> pattern_of;  // marker index -> pattern index (filled while patterns is built)
  std::vector<std::string> patterns;      // distinct markers
  std::size_t longest = 0;
  AhoCorasick automaton;

  static std::vector<std::string> distinct(const std::vector<std::string>& markers,
                                           std::vector<std::uint32_t>& pattern_of) {
    std::map<std::string, std::uint32_t> ids;
    std::vector<std::string> patterns;
    for (const auto& m : markers) {
      check_marker(m);
      auto [it, inserted] = ids.try_emplace(m, static_cast<std::uint32_t>(patterns.size()));
      if (inserted) patterns.push_back(m);
      pattern_of.push_back(it->second);
    }
    return patterns;
  }

  explicit Impl(std::vector<std::string> ms)
      : markers(std::move(ms)), patterns(distinct(markers, pattern_of)), automaton(patterns) {
    for (const auto& p : patterns) longest = std::max(longest, p.size());
  }

  bool use_vector(ScanEngine engine) const {
    switch (engine) {
      case ScanEngine::kAhoCorasick:
        return false;
      case ScanEngine::kVector:
        if (!cpu_has_avx2()) throw std::invalid_argument("the vector scan engine needs a CPU with AVX2");
        return true;
      case ScanEngine::kAuto:
        break;
    }
    return cpu_has_avx2() && patterns.size() <= kMaxVectorPatterns;
  }

  void run(const std::uint8_t* data, std::size_t n, bool vector, Progress& progress) const {
#if defined(__x86_64__)
    if (vector) return vector_scan(data, n, patterns, progress);
#endif
    automaton.scan(data, n, progress);
  }

  std::vector<bool> result(const Progress& progress) const {
    std::vector<bool> found(markers.size());
    for (std::size_t i = 0; i < markers.size(); ++i) found[i] = progress.found[pattern_of[i]] != 0;
    return found;
  }
};

MarkerSet::MarkerSet(std::vector<std::string> markers) : impl_(std::make_unique<Impl>(std::move(markers))) {}
MarkerSet::~MarkerSet() = default;
MarkerSet::MarkerSet(MarkerSet&&) noexcept = default;
MarkerSet& MarkerSet::operator=(MarkerSet&&) noexcept = default;

const std::vector<std::string>& MarkerSet::markers() const noexcept { return impl_->markers; }

std::vector<bool> MarkerSet::scan(std::span<const std::byte> data, ScanEngine engine) const {
  const bool vector = impl_->use_vector(engine);
  Progress progress(impl_->patterns.size());
  impl_->run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), vector, progress);
  return impl_->result(progress);
}

std::vector<bool> MarkerSet::scan(std::string_view data, ScanEngine engine) const {
  return scan(std::as_bytes(std::span<const char>(data.data(), data.size())), engine);
}

std::vector<bool> MarkerSet::scan_file(const std::filesystem::path& path, ScanEngine engine) const {
  const bool vector = impl_->use_vector(engine);
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) throw MarkerScanError(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw MarkerScanError(errno, path);
  if (S_ISDIR(st.st_mode)) throw MarkerScanError(EISDIR, path);

  Progress progress(impl_->patterns.size());
  if (progress.remaining == 0) return impl_->result(progress);

  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (addr != MAP_FAILED) {
      const Mapping mapping(addr, size);
      ::madvise(addr, size, MADV_SEQUENTIAL);
      impl_->run(mapping.data(), size, vector, progress);
      return impl_->result(progress);
    }
    // Some file systems cannot map files: read them like a stream.
  }

  // Chunked reads. The last (longest - 1) bytes of a chunk are kept in front of the next one, so a marker
  // that straddles two reads is seen whole; markers found twice in that overlap count once.
  const std::size_t keep = impl_->longest - 1;
  std::vector<std::uint8_t> buffer(keep + kReadChunk);
  std::size_t filled = 0;
  while (progress.remaining != 0) {
    const ssize_t got = ::read(fd.get(), buffer.data() + filled, buffer.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw MarkerScanError(errno, path);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
    if (filled < buffer.size()) continue;  // fill the chunk before scanning it
    impl_->run(buffer.data(), filled, vector, progress);
    std::memmove(buffer.data(), buffer.data() + filled - keep, keep);
    filled = keep;
  }
  if (progress.remaining != 0 && filled > 0) impl_->run(buffer.data(), filled, vector, progress);
  return impl_->result(progress);
}

std::vector<std::string> find_markers(const std::filesystem::path& path, std::vector<std::string> markers) {
  const MarkerSet set(std::move(markers));
  const std::vector<bool> found = set.scan_file(path);
  std::vector<std::string> present;
  for (std::size_t i = 0; i < found.size(); ++i)
    if (found[i]) present.push_back(set.markers()[i]);
  return present;
}

const std::vector<FrameworkMarkers>& framework_marker_table() {
  static const std::vector<FrameworkMarkers> table = {
      {"trt", {"ptrt+"}},
      {"onnx", {"onnx.", "value*", "axis", "kernel_shape@", "strides@", "pads@", "dilations@"}},
      {"openvino", {"<mapping>", "<framework "}},
      {"keras", {"keras_version", "input_layers"}},
      {"coreml", {"apple.coreml", ".source"}},
      {"tflite", {"TFL2", "TFL3", "Converted", "serving_default"}},
      {"torchscript", {"__torch__", "ZZZZZZZZZZZZZZ"}},
  };
  return table;
}

std::optional<std::size_t> decide_framework(std::span<const FrameworkMarkers> table, bool require_all_strings,
                                            const std::function<bool(const std::string&)>& present) {
  for (const auto& entry : table)
    if (entry.markers.empty())
      throw std::invalid_argument("framework '" + entry.framework + "' has no markers");
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& markers = table[i].markers;
    if (!require_all_strings) {
      if (present(markers.front())) return i;
      continue;
    }
    if (std::all_of(markers.begin(), markers.end(), present)) return i;
  }
  return std::nullopt;
}

namespace {

// The markers the decision can ask about: the first of each entry, or all of them.
std::vector<std::string> deciding_markers(std::span<const FrameworkMarkers> table, bool require_all_strings) {
  std::vector<std::string> markers;
  for (const auto& entry : table) {
    if (entry.markers.empty())
      throw std::invalid_argument("framework '" + entry.framework + "' has no markers");
    if (require_all_strings) {
      markers.insert(markers.end(), entry.markers.begin(), entry.markers.end());
    } else {
      markers.push_back(entry.markers.front());
    }
  }
  return markers;
}

std::optional<std::string> detect_with(const std::filesystem::path& path,
                                       std::span<const FrameworkMarkers> table, bool require_all_strings,
                                       const MarkerSet& set) {
  const std::vector<bool> found = set.scan_file(path);
  std::map<std::string, bool> present;
  for (std::size_t i = 0; i < found.size(); ++i) present[set.markers()[i]] = found[i];
  const auto index = decide_framework(table, require_all_strings,
                                      [&](const std::string& marker) { return present.at(marker); });
  if (!index) return std::nullopt;
  return table[*index].framework;
}

}  // namespace

std::optional<std::string> detect_framework(const std::filesystem::path& path,
                                            std::span<const FrameworkMarkers> table,
                                            bool require_all_strings) {
  const MarkerSet set(deciding_markers(table, require_all_strings));
  return detect_with(path, table, require_all_strings, set);
}

std::optional<std::string> detect_framework(const std::filesystem::path& path, bool require_all_strings) {
  const auto& table = framework_marker_table();
  static const MarkerSet first_markers(deciding_markers(table, false));
  static const MarkerSet all_markers(deciding_markers(table, true));
  return detect_with(path, table, require_all_strings, require_all_strings ? all_markers : first_markers);
}

}  // namespace ostrel::native
