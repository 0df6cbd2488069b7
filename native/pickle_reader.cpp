#include "native/pickle_reader.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace ostrel::native {

namespace {

using Kind = PickleNode::Kind;
using Cause = PickleReadError::Cause;

class Reader {
 public:
  Reader(std::string_view data, std::size_t offset) : data_(data), pos_(offset) {}

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
        case 0x94: memo_[memo_.size()] = top(); break;                // MEMOIZE
        case 'q': memo_[le(1)] = top(); break;                        // BINPUT
        case 'r': memo_[le(4)] = top(); break;                        // LONG_BINPUT
        case 'h': get(le(1)); break;                                  // BINGET
        case 'j': get(le(4)); break;                                  // LONG_BINGET
        case 'c': forbid_global(); break;                             // GLOBAL
        case 0x93: forbid_stack_global(); break;                      // STACK_GLOBAL
        case 'R': forbid("REDUCE"); break;
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
  unsigned char byte() { return static_cast<unsigned char>(take(1)[0]); }
  std::uint64_t le(int n) {
    std::string_view b = take(static_cast<std::uint64_t>(n));
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
      v = (v << 8) | static_cast<unsigned char>(b[static_cast<std::size_t>(i)]);
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
  std::string_view line() {
    std::size_t end = data_.find('\n', pos_);
    if (end == std::string_view::npos) truncated();
    std::string_view out = data_.substr(pos_, end - pos_);
    pos_ = end + 1;
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
    std::string_view b = take(8);
    std::uint64_t bits = 0;
    for (char c : b) bits = (bits << 8) | static_cast<unsigned char>(c);  // big-endian
    PickleNode n;
    n.kind = Kind::kFloat;
    n.real = std::bit_cast<double>(bits);
    stack_.push_back(add(std::move(n)));
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
  void get(std::uint64_t key) {
    auto it = memo_.find(key);
    if (it == memo_.end()) malformed("Memo value not found at index " + std::to_string(key));
    stack_.push_back(it->second);
  }
  void forbid_global() {
    std::string module(line());
    std::string name(line());
    throw PickleReadError(Cause::kForbidden, "global '" + module + "." + name + "' is forbidden");
  }
  void forbid_stack_global() {
    std::string names[2];
    for (int i = 1; i >= 0; --i) {
      const PickleNode& n = nodes_[pop()];
      names[i] = n.kind == Kind::kText ? std::string(n.data) : std::string("?");
    }
    throw PickleReadError(Cause::kForbidden, "global '" + names[0] + "." + names[1] + "' is forbidden");
  }
  PickleRecord finish() {
    if (stack_.empty()) malformed("unpickling stack underflow");
    PickleRecord r;
    r.root = stack_.back();
    r.nodes = std::move(nodes_);
    return r;
  }

  std::string_view data_;
  std::size_t pos_;
  std::vector<PickleNode> nodes_;
  std::vector<std::size_t> stack_;
  std::vector<std::size_t> marks_;
  std::unordered_map<std::uint64_t, std::size_t> memo_;
};

}  // namespace

PickleRecord read_pickle_record(std::string_view data, std::size_t& offset) {
  Reader reader(data, offset);
  PickleRecord record = reader.read();
  offset = reader.position();
  return record;
}

}  // namespace ostrel::native
