#include "native/marker_scan.hpp"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "native/mapped_file.hpp"
#include "native/unique_fd.hpp"

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
// A large file is split among threads, one per this many bytes, at most kMaxThreads.
constexpr std::uint64_t kBytesPerThread = std::uint64_t{64} << 20;
constexpr std::size_t kMaxThreads = 8;

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
//
// Where the CPU can look a byte up in a 128-entry table (AVX-512 VBMI), each of the first three pattern bytes
// has one such table instead, indexed by the byte itself: markers are printable ASCII, so a byte of 0x80 or
// above is never a candidate, and a bucket of one pattern gives no false candidate at all.
struct Buckets {
  // Each 16-entry table repeated for the four 128-bit lanes of the widest register.
  alignas(64) std::array<std::array<std::uint8_t, 64>, 3> lo{};
  alignas(64) std::array<std::array<std::uint8_t, 64>, 3> hi{};
  alignas(64) std::array<std::array<std::uint8_t, 128>, 3> exact{};
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
      for (std::size_t lane = 0; lane < 64; lane += 16) {
        b.lo[k][lane + (c & 0x0f)] |= bit;
        b.hi[k][lane + (c >> 4)] |= bit;
      }
      b.exact[k][c & 0x7f] |= bit;  // markers are printable: c < 0x80
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
// The candidate search proper: from block start `i`, the first block whose candidate mask is not zero. The
// tables are loaded once per call and stay in registers (the loop calls nothing). Returns true with `i`, the
// mask and the bucket bits of every position set; false with `i` at the first position no full block
// covers. A block covers the candidate positions i..i+W-1 and reads bytes up to i+W+1.
__attribute__((target("avx2"))) inline __m256i lookup256(const std::uint8_t* at, __m256i lo, __m256i hi,
                                                         __m256i nibble) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i l = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nibble));
  const __m256i h = _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return _mm256_and_si256(l, h);
}

__attribute__((target("avx2"))) inline __m256i table256(const std::array<std::uint8_t, 64>& t) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(t.data()));
}

__attribute__((target("avx2"))) bool next_candidates_avx2(const std::uint8_t* data, std::size_t n,
                                                          const Buckets& b, std::size_t& i,
                                                          std::uint64_t& mask, std::uint8_t* bits) {
  const __m256i lo0 = table256(b.lo[0]), lo1 = table256(b.lo[1]), lo2 = table256(b.lo[2]);
  const __m256i hi0 = table256(b.hi[0]), hi1 = table256(b.hi[1]), hi2 = table256(b.hi[2]);
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i zero = _mm256_setzero_si256();
  std::size_t at = i;
  for (; n >= 34 && at <= n - 34; at += 32) {
    // The first two bytes rule out almost every block; the third is looked up only where they do not.
    const __m256i r01 =
        _mm256_and_si256(lookup256(data + at, lo0, hi0, nibble), lookup256(data + at + 1, lo1, hi1, nibble));
    if (_mm256_testz_si256(r01, r01)) [[likely]]
      continue;
    const __m256i r = _mm256_and_si256(r01, lookup256(data + at + 2, lo2, hi2, nibble));
    const auto m = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(r, zero)));
    if (m == 0) [[likely]]
      continue;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bits), r);
    mask = m;
    i = at;
    return true;
  }
  i = at;
  return false;
}

