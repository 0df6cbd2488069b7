#include "native/pickle_reader.hpp"

#include <gtest/gtest.h>

#include <string>

using ostrel::native::PickleNode;
using ostrel::native::PickleReadError;
using ostrel::native::read_pickle_record;
using Kind = PickleNode::Kind;
using Cause = PickleReadError::Cause;

namespace {

// pickle.dumps(b"abc", protocol=4)
const std::string kBytesRecord("\x80\x04\x95\x07\x00\x00\x00\x00\x00\x00\x00\x43\x03\x61\x62\x63\x94\x2e",
                               18);

Cause cause_of(const std::string& data) {
  std::size_t offset = 0;
  try {
    read_pickle_record(data, offset);
  } catch (const PickleReadError& e) {
    return e.cause();
  }
  ADD_FAILURE() << "no error";
  return Cause::kMalformed;
}

}  // namespace

TEST(PickleReader, ConsecutiveRecordsThenEndOfInput) {
  std::string data = kBytesRecord + kBytesRecord;
  std::size_t offset = 0;
  for (int i = 0; i < 2; ++i) {
    auto r = read_pickle_record(data, offset);
    EXPECT_EQ(r.nodes[r.root].kind, Kind::kBytes);
    EXPECT_EQ(r.nodes[r.root].data, "abc");
  }
  EXPECT_EQ(offset, data.size());
  try {
    read_pickle_record(data, offset);
    FAIL();
  } catch (const PickleReadError& e) {
    EXPECT_EQ(e.cause(), Cause::kEndOfInput);
    EXPECT_STREQ(e.what(), "Ran out of input");
  }
}

TEST(PickleReader, PlainContainersWithSharedMemoEntries) {
  // pickle.dumps({"k": (l, l, 2**70, -5, 1.5, None, True, "é")}, protocol=4) with l = [1]
  const std::string data(
      "\x80\x04\x95\x32\x00\x00\x00\x00\x00\x00\x00\x7d\x94\x8c\x01\x6b\x94\x28\x5d\x94\x4b\x01\x61\x68\x02"
      "\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x00\x40\x4a\xfb\xff\xff\xff\x47\x3f\xf8\x00\x00\x00\x00\x00\x00"
      "\x4e\x88\x8c\x02\xc3\xa9\x94\x74\x94\x73\x2e",
      61);
  std::size_t offset = 0;
  auto r = read_pickle_record(data, offset);
  const PickleNode& dict = r.nodes[r.root];
  ASSERT_EQ(dict.kind, Kind::kDict);
  ASSERT_EQ(dict.items.size(), 2u);
  EXPECT_EQ(r.nodes[dict.items[0]].data, "k");
  const PickleNode& tuple = r.nodes[dict.items[1]];
  ASSERT_EQ(tuple.kind, Kind::kTuple);
  ASSERT_EQ(tuple.items.size(), 8u);
  EXPECT_EQ(tuple.items[0], tuple.items[1]);  // the same list twice
  EXPECT_EQ(r.nodes[tuple.items[0]].items.size(), 1u);
  EXPECT_EQ(r.nodes[tuple.items[2]].kind, Kind::kBigInt);
  EXPECT_EQ(r.nodes[tuple.items[3]].integer, -5);
  EXPECT_EQ(r.nodes[tuple.items[4]].real, 1.5);
  EXPECT_EQ(r.nodes[tuple.items[5]].kind, Kind::kNone);
  EXPECT_TRUE(r.nodes[tuple.items[6]].flag);
  EXPECT_EQ(r.nodes[tuple.items[7]].data, "\xc3\xa9");
}

TEST(PickleReader, GlobalsAreRefusedBeforeAnythingIsLookedUp) {
  // pickle.dumps(os.system, protocol=2) and protocol=4
  const std::string global("\x80\x02\x63posix\nsystem\n\x71\x00\x2e", 19);
  const std::string stack_global(
      "\x80\x04\x95\x14\x00\x00\x00\x00\x00\x00\x00\x8c\x05posix\x94\x8c\x06system\x94\x93\x94\x2e", 31);
  for (const std::string& data : {global, stack_global}) {
    std::size_t offset = 0;
    try {
      read_pickle_record(data, offset);
      FAIL();
    } catch (const PickleReadError& e) {
      EXPECT_EQ(e.cause(), Cause::kForbidden);
      EXPECT_STREQ(e.what(), "global 'posix.system' is forbidden");
    }
  }
  EXPECT_EQ(cause_of(std::string("\x80\x04N)R.", 6)), Cause::kForbidden);  // REDUCE
}

TEST(PickleReader, DamagedRecords) {
  EXPECT_EQ(cause_of(kBytesRecord.substr(0, 14)), Cause::kTruncated);
  EXPECT_EQ(cause_of(std::string("\x80\x04\x43\xff", 4)), Cause::kTruncated);  // length past the end
  EXPECT_EQ(cause_of("garbage"), Cause::kMalformed);
  EXPECT_EQ(cause_of(std::string("\x80\x04\x68\x05.", 5)), Cause::kMalformed);  // memo key never set
  EXPECT_EQ(cause_of(std::string("\x80\x04\x61.", 4)), Cause::kMalformed);      // APPEND on empty stack
  EXPECT_EQ(cause_of(std::string("\x80\x04.", 3)), Cause::kMalformed);          // STOP with nothing
}
