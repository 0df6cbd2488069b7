#include "native/pickle_reader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "native/mapped_file.hpp"
#include "native/quoted_text.hpp"

namespace ostrel::native {

namespace {

using Kind = PickleNode::Kind;
using Cause = PickleReadError::Cause;

// A name from a record as a message shows it: quoted and escaped the way repr escapes (a backslash, the
// quote, tabs and line ends by name, every other byte outside printable ASCII as \xNN), so no byte of the
// record reaches a message or a log as it stands, and cut short after kShownNameBytes bytes ("...").
constexpr std::size_t kShownNameBytes = 80;
std::string shown_name(std::string_view name) {
  const std::string shown = quoted_text(name.substr(0, kShownNameBytes), '\'', /*escape_non_ascii=*/true);
  return name.size() > kShownNameBytes ? shown + "..." : shown;
}

class Reader {
 public:
  // `map`, when given, is the guarded mapping that `data` lies in: every byte the reader looks at is then
  // copied out through it.
  Reader(std::string_view data, std::size_t offset, const MappedFile* map = nullptr)
      : data_(data), pos_(offset), start_(offset), map_(map) {}

  PickleRecord read() {
    if (pos_ >= data_.size()) throw PickleReadError(Cause::kEndOfInput, "Ran out of input");
    // clang-format off: one opcode per line reads as the table it is
    for (;;) {
      unsigned char op = byte();
      switch (op) {
        case 0x80: byte(); break;          // PROTO
        case 0x95: take(8); break;         // FRAME: a length prefix only
        case '.': return finish();         // STOP
        case 'N': push(Kind::kNone); break;
        case 0x88: push_bool(true); break;  // NEWTRUE
        case 0x89: push_bool(false); break; // NEWFALSE
        case 'J': push_int(static_cast<std::int32_t>(le(4))); break;  // BININT
        case 'K': push_int(static_cast<std::int64_t>(le(1))); break;  // BININT1
        case 'M': push_int(static_cast<std::int64_t>(le(2))); break;  // BININT2
        case 0x8a: push_long(le(1)); break;                           // LONG1
        case 0x8b: push_long(signed_length(4)); break;                // LONG4
        case 'G': push_float(); break;                                // BINFLOAT
        case 'I': push_decimal_int(); break;                          // INT
        case 'L': push_decimal_long(); break;                         // LONG
        case 'F': push_text_float(); break;                           // FLOAT
        case 'V': push_raw_unicode(); break;                          // UNICODE
        case 'C': push_data(Kind::kBytes, le(1)); break;              // SHORT_BINBYTES
        case 'B': push_data(Kind::kBytes, le(4)); break;              // BINBYTES
        case 0x8e: push_data(Kind::kBytes, length8()); break;         // BINBYTES8
        case 0x96: push_data(Kind::kByteArray, length8()); break;     // BYTEARRAY8
        case 0x8c: push_data(Kind::kText, le(1)); break;              // SHORT_BINUNICODE
        case 'X': push_data(Kind::kText, le(4)); break;               // BINUNICODE
        case 0x8d: push_data(Kind::kText, length8()); break;          // BINUNICODE8
        case ']': push(Kind::kList); break;                           // EMPTY_LIST
        case ')': push(Kind::kTuple); break;                          // EMPTY_TUPLE
        case '}': push(Kind::kDict); break;                           // EMPTY_DICT
        case 0x8f: push(Kind::kSet); break;                           // EMPTY_SET
        case 'l': collect(Kind::kList); break;                        // LIST
        case 't': collect(Kind::kTuple); break;                       // TUPLE
        case 'd': collect(Kind::kDict); break;                        // DICT
        case 0x91: collect(Kind::kFrozenSet); break;                  // FROZENSET
        case 0x85: tuple_of(1); break;                                // TUPLE1
        case 0x86: tuple_of(2); break;                                // TUPLE2
        case 0x87: tuple_of(3); break;                                // TUPLE3
        case 'a': append_one(); break;                                // APPEND
        case 'e': add_marked(Kind::kList); break;                     // APPENDS
        case 's': set_item(); break;                                  // SETITEM
        case 'u': add_marked(Kind::kDict); break;                     // SETITEMS
        case 0x90: add_marked(Kind::kSet); break;                     // ADDITEMS
        case '(': marks_.push_back(stack_.size()); break;             // MARK
        case '0': pop(); break;                                       // POP
        case '1': pop_mark(); break;                                  // POP_MARK
        case '2': stack_.push_back(top()); break;                     // DUP
        case 0x94: put(memo_.size()); break;                          // MEMOIZE
        case 'q': put(le(1)); break;                                  // BINPUT
        case 'r': put(le(4)); break;                                  // LONG_BINPUT
        case 'p': put(decimal_index()); break;                        // PUT
        case 'h': get(le(1)); break;                                  // BINGET
        case 'j': get(le(4)); break;                                  // LONG_BINGET
        case 'g': get(decimal_index()); break;                        // GET
        case 'c': global(); break;                                    // GLOBAL
        case 0x93: stack_global(); break;                             // STACK_GLOBAL
        case 'R': reduce(); break;                                    // REDUCE
        case 'b': forbid("BUILD"); break;
        case 'i': forbid("INST"); break;
        case 'o': forbid("OBJ"); break;
        case 0x81: forbid("NEWOBJ"); break;
        case 0x92: forbid("NEWOBJ_EX"); break;
        case 'P': forbid("PERSID"); break;
        case 'Q': forbid("BINPERSID"); break;
        case 0x82: case 0x83: case 0x84: forbid("EXT"); break;
        case 0x97: forbid("NEXT_BUFFER"); break;
        case 0x98: forbid("READONLY_BUFFER"); break;
        default: malformed("unsupported pickle opcode " + opcode_text(op));
      }
    }
    // clang-format on
  }

