// A restricted reader of pickle records: plain data only.
//
// Pickled checkpoints are consecutive pickle records (each what one pickle.dump writes). Loading them
// with the standard unpickler would import and call whatever the file names, so records are read here
// instead: the reader accepts the opcodes of protocols 0 to 5 that build None, booleans, integers,
// floats, text, bytes, bytearrays, lists, tuples, dicts, sets and frozensets, with marks and the memo.
// Exactly two globals are accepted, each only as the callable of a REDUCE that builds plain data:
// `_codecs.encode(text, "latin1")`, which protocols 0 to 2 write for a bytes object (it builds the bytes),
// and `collections.OrderedDict()` (it builds a dict, filled by the SETITEM opcodes that follow). Every
// other global, every other call or object construction, and persistent or out-of-band data are refused:
// nothing the file says is ever looked up or run.
//
// Bounds: declared lengths are checked against the bytes left, memo indices against the size of the input (a
// file cannot hold more memo entries than bytes), long decimal integers of protocol 0 against the
// interpreter's own digit limit, and nesting against kMaxPickleDepth, so neither memory nor the stack of
// whoever builds the objects grows with what a record merely declares. What the memo shares counts as often
// as it is used: depth is that of the objects built, the hashing of dict keys and set members is bounded by
// the record's size (kPickleHashWorkAllowance) and in depth (kMaxPickleKeyDepth), and a `_codecs.encode` call
// repeated on one text gives the bytes made the first time, so all that the reader decodes stays within three
// times the file's size (protocol 0 text as UTF-8 is at most twice its line).
//
// The reader builds no Python objects: it returns a small graph of nodes (children by index, so shared
// and cyclic containers made through the memo are kept as such) whose text, bytes and big-integer
// payloads are views into the input buffer (or into the record's own storage, for values the reader had
// to decode), so a record's bytes are not copied here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::native {

struct PickleNode {
  enum class Kind {
    kNone,
    kBool,
    kInt,
    kBigInt,
    kFloat,
    kText,
    kBytes,
    kByteArray,
    kList,
    kTuple,
    kDict,
    kSet,
    kFrozenSet,
    kGlobal  // an accepted global while it is read; never part of a returned record
  };
  Kind kind = Kind::kNone;
  bool flag = false;         // kBool
  std::int64_t integer = 0;  // kInt
  double real = 0.0;         // kFloat
  // kText (UTF-8 as written, possibly with surrogates), kBytes, kByteArray, and kBigInt (little-endian
  // two's complement, as LONG1/LONG4 carry it).
  std::string_view data;
  // kList, kTuple, kSet, kFrozenSet: the items; kDict: key, value, key, value, ...
  std::vector<std::size_t> items;
};

struct PickleRecord {
  std::vector<PickleNode> nodes;
  std::size_t root = 0;
  // Payloads the reader decoded itself (protocol 0 text, bytes made by _codecs.encode, big decimal
  // integers); node views point into these. A deque keeps its elements in place when the record moves.
  std::deque<std::string> owned;
};

// The deepest nesting a record may have, counted in objects along the longest path of what it builds
// (the leaf included), however the memo shares them; containers that hold each other count as deep as
// they are many. Deeper records fail (kLimit) whatever the interpreter's recursion limit, so nothing
// that walks the objects recursively (hashing a tuple, printing) goes deeper than this.
inline constexpr std::size_t kMaxPickleDepth = 1000;

// How deep a dict key or set member may nest (tuples in tuples): hashing one recurses natively, with no
// check of the interpreter's, about 64 bytes of stack a level; this keeps it to a few KiB, a small part
// of even a small thread's stack. Deeper fails (kLimit).
inline constexpr std::size_t kMaxPickleKeyDepth = 100;

// What the hashing of a record's dict keys and set members may visit (a tuple's items, again each time
// the tuple is hashed) beyond one item per byte of the record; more fails (kLimit).
inline constexpr std::size_t kPickleHashWorkAllowance = std::size_t{1} << 16;

// Why a record could not be read. what() is the complete message.
class PickleReadError : public std::runtime_error {
 public:
  enum class Cause {
    kEndOfInput,  // no byte left where a record would start: "Ran out of input"
    kTruncated,   // the record ends early: "pickle data was truncated"
    kForbidden,   // an opcode that names a global or builds an object: "global 'os.system' is forbidden"
    kMalformed,   // anything else: an unknown opcode, a bad memo key, a stack underflow ...
    kLimit,       // a readable record beyond the reader's bounds: "pickle record nested deeper than ..."
  };
  PickleReadError(Cause cause, const std::string& message) : std::runtime_error(message), cause_(cause) {}
  Cause cause() const { return cause_; }

 private:
  Cause cause_;
};

// Reads the record that starts at `offset` in `data` and moves `offset` just past its STOP opcode.
// Data after the record is not looked at. Throws PickleReadError.
PickleRecord read_pickle_record(std::string_view data, std::size_t& offset);

// Consecutive records of one open file, read through a mapping that is safe against the file shrinking
// meanwhile: a page that is gone ends the read with kTruncated, never with a signal. A file that cannot be
// mapped is read whole. The descriptor stays the caller's; it must name a regular file.
class PickleFile {
 public:
  explicit PickleFile(int fd);  // std::system_error when the file cannot be read
  ~PickleFile();
  PickleFile(const PickleFile&) = delete;
  PickleFile& operator=(const PickleFile&) = delete;

  // The next record; kEndOfInput past the last one.
  PickleRecord next();
  // Copies a payload of a record of this file (data of a node) to `to`; kTruncated when the file shrank.
  // Safe to call without the interpreter's lock.
  void copy(std::string_view payload, char* to) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel::native