__attribute__((target("avx512f,avx512bw"))) inline __m512i lookup512(const std::uint8_t* at, __m512i lo,
                                                                     __m512i hi, __m512i nibble) {
  const __m512i v = _mm512_loadu_si512(at);
  const __m512i l = _mm512_shuffle_epi8(lo, _mm512_and_si512(v, nibble));
  const __m512i h = _mm512_shuffle_epi8(hi, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
  return _mm512_and_si512(l, h);
}

__attribute__((target("avx512f,avx512bw"))) inline __m512i table512(const std::array<std::uint8_t, 64>& t) {
  return _mm512_load_si512(t.data());
}

__attribute__((target("avx512f,avx512bw"))) bool next_candidates_avx512(const std::uint8_t* data,
                                                                        std::size_t n, const Buckets& b,
                                                                        std::size_t& i, std::uint64_t& mask,
                                                                        std::uint8_t* bits) {
  const __m512i lo0 = table512(b.lo[0]), lo1 = table512(b.lo[1]), lo2 = table512(b.lo[2]);
  const __m512i hi0 = table512(b.hi[0]), hi1 = table512(b.hi[1]), hi2 = table512(b.hi[2]);
  const __m512i nibble = _mm512_set1_epi8(0x0f);
  std::size_t at = i;
  for (; n >= 66 && at <= n - 66; at += 64) {
    // The first two bytes rule out almost every block; the third is looked up only where they do not.
    const __m512i r01 =
        _mm512_and_si512(lookup512(data + at, lo0, hi0, nibble), lookup512(data + at + 1, lo1, hi1, nibble));
    if (_mm512_test_epi8_mask(r01, r01) == 0) [[likely]]
      continue;
    const __m512i r = _mm512_and_si512(r01, lookup512(data + at + 2, lo2, hi2, nibble));
    const std::uint64_t m = _mm512_test_epi8_mask(r, r);
    if (m == 0) [[likely]]
      continue;
    _mm512_storeu_si512(bits, r);
    mask = m;
    i = at;
    return true;
  }
  i = at;
  return false;
}


// The same over 128-entry byte tables, two blocks per round (a round's loads are independent, which keeps
// more of the file in flight). Bytes of 0x80 and above never match: their lanes are masked out.
#define OSTREL_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
struct ByteTables {
  __m512i a0, b0, a1, b1, a2, b2;  // the 128 entries of each table as two registers
};

// The first two bytes of the block at `p`: the positions that may start a candidate, their bucket bits in `r`.
OSTREL_VBMI inline __mmask64 first_pair(const std::uint8_t* p, const ByteTables& t, __m512i& r) {
  const __m512i v0 = _mm512_loadu_si512(p), v1 = _mm512_loadu_si512(p + 1);
  const __mmask64 ascii = ~(_mm512_movepi8_mask(v0) | _mm512_movepi8_mask(v1));
  r = _mm512_and_si512(_mm512_permutex2var_epi8(t.a0, v0, t.b0), _mm512_permutex2var_epi8(t.a1, v1, t.b1));
  return _mm512_mask_test_epi8_mask(ascii, r, r);
}

// The third byte for the candidates `m` of the block at `p`; true with the mask and the bucket bits set
// when any remain.
OSTREL_VBMI inline bool third_byte(const std::uint8_t* p, const ByteTables& t, __m512i r, __mmask64 m,
                                   std::uint64_t& mask, std::uint8_t* bits) {
  const __m512i v2 = _mm512_loadu_si512(p + 2);
  r = _mm512_and_si512(r, _mm512_permutex2var_epi8(t.a2, v2, t.b2));
  const std::uint64_t found = _mm512_mask_test_epi8_mask(m & ~_mm512_movepi8_mask(v2), r, r);
  if (found == 0) return false;
  _mm512_storeu_si512(bits, r);
  mask = found;
  return true;
}

OSTREL_VBMI bool next_candidates_vbmi(const std::uint8_t* data, std::size_t n, const Buckets& b, std::size_t& i,
                                      std::uint64_t& mask, std::uint8_t* bits) {
  const ByteTables t{_mm512_load_si512(b.exact[0].data()), _mm512_load_si512(b.exact[0].data() + 64),
                     _mm512_load_si512(b.exact[1].data()), _mm512_load_si512(b.exact[1].data() + 64),
                     _mm512_load_si512(b.exact[2].data()), _mm512_load_si512(b.exact[2].data() + 64)};
  std::size_t at = i;
  for (; n >= 130 && at <= n - 130; at += 128) {
    __m512i r, s;
    const __mmask64 m = first_pair(data + at, t, r), k = first_pair(data + at + 64, t, s);
    if ((m | k) == 0) [[likely]]
      continue;
    if (m != 0 && third_byte(data + at, t, r, m, mask, bits)) {
      i = at;
      return true;
    }
    if (k != 0 && third_byte(data + at + 64, t, s, k, mask, bits)) {
      i = at + 64;
      return true;
    }
  }
  for (; n >= 66 && at <= n - 66; at += 64) {
    __m512i r;
    const __mmask64 m = first_pair(data + at, t, r);
    if (m != 0 && third_byte(data + at, t, r, m, mask, bits)) {
      i = at;
      return true;
    }
  }
  i = at;
  return false;
}
#undef OSTREL_VBMI

using CandidateFinder = bool (*)(const std::uint8_t*, std::size_t, const Buckets&, std::size_t&,
                                 std::uint64_t&, std::uint8_t*);

void vector_scan(const std::uint8_t* data, std::size_t n, const std::vector<std::string>& patterns,
                 Progress& progress, CandidateFinder next, std::size_t width, Buckets& b) {
  if (progress.remaining == 0) return;
  build_buckets(patterns, progress, b);
  std::size_t i = 0;
  std::uint64_t mask = 0;
  alignas(64) std::uint8_t bits[64];
  while (next(data, n, b, i, mask, bits)) {
    bool changed = false;
    while (mask != 0) {
      const int j = __builtin_ctzll(mask);
      mask &= mask - 1;
      changed |= verify(data, n, i + static_cast<std::size_t>(j), bits[j], patterns, b, progress);
    }
    if (changed) {
      if (progress.remaining == 0) return;
      build_buckets(patterns, progress, b);  // found patterns stop producing candidates
    }
    i += width;
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

bool cpu_has_avx512bw() noexcept {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  return has;
#else
  return false;
#endif
}

bool cpu_has_avx512vbmi() noexcept {
#if defined(__x86_64__)
  static const bool has = cpu_has_avx512bw() && __builtin_cpu_supports("avx512vbmi");
  return has;
#else
  return false;
#endif
}

enum class Kernel { kAhoCorasick, kAvx2, kAvx512, kAvx512Vbmi };

// Findings shared by the threads of one file scan, exchanged between blocks: a pattern that one thread found
// stops producing candidates in the others, and every thread stops once all are found.
class SharedFindings {
 public:
  explicit SharedFindings(std::size_t patterns) : flags_(patterns), remaining_(patterns) {}

  // Publishes the local findings and takes the others'. True when the scan can stop.
  bool exchange(Progress& local) {
    for (std::uint32_t id = 0; id < flags_.size(); ++id) {
      if (local.found[id]) {
        if (flags_[id].exchange(1, std::memory_order_relaxed) == 0)
          remaining_.fetch_sub(1, std::memory_order_relaxed);
      } else if (flags_[id].load(std::memory_order_relaxed) != 0) {
        local.mark(id);
      }
    }
    return remaining_.load(std::memory_order_relaxed) == 0 || stop_.load(std::memory_order_relaxed);
  }
  void stop() { stop_.store(true, std::memory_order_relaxed); }
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }

 private:
  std::vector<std::atomic<std::uint8_t>> flags_;
  std::atomic<std::size_t> remaining_;
  std::atomic<bool> stop_{false};
};

}  // namespace

bool vector_engine_available() noexcept { return cpu_has_avx2(); }
bool wide_vector_engine_available() noexcept { return cpu_has_avx512bw(); }
bool byte_table_engine_available() noexcept { return cpu_has_avx512vbmi(); }

NotRegularFileError::NotRegularFileError(std::filesystem::path path)
    : MarkerScanError(EINVAL, std::move(path)),
      message_("cannot scan file '" + this->path().string() + "': not a regular file") {}

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

  Kernel kernel(ScanEngine engine) const {
    switch (engine) {
      case ScanEngine::kAhoCorasick:
        return Kernel::kAhoCorasick;
      case ScanEngine::kVector:
        if (!cpu_has_avx2()) throw std::invalid_argument("the vector scan engine needs a CPU with AVX2");
        return Kernel::kAvx2;
      case ScanEngine::kWideVector:
        if (!cpu_has_avx512bw())
          throw std::invalid_argument("the wide vector scan engine needs a CPU with AVX-512BW");
        return Kernel::kAvx512;
      case ScanEngine::kByteTable:
        if (!cpu_has_avx512vbmi())
          throw std::invalid_argument("the byte table scan engine needs a CPU with AVX-512 VBMI");
        return Kernel::kAvx512Vbmi;
      case ScanEngine::kAuto:
        break;
    }
    if (patterns.size() > kMaxVectorPatterns) return Kernel::kAhoCorasick;
    if (cpu_has_avx512vbmi()) return Kernel::kAvx512Vbmi;
    if (cpu_has_avx512bw()) return Kernel::kAvx512;
    return cpu_has_avx2() ? Kernel::kAvx2 : Kernel::kAhoCorasick;
  }

  void run(const std::uint8_t* data, std::size_t n, Kernel kernel, Progress& progress,
           Buckets& scratch) const {
#if defined(__x86_64__)
    switch (kernel) {
      case Kernel::kAvx2:
        return vector_scan(data, n, patterns, progress, next_candidates_avx2, 32, scratch);
      case Kernel::kAvx512:
        return vector_scan(data, n, patterns, progress, next_candidates_avx512, 64, scratch);
      case Kernel::kAvx512Vbmi:
        return vector_scan(data, n, patterns, progress, next_candidates_vbmi, 64, scratch);
      case Kernel::kAhoCorasick:
        break;
    }
#endif
    automaton.scan(data, n, progress);
  }
  void run(const std::uint8_t* data, std::size_t n, Kernel kernel, Progress& progress) const {
    Buckets scratch;
    run(data, n, kernel, progress, scratch);
  }

  // Scans the bytes [begin, end) of the mapped file in blocks, each starting (longest - 1) bytes early so
  // that a marker across a boundary is seen whole. A page that no longer exists (the file shrank) ends the
  // range.
  void scan_mapped(const MappedFile& file, std::uint64_t begin, std::uint64_t end, Kernel kernel,
                   const FileScanOptions& options, const std::function<void()>* interrupt,
                   SharedFindings& shared) const {
    Progress progress(patterns.size());
    if (shared.exchange(progress)) return;
    Buckets scratch;
    const std::size_t keep = longest - 1;
    const std::uint64_t block = std::max<std::uint64_t>(options.block_size, longest);
    std::uint64_t since_check = 0;
    for (std::uint64_t at = begin; at < end; at += block) {
      const std::uint64_t from = at > keep ? at - keep : 0, to = std::min(end, at + block);
      const bool whole = guarded_run(file, from, to, kernel, progress, scratch);
      if (shared.exchange(progress) || !whole) return;
      if (interrupt && (since_check += to - at) >= options.check_every) {
        since_check = 0;
        (*interrupt)();
      }
    }
  }

  // run() over bytes of the mapping, false when it ended at a page past the end of the file.
  bool guarded_run(const MappedFile& file, std::uint64_t from, std::uint64_t to, Kernel kernel,
                   Progress& progress, Buckets& scratch) const {
    return file.guarded_read(
        [&] { run(file.data() + from, static_cast<std::size_t>(to - from), kernel, progress, scratch); });
  }

  std::vector<bool> result(const Progress& progress) const {
    std::vector<bool> found(markers.size());
    for (std::size_t i = 0; i < markers.size(); ++i) found[i] = progress.found[pattern_of[i]] != 0;
    return found;
  }

  // Scans the bytes [begin, end) of the file, reading blocks into a buffer of its own; a range that starts
  // inside the file also reads the (longest - 1) bytes before it, so a marker that straddles the start of
  // the range is seen whole. Every block's scan starts with the last (longest - 1) bytes of the one before,
  // for the same reason. `sequential` reads with read() up to the end of the file, for files whose size
  // reads as 0. A file that shrank ends the range early. `interrupt`, when set, is called every
  // `check_every` bytes.
  void scan_range(int fd, const std::filesystem::path& path, std::uint64_t begin, std::uint64_t end,
                  bool sequential, Kernel kernel, const FileScanOptions& options,
                  const std::function<void()>* interrupt, SharedFindings& shared) const {
    Progress progress(patterns.size());
    if (shared.exchange(progress)) return;
    const std::size_t keep = longest - 1;
    const std::size_t block = std::max<std::size_t>(options.block_size, longest);
    std::vector<std::uint8_t> buffer(keep + block);
    std::uint64_t offset = begin > keep ? begin - keep : 0;
    std::size_t filled = 0;
    std::uint64_t since_check = 0;
    while (offset < end) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block, end - offset));
      std::size_t got = 0;
      while (got < want) {
        const ssize_t r = sequential ? ::read(fd, buffer.data() + filled + got, want - got)
                                     : ::pread(fd, buffer.data() + filled + got, want - got,
                                               static_cast<off_t>(offset + got));
        if (r < 0) {
          if (errno != EINTR) throw MarkerScanError(errno, path);
          if (interrupt) (*interrupt)();
          continue;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
      }
      if (got == 0) break;
      filled += got;
      offset += got;
      run(buffer.data(), filled, kernel, progress);
      if (shared.exchange(progress)) return;
      if (got < want) break;  // end of file, earlier than its size said
      if (interrupt && (since_check += got) >= options.check_every) {
        since_check = 0;
        (*interrupt)();
      }
      const std::size_t carry = std::min(keep, filled);
      std::memmove(buffer.data(), buffer.data() + filled - carry, carry);
      filled = carry;
    }
  }
};

