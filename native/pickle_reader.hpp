// A restricted reader of pickle records: plain data only.
//
// Pickled checkpoints are consecutive pickle records (each what one pickle.dump writes). Loading them
// with the standard unpickler would import and call whatever the file names, so records are read here
// instead: the reader accepts the opcodes of binary protocols 2 to 5 that build None, booleans,
// integers, floats, text, bytes, bytearrays, lists, tuples, dicts, sets and frozensets, with marks and
// the memo. Every opcode that names a global, calls or builds an object, or refers to persistent or
// out-of-band data is refused: nothing the file says is ever looked up or run. Text-protocol (0 and 1)
// opcodes are refused too.
//
// The reader builds no Python objects: it returns a small graph of nodes (children by index, so shared
// and cyclic containers made through the memo are kept as such) whose text, bytes and big-integer
// payloads are views into the input buffer, so a record's bytes are not copied here.
#pragma once

#include <cstddef>
#include <cstdint>
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
    kFrozenSet
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
};

// Why a record could not be read. what() is the complete message.
class PickleReadError : public std::runtime_error {
 public:
  enum class Cause {
    kEndOfInput,  // no byte left where a record would start: "Ran out of input"
    kTruncated,   // the record ends early: "pickle data was truncated"
    kForbidden,   // an opcode that names a global or builds an object: "global 'os.system' is forbidden"
    kMalformed,   // anything else: an unknown opcode, a bad memo key, a stack underflow ...
  };
  PickleReadError(Cause cause, const std::string& message) : std::runtime_error(message), cause_(cause) {}
  Cause cause() const { return cause_; }

 private:
  Cause cause_;
};

// Reads the record that starts at `offset` in `data` and moves `offset` just past its STOP opcode.
// Data after the record is not looked at. Throws PickleReadError.
PickleRecord read_pickle_record(std::string_view data, std::size_t& offset);

}  // namespace ostrel::native
