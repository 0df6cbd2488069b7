#include "native/format_probe.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "native/unique_fd.hpp"

namespace ostrel::native {

namespace {

// ---- random access to the bytes ---------------------------------------------------------------------------

// Bytes of a file or of memory, read through a small window so that walking a structure costs few reads.
// Every access outside the bytes fails softly: get() returns false.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> memory) : memory_(memory), size_(memory.size()) {}
  Bytes(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  std::uint64_t size() const { return size_; }

  // Copies n bytes at offset into out; false when they are not all there.
  bool get(std::uint64_t offset, void* out, std::size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    if (fd_ < 0) {
      std::memcpy(out, memory_.data() + offset, n);
      return true;
    }
    auto* dst = static_cast<std::uint8_t*>(out);
    while (n > 0) {
      if (offset < window_at_ || offset >= window_at_ + window_.size()) {
        if (!fill(offset)) return false;
      }
      const std::size_t k = std::min<std::uint64_t>(n, window_at_ + window_.size() - offset);
      std::memcpy(dst, window_.data() + (offset - window_at_), k);
      dst += k;
      offset += k;
      n -= k;
    }
    return true;
  }

  bool byte(std::uint64_t offset, std::uint8_t& out) { return get(offset, &out, 1); }

  template <class T>
  bool little(std::uint64_t offset, T& out) {  // little-endian unsigned integer of sizeof(T) bytes
    std::array<std::uint8_t, sizeof(T)> raw;
    if (!get(offset, raw.data(), raw.size())) return false;
    out = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) out = static_cast<T>((out << 8) | raw[i]);
    return true;
  }

  // An unsigned little-endian integer of `width` bytes (1, 2, 4 or 8).
  bool sized(std::uint64_t offset, std::size_t width, std::uint64_t& out) {
    std::array<std::uint8_t, 8> raw{};
    if (width > 8 || !get(offset, raw.data(), width)) return false;
    out = 0;
    for (std::size_t i = width; i-- > 0;) out = (out << 8) | raw[i];
    return true;
  }

 private:
  static constexpr std::size_t kWindow = 64 << 10;