  std::size_t position() const { return pos_; }

 private:
  static std::string opcode_text(unsigned char op) {
    static const char* digits = "0123456789abcdef";
    std::string s = "0x";
    s += digits[op >> 4];
    s += digits[op & 15];
    return s;
  }

  [[noreturn]] static void malformed(const std::string& message) {
    throw PickleReadError(Cause::kMalformed, message);
  }
  [[noreturn]] static void truncated() {
    throw PickleReadError(Cause::kTruncated, "pickle data was truncated");
  }
  [[noreturn]] static void forbid(const char* what) {
    throw PickleReadError(Cause::kForbidden, std::string("pickle opcode ") + what + " is forbidden");
  }

  std::string_view take(std::uint64_t n) {
    if (n > data_.size() - pos_) truncated();
    std::string_view out = data_.substr(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return out;
  }
  // Copies bytes the reader looks at itself; through the guarded mapping when the input is one.
  void load(char* to, std::string_view from) const {
    if (map_ == nullptr) {
      std::memcpy(to, from.data(), from.size());
    } else if (!map_->copy(to, from.data(), from.size())) {
      truncated();
    }
  }
  std::string copy_out(std::string_view from) const {
    std::string out(from.size(), '\0');
    load(out.data(), from);
    return out;
  }
  unsigned char byte() {
    char c = 0;
    load(&c, take(1));
    return static_cast<unsigned char>(c);
  }
  std::uint64_t le(int n) {
    char b[8] = {};
    load(b, take(static_cast<std::uint64_t>(n)));
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[i]);
    return v;
  }
  std::uint64_t signed_length(int n) {
    auto v = static_cast<std::int32_t>(le(n));
    if (v < 0) malformed("LONG pickle has negative byte count");
    return static_cast<std::uint64_t>(v);
  }
  std::uint64_t length8() {
    std::uint64_t v = le(8);
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      malformed("byte count too large");
    return v;
  }
  // The text up to the next newline (protocol 0 arguments), without the newline.
  std::string line() {
    const std::size_t left = data_.size() - pos_;
    std::ptrdiff_t at;
    if (map_ == nullptr) {
      const void* nl = std::memchr(data_.data() + pos_, '\n', left);
      at = nl == nullptr ? static_cast<std::ptrdiff_t>(left) : static_cast<const char*>(nl) - (data_.data() + pos_);
    } else {
      at = map_->find(data_.data() + pos_, left, '\n');
      if (at < 0) truncated();
    }
    if (static_cast<std::size_t>(at) == left) truncated();
    std::string out = copy_out(data_.substr(pos_, static_cast<std::size_t>(at)));
    pos_ += static_cast<std::size_t>(at) + 1;
    return out;
  }
  std::size_t add(PickleNode node) {
    nodes_.push_back(std::move(node));
    return nodes_.size() - 1;
  }
  void push(Kind kind) {
    PickleNode n;
    n.kind = kind;
    stack_.push_back(add(std::move(n)));
  }
  void push_bool(bool v) {
    PickleNode n;
    n.kind = Kind::kBool;
    n.flag = v;
    stack_.push_back(add(std::move(n)));
  }
  void push_int(std::int64_t v) {
    PickleNode n;
    n.kind = Kind::kInt;
    n.integer = v;
    stack_.push_back(add(std::move(n)));
  }
  void push_long(std::uint64_t count) {
    PickleNode n;
    n.kind = Kind::kBigInt;
    n.data = take(count);
    stack_.push_back(add(std::move(n)));
  }
  void push_float() {
    char b[8];
    load(b, take(8));
    std::uint64_t bits = 0;
    for (char c : b) bits = (bits << 8) | static_cast<unsigned char>(c);  // big-endian
    push_real(std::bit_cast<double>(bits));
  }
  void push_real(double v) {
    PickleNode n;
    n.kind = Kind::kFloat;
    n.real = v;
    stack_.push_back(add(std::move(n)));
  }
  // A payload of the record's own storage.
  void push_owned(Kind kind, std::string payload) {
    owned_.push_back(std::move(payload));
    PickleNode n;
    n.kind = kind;
    n.data = owned_.back();
    stack_.push_back(add(std::move(n)));
  }