MarkerSet::MarkerSet(std::vector<std::string> markers) : impl_(std::make_unique<Impl>(std::move(markers))) {}
MarkerSet::~MarkerSet() = default;
MarkerSet::MarkerSet(MarkerSet&&) noexcept = default;
MarkerSet& MarkerSet::operator=(MarkerSet&&) noexcept = default;

const std::vector<std::string>& MarkerSet::markers() const noexcept { return impl_->markers; }

std::vector<bool> MarkerSet::scan(std::span<const std::byte> data, ScanEngine engine) const {
  const Kernel kernel = impl_->kernel(engine);
  Progress progress(impl_->patterns.size());
  impl_->run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), kernel, progress);
  return impl_->result(progress);
}

std::vector<bool> MarkerSet::scan(std::string_view data, ScanEngine engine) const {
  return scan(std::as_bytes(std::span<const char>(data.data(), data.size())), engine);
}

std::vector<bool> MarkerSet::scan_file(const std::filesystem::path& path, ScanEngine engine,
                                       const FileScanOptions& options) const {
  const Kernel kernel = impl_->kernel(engine);
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below like every non-regular file.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) throw MarkerScanError(errno, path);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) throw MarkerScanError(errno, path);
  if (S_ISDIR(st.st_mode)) throw MarkerScanError(EISDIR, path);
  if (!S_ISREG(st.st_mode)) throw NotRegularFileError(path);

  SharedFindings shared(impl_->patterns.size());
  const std::function<void()>* interrupt = options.check_interrupt ? &options.check_interrupt : nullptr;
  if (st.st_size <= 0) {
    // Files of /proc and the like report size 0 but have content: read them to their end.
    impl_->scan_range(fd.get(), path, 0, std::numeric_limits<std::uint64_t>::max(), true, kernel, options,
                      interrupt, shared);
  } else {
    // The file as it was when opened: bytes appended meanwhile are not read, a file that shrinks ends early.
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::size_t threads = options.threads;
    if (threads == 0) {
      const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
      threads = std::clamp<std::size_t>(size / kBytesPerThread, 1, std::min<std::size_t>(cores, kMaxThreads));
    }
    threads = static_cast<std::size_t>(std::min<std::uint64_t>(threads, size));
    const std::uint64_t step = size / threads;
    std::optional<MappedFile> mapping;
    std::optional<SigbusHandlerInPlace> sigbus;
    if (options.map_file && size <= std::numeric_limits<std::size_t>::max()) {
      sigbus.emplace();
      mapping.emplace(fd.get(), static_cast<std::size_t>(size));
      if (!mapping->mapped()) mapping.reset();  // some file systems cannot map files: read them
    }
    std::vector<std::exception_ptr> errors(threads);
    std::vector<std::thread> workers;
    auto range = [&](std::size_t t, const std::function<void()>* check) {
      try {
        const std::uint64_t begin = step * t, end = t + 1 == threads ? size : step * (t + 1);
        if (mapping) {
          impl_->scan_mapped(*mapping, begin, end, kernel, options, check, shared);
        } else {
          impl_->scan_range(fd.get(), path, begin, end, false, kernel, options, check, shared);
        }
      } catch (...) {
        errors[t] = std::current_exception();
        shared.stop();
      }
    };
    try {
      for (std::size_t t = 1; t < threads; ++t) workers.emplace_back(range, t, nullptr);
    } catch (...) {
      shared.stop();
      for (auto& w : workers) w.join();
      throw;
    }
    range(0, interrupt);  // the calling thread takes the first range and answers interrupts
    for (auto& w : workers) w.join();
    for (const auto& e : errors)
      if (e) std::rethrow_exception(e);
  }
  Progress progress(impl_->patterns.size());
  shared.exchange(progress);
  return impl_->result(progress);
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

}  // namespace

CompiledTable::CompiledTable(std::vector<FrameworkMarkers> table, bool require_all_strings)
    : table_(std::move(table)),
      require_all_strings_(require_all_strings),
      set_(deciding_markers(table_, require_all_strings)) {}

std::optional<std::size_t> CompiledTable::detect(const std::filesystem::path& path,
                                                 const FileScanOptions& options) const {
  const std::vector<bool> found = set_.scan_file(path, ScanEngine::kAuto, options);
  std::map<std::string, bool> present;
  for (std::size_t i = 0; i < found.size(); ++i) present[set_.markers()[i]] = found[i];
  return decide_framework(table_, require_all_strings_,
                          [&](const std::string& marker) { return present.at(marker); });
}

}  // namespace ostrel::native