  // The window starts a little before `offset`, so that a walk backwards also reads few times.
  bool fill(std::uint64_t wanted) {
    const std::uint64_t offset = wanted > kWindow / 4 ? wanted - kWindow / 4 : 0;
    window_.resize(kWindow);
    std::size_t got = 0;
    while (got < kWindow) {
      const ssize_t r = ::pread(fd_, window_.data() + got, kWindow - got, static_cast<off_t>(offset + got));
      if (r < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    window_.resize(got);
    window_at_ = offset;
    return wanted < window_at_ + got;
  }

  std::span<const std::uint8_t> memory_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::vector<std::uint8_t> window_;
  std::uint64_t window_at_ = 0;
};

// ---- protobuf wire format ---------------------------------------------------------------------------------

struct Field {
  std::uint32_t number = 0;
  std::uint8_t wire = 0;                 // 0 varint, 1 fixed64, 2 length-delimited, 5 fixed32
  std::uint64_t value = 0;               // varint value
  std::uint64_t offset = 0, length = 0;  // payload of a length-delimited field
};

// The fields of one message in [begin, end). next() returns false at the end and on malformed bytes; ok()
// tells which.
class Message {
 public:
  Message(Bytes& bytes, std::uint64_t begin, std::uint64_t end) : bytes_(bytes), at_(begin), end_(end) {}

  bool next(Field& f) {
    if (at_ == end_ || failed_) return false;
    std::uint64_t key;
    if (!varint(key) || (key >> 3) == 0 || (key >> 3) > 0x1fffffff) return fail();
    f.number = static_cast<std::uint32_t>(key >> 3);
    f.wire = static_cast<std::uint8_t>(key & 7);
    switch (f.wire) {
      case 0:
        if (!varint(f.value)) return fail();
        return true;
      case 1:
        return skip(8);
      case 5:
        return skip(4);
      case 2: {
        std::uint64_t n;
        if (!varint(n) || n > end_ - at_) return fail();
        f.offset = at_;
        f.length = n;
        at_ += n;
        return true;
      }
      default:  // groups (3, 4) are not used by these formats; 6 and 7 do not exist
        return fail();
    }
  }

  bool ok() const { return !failed_; }

 private:
  bool fail() {
    failed_ = true;
    return false;
  }
  bool skip(std::uint64_t n) {
    if (n > end_ - at_) return fail();
    at_ += n;
    return true;
  }
  bool varint(std::uint64_t& out) {
    out = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      std::uint8_t b;
      if (at_ >= end_ || !bytes_.byte(at_, b)) return false;
      ++at_;
      out |= static_cast<std::uint64_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  Bytes& bytes_;
  std::uint64_t at_, end_;
  bool failed_ = false;
};

// Walks every field of a message; `visit` returns false to reject. True when the message is well formed
// and every field was accepted.
bool each_field(Bytes& bytes, std::uint64_t begin, std::uint64_t end,
                const std::function<bool(const Field&)>& visit) {
  Message m(bytes, begin, end);
  Field f;
  while (m.next(f))
    if (!visit(f)) return false;
  return m.ok();
}

// The wire type a known field must have; fields not listed are accepted with any valid wire type.
bool wire_is(const Field& f, std::initializer_list<std::pair<std::uint32_t, std::uint8_t>> known) {
  for (const auto& [number, wire] : known)
    if (f.number == number) return f.wire == wire;
  return true;
}

bool identifier(const std::string& s) {
  if (s.empty() || s.size() > 256) return false;
  return std::all_of(s.begin(), s.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '.'; });
}

bool text_at(Bytes& bytes, const Field& f, std::string& out, std::size_t limit = 4096) {
  if (f.length > limit) return false;
  out.resize(static_cast<std::size_t>(f.length));
  return bytes.get(f.offset, out.data(), out.size());
}

// ---- ONNX -------------------------------------------------------------------------------------------------

bool onnx_node(Bytes& bytes, const Field& node) {
  bool op_type = false;
  return each_field(bytes, node.offset, node.offset + node.length,
                    [&](const Field& f) {
                      if (!wire_is(f, {{1, 2}, {2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}})) return false;
                      if (f.number == 4) {
                        std::string name;
                        if (!text_at(bytes, f, name) || !identifier(name)) return false;
                        op_type = true;
                      }
                      return true;
                    }) &&
         op_type;
}

bool onnx_graph(Bytes& bytes, const Field& graph) {
  std::size_t nodes = 0;
  constexpr std::size_t kNodesChecked = 64;
  return each_field(
             bytes, graph.offset, graph.offset + graph.length,
             [&](const Field& f) {
               if (!wire_is(f,
                            {{1, 2}, {2, 2}, {5, 2}, {10, 2}, {11, 2}, {12, 2}, {13, 2}, {14, 2}, {15, 2}}))
                 return false;
               if (f.number == 1 && nodes++ < kNodesChecked) return onnx_node(bytes, f);
               return true;
             }) &&
         nodes > 0;
}

bool onnx_opset(Bytes& bytes, const Field& opset) {
  bool version = false;
  return each_field(bytes, opset.offset, opset.offset + opset.length,
                    [&](const Field& f) {
                      if (!wire_is(f, {{1, 2}, {2, 0}})) return false;
                      if (f.number == 2) version = f.value >= 1;
                      return true;
                    }) &&
         version;
}

bool is_onnx(Bytes& bytes) {
  bool ir_version = false;
  std::size_t graphs = 0, opsets = 0;
  return each_field(bytes, 0, bytes.size(),
                    [&](const Field& f) {
                      if (!wire_is(f, {{1, 0},
                                       {2, 2},
                                       {3, 2},
                                       {4, 2},
                                       {5, 0},
                                       {6, 2},
                                       {7, 2},
                                       {8, 2},
                                       {14, 2},
                                       {20, 2},
                                       {25, 2}}))
                        return false;
                      switch (f.number) {
                        case 1:
                          ir_version = f.value >= 1 && f.value <= 1000;
                          return ir_version;
                        case 7:
                          return ++graphs == 1 && onnx_graph(bytes, f);
                        case 8:
                          ++opsets;
                          return onnx_opset(bytes, f);
                        default:
                          return true;
                      }
                    }) &&
         ir_version && graphs == 1 && opsets > 0;
}

// ---- Core ML ----------------------------------------------------------------------------------------------

bool coreml_feature(Bytes& bytes, const Field& feature) {
  bool name = false;
  return each_field(bytes, feature.offset, feature.offset + feature.length,
                    [&](const Field& f) {
                      if (!wire_is(f, {{1, 2}, {2, 2}, {3, 2}})) return false;
                      if (f.number == 1) name = f.length > 0;
                      return true;
                    }) &&
         name;
}

bool coreml_description(Bytes& bytes, const Field& description) {
  std::size_t features = 0;
  return each_field(bytes, description.offset, description.offset + description.length,
                    [&](const Field& f) {
                      if (!wire_is(f, {{1, 2}, {10, 2}, {11, 2}, {12, 2}, {50, 2}, {100, 2}})) return false;
                      if (f.number == 1 || f.number == 10) {
                        ++features;
                        return coreml_feature(bytes, f);
                      }
                      return true;
                    }) &&
         features > 0;
}

bool is_coreml(Bytes& bytes) {
  // Model: specificationVersion = 1, description = 2, isUpdatable = 10, and one model type in the oneof
  // whose field numbers start at 200.
  bool version = false;
  std::size_t descriptions = 0, types = 0;
  return each_field(bytes, 0, bytes.size(),
                    [&](const Field& f) {
                      if (f.number >= 200) return f.wire == 2 && ++types == 1;
                      switch (f.number) {
                        case 1:
                          version = f.wire == 0 && f.value >= 1 && f.value <= 1000;
                          return version;
                        case 2:
                          return f.wire == 2 && ++descriptions == 1 && coreml_description(bytes, f);
                        case 10:
                          return f.wire == 0;
                        default:
                          return false;
                      }
                    }) &&
         version && descriptions == 1 && types == 1;
}

// ---- TFLite -----------------------------------------------------------------------------------------------

// A vector of the flat buffer at the uoffset stored at `at`: its length, with every element inside the file.
bool flat_vector(Bytes& bytes, std::uint64_t at, std::size_t element_size, std::uint32_t& length,
                 std::uint64_t& first) {
  std::uint32_t rel;
  if (!bytes.little(at, rel)) return false;
  const std::uint64_t vec = at + rel;
  if (!bytes.little(vec, length)) return false;
  first = vec + 4;
  return static_cast<std::uint64_t>(length) * element_size <= bytes.size() - std::min(bytes.size(), first);
}

bool is_tflite(Bytes& bytes) {
  std::array<char, 4> ident;
  if (!bytes.get(4, ident.data(), 4) || std::memcmp(ident.data(), "TFL3", 4) != 0) return false;
  std::uint32_t root;
  if (!bytes.little(0, root) || root % 4 != 0 || root < 8) return false;
  std::uint32_t back;
  if (!bytes.little(root, back)) return false;
  const std::int64_t vtable = static_cast<std::int64_t>(root) - static_cast<std::int32_t>(back);
  if (vtable < 0 || vtable % 2 != 0) return false;
  const auto vt = static_cast<std::uint64_t>(vtable);
  std::uint16_t vt_size, table_size;
  if (!bytes.little(vt, vt_size) || !bytes.little(vt + 2, table_size)) return false;
  if (vt_size < 4 || vt_size % 2 != 0 || table_size < 4 || root + table_size > bytes.size()) return false;
  if (vt + vt_size > bytes.size()) return false;
  auto field = [&](unsigned index, std::uint16_t& offset) {
    offset = 0;
    if (4u + 2u * index + 2u > vt_size) return true;  // absent: default value
    return bytes.little(vt + 4 + 2 * index, offset) && offset < table_size;
  };
  // Model: version (0), operator_codes (1), subgraphs (2), description (3), buffers (4).
  std::uint16_t version_at, subgraphs_at, codes_at, buffers_at;
  if (!field(0, version_at) || !field(1, codes_at) || !field(2, subgraphs_at) || !field(4, buffers_at))
    return false;
  std::uint32_t version;
  if (version_at == 0 || !bytes.little(root + version_at, version) || version != 3) return false;
  std::uint32_t length;
  std::uint64_t first;
  if (subgraphs_at == 0 || !flat_vector(bytes, root + subgraphs_at, 4, length, first) || length == 0)
    return false;
  std::uint32_t rel;
  if (!bytes.little(first, rel) || first + rel + 4 > bytes.size()) return false;  // the first subgraph table
  if (codes_at != 0 && !flat_vector(bytes, root + codes_at, 4, length, first)) return false;
  if (buffers_at != 0 && !flat_vector(bytes, root + buffers_at, 4, length, first)) return false;
  return true;
}

// ---- OpenVINO IR ------------------------------------------------------------------------------------------

class XmlReader {
 public:
  explicit XmlReader(Bytes& bytes) : bytes_(bytes) {}

  bool peek(std::uint8_t& c) { return bytes_.byte(at_, c); }
  bool take(std::uint8_t& c) { return bytes_.byte(at_++, c); }
  bool starts(const char* text) {
    const std::size_t n = std::strlen(text);
    std::array<char, 16> buf;
    return n <= buf.size() && bytes_.get(at_, buf.data(), n) && std::memcmp(buf.data(), text, n) == 0;
  }
  bool skip_past(const char* end) {  // to just after the next `end`
    const std::size_t n = std::strlen(end);
    for (; at_ < bytes_.size(); ++at_) {
      if (starts(end)) {
        at_ += n;
        return true;
      }
      std::uint8_t c;
      if (!peek(c) || c == 0) return false;
    }
    return false;
  }
  void skip_space() {
    std::uint8_t c;
    while (peek(c) && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) ++at_;
  }
  std::string name() {
    std::string s;
    std::uint8_t c;
    while (s.size() < 256 && peek(c) && (std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':')) {
      s += static_cast<char>(c);
      ++at_;
    }
    return s;
  }
  // After a tag's name: attributes up to '>' or "/>". Sets `empty` for "/>".
  bool rest_of_tag(bool& empty) {
    std::uint8_t c;
    while (take(c)) {
      if (c == '"' || c == '\'') {
        std::uint8_t q;
        do {
          if (!take(q) || q == 0) return false;
        } while (q != c);
      } else if (c == '>') {
        empty = false;
        return true;
      } else if (c == '/') {
        empty = true;
        return take(c) && c == '>';
      } else if (c == 0 || c == '<') {
        return false;
      }
    }
    return false;
  }
  void advance(std::size_t n) { at_ += n; }
  std::uint64_t position() const { return at_; }

 private:
  Bytes& bytes_;
  std::uint64_t at_ = 0;
};

bool is_openvino_ir(Bytes& bytes) {
  XmlReader x(bytes);
  if (x.starts("\xef\xbb\xbf")) x.advance(3);
  // Prolog: declaration, comments, processing instructions, doctype.
  for (;;) {
    x.skip_space();
    if (x.starts("<?")) {
      if (!x.skip_past("?>")) return false;
    } else if (x.starts("<!--")) {
      if (!x.skip_past("-->")) return false;
    } else if (x.starts("<!DOCTYPE")) {
      if (!x.skip_past(">")) return false;
    } else {
      break;
    }
  }
  if (!x.starts("<")) return false;
  x.advance(1);
  if (x.name() != "net") return false;
  bool empty;
  if (!x.rest_of_tag(empty) || empty) return false;
  bool layers = false, edges = false;
  int depth = 1;
  // An IR's XML holds the graph only (the weights are in the ".bin"); past this much it is not one.
  constexpr std::uint64_t kLongestXml = std::uint64_t{256} << 20;
  while (depth > 0 && x.position() < kLongestXml) {
    std::uint8_t c;
    do {  // character data
      if (!x.take(c) || c == 0) return false;
    } while (c != '<');
    if (x.starts("!--")) {
      if (!x.skip_past("-->")) return false;
    } else if (x.starts("![CDATA[")) {
      if (!x.skip_past("]]>")) return false;
    } else if (x.starts("?")) {
      if (!x.skip_past("?>")) return false;
    } else if (x.starts("/")) {
      x.advance(1);
      if (x.name().empty()) return false;
      x.skip_space();
      if (!x.take(c) || c != '>') return false;
      --depth;
    } else {
      const std::string tag = x.name();
      if (tag.empty() || !x.rest_of_tag(empty)) return false;
      if (depth == 1) {
        layers |= tag == "layers";
        edges |= tag == "edges";
        if (layers && edges) return true;
      }
      if (!empty) ++depth;
    }
  }
  return false;
}

// ---- Keras ".keras" (zip) ---------------------------------------------------------------------------------

bool is_keras_archive(Bytes& bytes) {
  const std::uint64_t size = bytes.size();
  if (size < 22) return false;
  // End of central directory: 22 bytes plus a comment of up to 65535 bytes, at the end of the file.
  const std::uint64_t lowest = size > 22 + 65535 ? size - 22 - 65535 : 0;
  std::uint64_t eocd = size - 22;
  for (;; --eocd) {
    std::uint32_t sig;
    std::uint16_t comment;
    if (bytes.little(eocd, sig) && sig == 0x06054b50 && bytes.little(eocd + 20, comment) &&
        eocd + 22 + comment == size)
      break;
    if (eocd == lowest) return false;
  }
  std::uint16_t entries16;
  std::uint32_t cd_size32, cd_offset32;
  if (!bytes.little(eocd + 10, entries16) || !bytes.little(eocd + 12, cd_size32) ||
      !bytes.little(eocd + 16, cd_offset32))
    return false;
  std::uint64_t entries = entries16, cd_offset = cd_offset32;
  if (entries16 == 0xffff || cd_size32 == 0xffffffff || cd_offset32 == 0xffffffff) {
    // zip64: a locator just before the record points to the zip64 end of central directory.
    std::uint32_t sig;
    std::uint64_t record;
    if (eocd < 20 || !bytes.little(eocd - 20, sig) || sig != 0x07064b50 || !bytes.little(eocd - 12, record))
      return false;
    if (!bytes.little(record, sig) || sig != 0x06064b50 || !bytes.little(record + 32, entries) ||
        !bytes.little(record + 48, cd_offset))
      return false;
  }
  bool config = false, metadata = false, weights = false;
  std::uint64_t at = cd_offset;
  for (std::uint64_t i = 0; i < entries && i < 100000; ++i) {
    std::uint32_t sig;
    std::uint16_t name_len, extra_len, comment_len;
    if (!bytes.little(at, sig) || sig != 0x02014b50 || !bytes.little(at + 28, name_len) ||
        !bytes.little(at + 30, extra_len) || !bytes.little(at + 32, comment_len))
      return false;
    std::string name(name_len, '\0');
    if (!bytes.get(at + 46, name.data(), name.size())) return false;
    config |= name == "config.json";
    metadata |= name == "metadata.json";
    weights |= name == "model.weights.h5";
    at += 46 + static_cast<std::uint64_t>(name_len) + extra_len + comment_len;
  }
  return config && (metadata || weights);
}

// ---- Keras ".h5" (HDF5) -----------------------------------------------------------------------------------

class Hdf5 {
 public:
  Hdf5(Bytes& bytes, std::uint64_t base, std::size_t offsets, std::size_t lengths)
      : bytes_(bytes), base_(base), o_(offsets), l_(lengths) {}

  // The names of the attributes stored in the object header at `address` (compact storage).
  bool attribute_names(std::uint64_t address, std::set<std::string>& names) {
    std::uint8_t version;
    const std::uint64_t at = base_ + address;
    if (!bytes_.byte(at, version)) return false;
    std::array<char, 4> sig;
    if (bytes_.get(at, sig.data(), 4) && std::memcmp(sig.data(), "OHDR", 4) == 0) return v2_header(at, names);
    if (version != 1) return false;
    std::uint16_t count;
    std::uint32_t size;
    if (!bytes_.little(at + 2, count) || !bytes_.little(at + 8, size)) return false;
    blocks_.push_back({at + 16, size});
    for (std::size_t b = 0; b < blocks_.size() && b < 64; ++b) {
      std::uint64_t p = blocks_[b].first;
      const std::uint64_t end = p + blocks_[b].second;
      while (p + 8 <= end && messages_++ < kMaxMessages) {
        std::uint16_t type, msize;
        if (!bytes_.little(p, type) || !bytes_.little(p + 2, msize)) return false;
        if (p + 8 + msize > end) return false;
        if (!message(type, p + 8, msize, names)) return false;
        p += 8 + msize;
      }
    }
    return true;
  }

 private:
  bool v2_header(std::uint64_t at, std::set<std::string>& names) {
    std::uint8_t version, flags;
    if (!bytes_.byte(at + 4, version) || version != 2 || !bytes_.byte(at + 5, flags)) return false;
    std::uint64_t p = at + 6;
    if (flags & 0x20) p += 16;
    if (flags & 0x10) p += 4;
    const std::size_t width = std::size_t{1} << (flags & 0x03);
    std::uint64_t size;
    if (!bytes_.sized(p, width, size)) return false;
    p += width;
    creation_order_ = (flags & 0x04) != 0;
    v2_blocks_.push_back({p, size});
    for (std::size_t b = 0; b < v2_blocks_.size() && b < 64; ++b) {
      std::uint64_t q = v2_blocks_[b].first;
      const std::uint64_t end = q + v2_blocks_[b].second;
      const std::uint64_t header = creation_order_ ? 6 : 4;
      while (q + header <= end && messages_++ < kMaxMessages) {
        std::uint8_t type;
        std::uint16_t msize;
        if (!bytes_.byte(q, type) || !bytes_.little(q + 1, msize)) return false;
        if (q + header + msize > end) return false;
        if (!message(type, q + header, msize, names, true)) return false;
        q += header + msize;
      }
    }
    return true;
  }

  bool message(std::uint16_t type, std::uint64_t at, std::uint16_t size, std::set<std::string>& names,
               bool v2 = false) {
    if (type == 0x10) {  // continuation: another block of messages
      std::uint64_t offset, length;
      if (!bytes_.sized(at, o_, offset) || !bytes_.sized(at + o_, l_, length)) return false;
      if (v2) {
        std::array<char, 4> sig;
        if (!bytes_.get(base_ + offset, sig.data(), 4) || std::memcmp(sig.data(), "OCHK", 4) != 0)
          return false;
        if (length < 8) return false;
        v2_blocks_.push_back({base_ + offset + 4, length - 8});
      } else {
        blocks_.push_back({base_ + offset, length});
      }
      return true;
    }
    if (type != 0x0c) return true;  // only attributes matter
    std::uint8_t version;
    std::uint16_t name_size;
    if (!bytes_.byte(at, version) || !bytes_.little(at + 2, name_size) || name_size == 0 || name_size > size)
      return false;
    const std::uint64_t name_at = at + (version == 3 ? 9 : 8);
    if (version < 1 || version > 3) return false;
    std::string name(name_size, '\0');
    if (!bytes_.get(name_at, name.data(), name.size())) return false;
    if (!name.empty() && name.back() == '\0') name.pop_back();
    names.insert(name);
    return true;
  }

  Bytes& bytes_;
  std::uint64_t base_;
  std::size_t o_, l_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks_, v2_blocks_;
  bool creation_order_ = false;
  static constexpr std::size_t kMaxMessages = 1 << 16;  // a root group's header holds a few dozen
  std::size_t messages_ = 0;
};

bool is_keras_h5(Bytes& bytes) {
  static const char kSignature[8] = {'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
  // The superblock sits at offset 0 or after a user block of 512, 1024, 2048, ... bytes.
  for (std::uint64_t at = 0; at + 8 <= bytes.size() && at <= (std::uint64_t{1} << 30);
       at = at ? at * 2 : 512) {
    std::array<char, 8> sig;
    if (!bytes.get(at, sig.data(), 8) || std::memcmp(sig.data(), kSignature, 8) != 0) continue;
    std::uint8_t version, offsets, lengths;
    if (!bytes.byte(at + 8, version)) return false;
    std::uint64_t base, root;
    if (version <= 1) {
      if (!bytes.byte(at + 13, offsets) || !bytes.byte(at + 14, lengths)) return false;
      const std::uint64_t addresses = at + (version == 0 ? 24 : 28);
      // base, free-space, end of file, driver info, then the root symbol table entry (link name, header).
      if (!bytes.sized(addresses, offsets, base) || !bytes.sized(addresses + 5 * offsets, offsets, root))
        return false;
    } else if (version <= 3) {
      if (!bytes.byte(at + 9, offsets) || !bytes.byte(at + 10, lengths)) return false;
      if (!bytes.sized(at + 12, offsets, base) || !bytes.sized(at + 12 + 3 * offsets, offsets, root))
        return false;
    } else {
      return false;
    }
    if ((offsets != 4 && offsets != 8) || (lengths != 4 && lengths != 8)) return false;
    Hdf5 file(bytes, base, offsets, lengths);
    std::set<std::string> names;
    if (!file.attribute_names(root, names)) return false;
    return names.count("keras_version") != 0 || names.count("model_config") != 0;
  }
  return false;
}

// ---- ONNX external data ------------------------------------------------------------------------------------

// Collects the "location" of every tensor stored as external data (data_location EXTERNAL) in a graph:
// its initializers, sparse initializers, and the tensors and subgraphs of its nodes' attributes.
class ExternalData {
 public:
  explicit ExternalData(Bytes& bytes) : bytes_(bytes) {}

  bool model(std::vector<std::string>& out) {
    out_ = &out;
    return each_field(bytes_, 0, bytes_.size(), [&](const Field& f) {
      return f.number != 7 || f.wire != 2 || graph(f, 0);
    });
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool graph(const Field& g, int depth) {
    if (depth > kMaxDepth) return false;
    return each_field(bytes_, g.offset, g.offset + g.length, [&](const Field& f) {
      if (f.wire != 2) return true;
      if (f.number == 5) return tensor(f);
      if (f.number == 15) return sparse(f);
      if (f.number == 1) return node(f, depth);
      return true;
    });
  }

  bool node(const Field& n, int depth) {
    return each_field(bytes_, n.offset, n.offset + n.length, [&](const Field& f) {
      return f.number != 5 || f.wire != 2 || attribute(f, depth);
    });
  }

  bool attribute(const Field& a, int depth) {
    return each_field(bytes_, a.offset, a.offset + a.length, [&](const Field& f) {
      if (f.wire != 2) return true;
      switch (f.number) {
        case 5:
        case 10:
          return tensor(f);
        case 6:
        case 11:
          return graph(f, depth + 1);
        case 22:
        case 23:
          return sparse(f);
        default:
          return true;
      }
    });
  }

  bool sparse(const Field& s) {
    return each_field(bytes_, s.offset, s.offset + s.length, [&](const Field& f) {
      return (f.number != 1 && f.number != 2) || f.wire != 2 || tensor(f);
    });
  }

  bool tensor(const Field& t) {
    bool external = false;
    std::string location;
    bool ok = each_field(bytes_, t.offset, t.offset + t.length, [&](const Field& f) {
      if (f.number == 14 && f.wire == 0) external = f.value == 1;
      if (f.number == 13 && f.wire == 2) {
        std::string key, value;
        bool entry = each_field(bytes_, f.offset, f.offset + f.length, [&](const Field& e) {
          if (e.wire != 2) return true;
          if (e.number == 1) return text_at(bytes_, e, key);
          if (e.number == 2) return text_at(bytes_, e, value);
          return true;
        });
        if (!entry) return false;
        if (key == "location") location = value;
      }
      return true;
    });
    if (ok && external && !location.empty() &&
        std::find(out_->begin(), out_->end(), location) == out_->end())
      out_->push_back(location);
    return ok;
  }

  Bytes& bytes_;
  std::vector<std::string>* out_ = nullptr;
};

std::optional<std::string> probe(Bytes& bytes) {
  if (is_onnx(bytes)) return "onnx";
  if (is_coreml(bytes)) return "coreml";
  if (is_tflite(bytes)) return "tflite";
  if (is_openvino_ir(bytes)) return "openvino";
  if (is_keras_archive(bytes) || is_keras_h5(bytes)) return "keras";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> probe_model_format(std::span<const std::uint8_t> data) {
  Bytes bytes(data);
  return probe(bytes);
}

std::optional<std::string> probe_model_format(const std::filesystem::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return std::nullopt;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return std::nullopt;
  Bytes bytes(fd.get(), static_cast<std::uint64_t>(st.st_size));
  return probe(bytes);
}

std::vector<std::string> onnx_external_data_locations(const std::filesystem::path& path) {
  std::vector<std::string> locations;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return locations;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return locations;
  Bytes bytes(fd.get(), static_cast<std::uint64_t>(st.st_size));
  ExternalData reader(bytes);
  std::vector<std::string> found;
  if (reader.model(found)) locations = std::move(found);
  return locations;
}

}  // namespace ostrel::native