  // ---- protocol 0: arguments as text lines ----
  std::size_t decimal_index() {
    const std::string t = line();
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || t.empty()) malformed("invalid memo key");
    return static_cast<std::size_t>(std::min<std::uint64_t>(v, std::numeric_limits<std::size_t>::max()));
  }
  void push_decimal_int() {
    const std::string t = line();
    if (t == "00") return push_bool(false);
    if (t == "01") return push_bool(true);
    push_decimal(t, "INT");
  }
  void push_decimal_long() {
    std::string t = line();
    if (!t.empty() && t.back() == 'L') t.pop_back();
    push_decimal(t, "LONG");
  }
  void push_decimal(const std::string& t, const char* op) {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec == std::errc() && end == t.data() + t.size() && !t.empty()) return push_int(v);
    const bool negative = !t.empty() && t[0] == '-';
    const std::size_t first = negative ? 1 : 0;
    if (t.size() == first) malformed(std::string("invalid literal for ") + op);
    // The interpreter's own limit on decimal digits (sys.int_info.default_max_str_digits).
    if (t.size() - first > 4300) malformed(std::string(op) + " value has too many digits");
    std::string bytes;  // little-endian magnitude
    for (std::size_t i = first; i < t.size(); ++i) {
      if (t[i] < '0' || t[i] > '9') malformed(std::string("invalid literal for ") + op);
      unsigned carry = static_cast<unsigned>(t[i] - '0');
      for (char& b : bytes) {
        const unsigned v10 = static_cast<unsigned char>(b) * 10u + carry;
        b = static_cast<char>(v10 & 0xff);
        carry = v10 >> 8;
      }
      if (carry != 0) bytes.push_back(static_cast<char>(carry));
    }
    bytes.push_back('\0');  // room for the sign bit
    if (negative) {
      unsigned carry = 1;
      for (char& b : bytes) {
        const unsigned v = (~static_cast<unsigned char>(b) & 0xffu) + carry;
        b = static_cast<char>(v & 0xff);
        carry = v >> 8;
      }
    }
    push_owned(Kind::kBigInt, std::move(bytes));
  }
  void push_text_float() {
    const std::string t = line();
    double v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || t.empty()) malformed("invalid literal for FLOAT");
    push_real(v);
  }
  static void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {  // surrogates included, as the interpreter's "surrogatepass" writes them
      out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
      out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
  }
  // UNICODE: the text in "raw-unicode-escape" (bytes are Latin-1 characters; an odd run of backslashes
  // before 'u' or 'U' starts an escape of 4 or 8 hex digits), kept as UTF-8.
  void push_raw_unicode() {
    const std::string t = line();
    std::string out;
    out.reserve(t.size());
    for (std::size_t i = 0; i < t.size();) {
      if (t[i] != '\\') {
        append_utf8(out, static_cast<unsigned char>(t[i++]));
        continue;
      }
      std::size_t j = i;
      while (j < t.size() && t[j] == '\\') ++j;
      const std::size_t run = j - i;
      if (j < t.size() && (t[j] == 'u' || t[j] == 'U') && run % 2 == 1) {
        out.append(run - 1, '\\');
        const std::size_t digits = t[j] == 'u' ? 4 : 8;
        if (t.size() - (j + 1) < digits) malformed("truncated escape in UNICODE");
        std::uint32_t cp = 0;
        auto [end, ec] = std::from_chars(t.data() + j + 1, t.data() + j + 1 + digits, cp, 16);
        if (ec != std::errc() || end != t.data() + j + 1 + digits || cp > 0x10ffff)
          malformed("bad escape in UNICODE");
        append_utf8(out, cp);
        i = j + 1 + digits;
      } else {
        out.append(run, '\\');
        i = j;
      }
    }
    push_owned(Kind::kText, std::move(out));
  }
  void push_data(Kind kind, std::uint64_t count) {
    PickleNode n;
    n.kind = kind;
    n.data = take(count);
    stack_.push_back(add(std::move(n)));
  }

  std::size_t top() const {
    if (stack_.size() <= floor()) malformed("unpickling stack underflow");
    return stack_.back();
  }
  std::size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
  std::size_t pop() {
    std::size_t v = top();
    stack_.pop_back();
    return v;
  }
  std::vector<std::size_t> pop_mark() {
    if (marks_.empty()) malformed("could not find MARK");
    std::size_t m = marks_.back();
    marks_.pop_back();
    std::vector<std::size_t> items(stack_.begin() + static_cast<std::ptrdiff_t>(m), stack_.end());
    stack_.resize(m);
    return items;
  }
  void collect(Kind kind) {
    std::vector<std::size_t> items = pop_mark();
    if (kind == Kind::kDict && items.size() % 2 != 0) malformed("odd number of items for DICT");
    PickleNode n;
    n.kind = kind;
    n.items = std::move(items);
    stack_.push_back(add(std::move(n)));
  }
  void tuple_of(std::size_t count) {
    if (stack_.size() < floor() + count) malformed("unpickling stack underflow");
    PickleNode n;
    n.kind = Kind::kTuple;
    n.items.assign(stack_.end() - static_cast<std::ptrdiff_t>(count), stack_.end());
    stack_.resize(stack_.size() - count);
    stack_.push_back(add(std::move(n)));
  }
  PickleNode& container(Kind kind, const char* op) {
    PickleNode& target = nodes_[top()];
    if (target.kind != kind) malformed(std::string(op) + " on an object of the wrong kind");
    return target;
  }
  void append_one() {
    std::size_t value = pop();
    container(Kind::kList, "APPEND").items.push_back(value);
  }
  void set_item() {
    std::size_t value = pop();
    std::size_t key = pop();
    PickleNode& d = container(Kind::kDict, "SETITEM");
    d.items.push_back(key);
    d.items.push_back(value);
  }
  void add_marked(Kind kind) {
    std::vector<std::size_t> items = pop_mark();
    if (kind == Kind::kDict && items.size() % 2 != 0) malformed("odd number of items for SETITEMS");
    PickleNode& target = container(kind, kind == Kind::kList   ? "APPENDS"
                                         : kind == Kind::kDict ? "SETITEMS"
                                                               : "ADDITEMS");
    target.items.insert(target.items.end(), items.begin(), items.end());
  }
  // A memo key beyond the size of the input cannot come from a real writer and only costs memory.
  void put(std::uint64_t key) {
    if (key >= data_.size()) malformed("memo key " + std::to_string(key) + " exceeds what the data can hold");
    memo_[key] = top();
  }
  void get(std::uint64_t key) {
    auto it = memo_.find(key);
    if (it == memo_.end()) malformed("Memo value not found at index " + std::to_string(key));
    stack_.push_back(it->second);
  }
  // The two globals a plain-data record may name, each only as the callable of a REDUCE.
  void accept_global(const std::string& module, const std::string& name) {
    const std::string full = module + "." + name;
    if (full != "_codecs.encode" && full != "collections.OrderedDict")
      throw PickleReadError(Cause::kForbidden, "global " + shown_name(full) + " is forbidden");
    push_owned(Kind::kGlobal, full);
  }
  void global() {
    std::string module = line();
    std::string name = line();
    accept_global(module, name);
  }
  void stack_global() {
    std::string names[2];
    for (int i = 1; i >= 0; --i) {
      const PickleNode& n = nodes_[pop()];
      if (n.kind != Kind::kText) malformed("STACK_GLOBAL requires str");
      names[i] = copy_out(n.data);
    }
    accept_global(names[0], names[1]);
  }
  // Latin-1 bytes of UTF-8 text; false when a character is beyond U+00FF or the text is not UTF-8.
  static bool latin1_of(const std::string& text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        ++i;
      } else if ((c == 0xc2 || c == 0xc3) && i + 1 < text.size() &&
                 (static_cast<unsigned char>(text[i + 1]) & 0xc0) == 0x80) {
        out.push_back(static_cast<char>(((c & 0x1f) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3f)));
        i += 2;
      } else {
        return false;
      }
    }
    return true;
  }
  void reduce() {
    const std::size_t args = pop();
    const std::size_t callable = pop();
    if (nodes_[callable].kind != Kind::kGlobal) forbid("REDUCE");
    const std::string name(nodes_[callable].data);
    const PickleNode& a = nodes_[args];
    if (a.kind != Kind::kTuple) forbid("REDUCE");
    if (name == "collections.OrderedDict") {
      if (!a.items.empty()) forbid("REDUCE");
      return push(Kind::kDict);
    }
    // _codecs.encode(text, "latin1"): how protocols 0 to 2 write a bytes object.
    if (a.items.size() != 2 || nodes_[a.items[0]].kind != Kind::kText || nodes_[a.items[1]].kind != Kind::kText)
      forbid("REDUCE");
    const std::string_view encoding_data = nodes_[a.items[1]].data;
    if (encoding_data.size() > 7) forbid("REDUCE");
    const std::string encoding = copy_out(encoding_data);
    if (encoding != "latin1" && encoding != "latin-1") forbid("REDUCE");
    // One text is decoded once: a call repeated through the memo gives the bytes already made (bytes are
    // immutable, so sharing them is not seen): each text in the file is decoded at most once.
    const std::size_t text = a.items[0];
    if (auto made = encoded_.find(text); made != encoded_.end()) {
      stack_.push_back(made->second);
      return;
    }
    std::string bytes;
    if (!latin1_of(copy_out(nodes_[text].data), bytes)) malformed("text for _codecs.encode is not Latin-1");
    push_owned(Kind::kBytes, std::move(bytes));
    encoded_.emplace(text, stack_.back());
  }
  // Checks the graph reachable from the root, without recursion: no global left over (one that was not
  // called); no path deeper than kMaxPickleDepth; and no more hashing than the record's size allows, none
  // of it deeper than kMaxPickleKeyDepth.
  //
  // Depth is that of the objects built, however the memo shares them: the longest path, where a group of
  // containers that hold each other (a list that holds itself, say) counts as deep as it has members.
  // The groups are the strongly connected components (Tarjan's algorithm, iterative); each is finished
  // after every group it reaches, so its height is known from theirs when it is.
  //
  // Hashing: every dict key, set member and frozenset member is hashed once when the objects are built,
  // and hashing a tuple hashes its items again each time, with no cache, so a tuple shared through the
  // memo (T(i+1) = (T(i), T(i))) costs exponentially more to hash than the bytes that wrote it. The
  // items those hashes visit are counted, shared tuples once per visit, and may not exceed the record's
  // size in bytes plus kPickleHashWorkAllowance: a key that shares nothing costs no more than its bytes.
  void check_graph(std::size_t root) const {
    constexpr std::size_t kUnvisited = std::numeric_limits<std::size_t>::max();
    const std::size_t count = nodes_.size();
    std::vector<std::size_t> order(count, kUnvisited);  // visit order; kUnvisited before the visit
    std::vector<std::size_t> low(count, 0);
    std::vector<std::size_t> height(count, 0);  // of the node's group, once the group is finished
    std::vector<std::size_t> head(count, kUnvisited);  // the first visited member of the node's group
    std::vector<bool> open(count, false);       // on the stack of groups not yet finished
    std::vector<std::size_t> pending;           // members of groups not yet finished
    std::vector<std::pair<std::size_t, std::size_t>> walk;  // node, next item
    std::vector<std::size_t> reached;                       // reachable nodes
    std::size_t visited = 0;
    auto visit = [&](std::size_t node) {
      const PickleNode& n = nodes_[node];
      if (n.kind == Kind::kGlobal)
        throw PickleReadError(Cause::kForbidden, "global " + shown_name(n.data) + " is forbidden here");
      order[node] = low[node] = visited++;
      reached.push_back(node);
      pending.push_back(node);
      open[node] = true;
      walk.emplace_back(node, 0);
    };
    visit(root);
    while (!walk.empty()) {
      auto& [node, next] = walk.back();
      const PickleNode& n = nodes_[node];
      if (next < n.items.size()) {
        const std::size_t child = n.items[next++];
        if (order[child] == kUnvisited) {
          visit(child);
        } else if (open[child]) {
          low[node] = std::min(low[node], order[child]);
        }
        continue;
      }
      const std::size_t done = node;
      walk.pop_back();
      if (!walk.empty()) low[walk.back().first] = std::min(low[walk.back().first], low[done]);
      if (low[done] != order[done]) continue;
      // `done` heads a group: its members are the pending nodes from `done` on.
      std::size_t first = pending.size() - 1;
      while (pending[first] != done) --first;
      for (std::size_t i = first; i < pending.size(); ++i) {
        open[pending[i]] = false;
        head[pending[i]] = done;
      }
      // Every other group the members reach is finished already.
      std::size_t below = 0;
      for (std::size_t i = first; i < pending.size(); ++i)
        for (std::size_t child : nodes_[pending[i]].items)
          if (head[child] != done) below = std::max(below, height[child]);
      const std::size_t group = pending.size() - first;
      const std::size_t h = below + group;
      if (h > kMaxPickleDepth)
        throw PickleReadError(Cause::kLimit, "pickle record nested deeper than " +
                                                 std::to_string(kMaxPickleDepth) + " levels");
      for (std::size_t i = first; i < pending.size(); ++i) height[pending[i]] = h;
      pending.resize(first);
    }
    check_hash_work(reached);
  }
  // The items hashing visits, counted over the reachable nodes (`reached`), and how deep it recurses;
  // see check_graph.
  void check_hash_work(const std::vector<std::size_t>& reached) const {
    const std::uint64_t budget = kPickleHashWorkAllowance + (pos_ - start_);
    // Hash cost of each node, saturated past the budget. A tuple or frozenset is made from items that
    // exist before it, so its items come earlier in the node list and their costs are known.
    std::vector<std::uint64_t> cost(nodes_.size(), 1);
    // How deep hashing the node recurses: through tuples only (a frozenset keeps its members' hashes).
    std::vector<std::size_t> nesting(nodes_.size(), 1);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      const PickleNode& n = nodes_[i];
      if (n.kind == Kind::kTuple) {
        std::uint64_t c = 1;
        for (std::size_t item : n.items) {
          if (item >= i) continue;  // never: its items are older than the tuple
          c = std::min(budget + 1, c + cost[item]);
          nesting[i] = std::max(nesting[i], nesting[item] + 1);
        }
        cost[i] = c;
      } else if (n.kind == Kind::kFrozenSet) {
        cost[i] = std::min<std::uint64_t>(budget + 1, 1 + n.items.size());  // its members' hashes are kept
      }
    }
    std::uint64_t work = 0;
    auto hashed = [&](std::size_t node) {
      if (nesting[node] > kMaxPickleKeyDepth)
        throw PickleReadError(Cause::kLimit,
                              "pickle record has a dict key or set member nested deeper than " +
                                  std::to_string(kMaxPickleKeyDepth) + " levels");
      work = std::min(budget + 1, work + cost[node]);
      if (work > budget)
        throw PickleReadError(Cause::kLimit, "pickle record hashes more than " + std::to_string(budget) +
                                                 " items for its dict keys and set members");
    };
    for (std::size_t node : reached) {
      const PickleNode& n = nodes_[node];
      if (n.kind == Kind::kDict) {
        for (std::size_t i = 0; i < n.items.size(); i += 2) hashed(n.items[i]);
      } else if (n.kind == Kind::kSet || n.kind == Kind::kFrozenSet) {
        for (std::size_t item : n.items) hashed(item);
      }
    }
  }
  PickleRecord finish() {
    if (stack_.empty()) malformed("unpickling stack underflow");
    PickleRecord r;
    r.root = stack_.back();
    check_graph(r.root);
    r.nodes = std::move(nodes_);
    r.owned = std::move(owned_);
    return r;
  }

  std::string_view data_;
  std::size_t pos_;
  std::size_t start_;  // where the record begins
  std::vector<PickleNode> nodes_;
  std::vector<std::size_t> stack_;
  std::vector<std::size_t> marks_;
  std::unordered_map<std::uint64_t, std::size_t> memo_;
  std::unordered_map<std::size_t, std::size_t> encoded_;  // text node -> the bytes _codecs.encode made of it
  std::deque<std::string> owned_;
  const MappedFile* map_;
};

}  // namespace

PickleRecord read_pickle_record(std::string_view data, std::size_t& offset) {
  Reader reader(data, offset);
  PickleRecord record = reader.read();
  offset = reader.position();
  return record;
}

struct PickleFile::Impl {
  std::optional<MappedFile> map;
  std::optional<SigbusHandlerInPlace> sigbus;
  std::string whole;  // the contents, when the file could not be mapped
  std::string_view data;
  std::size_t offset = 0;
};

PickleFile::PickleFile(int fd) : impl_(std::make_unique<Impl>()) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) throw std::system_error(errno, std::generic_category(), "fstat");
  if (!S_ISREG(st.st_mode)) throw std::system_error(EINVAL, std::generic_category(), "not a regular file");
  if (st.st_size > 0) {
    impl_->sigbus.emplace();
    impl_->map.emplace(fd, static_cast<std::size_t>(st.st_size));
    if (impl_->map->mapped()) {
      impl_->data = {reinterpret_cast<const char*>(impl_->map->data()), impl_->map->size()};
      return;
    }
    impl_->map.reset();
    impl_->sigbus.reset();
  }
  // Not mappable (or reported as empty): read what is there, in blocks of the heap (a thread's stack may
  // be as small as 64 KiB).
  std::vector<char> buffer(std::size_t{1} << 16);
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), at);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "read");
    }
    if (got == 0) break;
    impl_->whole.append(buffer.data(), static_cast<std::size_t>(got));
    at += got;
  }
  impl_->data = impl_->whole;
}

PickleFile::~PickleFile() = default;

PickleRecord PickleFile::next() {
  Reader reader(impl_->data, impl_->offset, impl_->map ? &*impl_->map : nullptr);
  PickleRecord record = reader.read();
  impl_->offset = reader.position();
  return record;
}

void PickleFile::copy(std::string_view payload, char* to) const {
  const char* begin = impl_->data.data();
  const bool mapped = impl_->map && payload.data() >= begin && payload.data() < begin + impl_->data.size();
  if (!mapped) {
    std::memcpy(to, payload.data(), payload.size());
  } else if (!impl_->map->copy(to, payload.data(), payload.size())) {
    throw PickleReadError(Cause::kTruncated, "pickle data was truncated");
  }
}

}  // namespace ostrel::native
