#include "native/pickle_reader.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

using ostrel::native::PickleFile;
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
  EXPECT_EQ(cause_of("\xfegarbage"), Cause::kMalformed);
  EXPECT_EQ(cause_of(std::string("\x80\x04\x68\x05.", 5)), Cause::kMalformed);  // memo key never set
  EXPECT_EQ(cause_of(std::string("\x80\x04\x61.", 4)), Cause::kMalformed);      // APPEND on empty stack
  EXPECT_EQ(cause_of(std::string("\x80\x04.", 3)), Cause::kMalformed);          // STOP with nothing
}

TEST(PickleReader, BytesOfEveryProtocolReadTheSame) {
  // pickle.dumps({"a": b"\x00\xff"}, protocol=p) for p = 0..5; 0 to 2 go through _codecs.encode
  const std::vector<std::string> records = {
      std::string("(dp0\nVa\np1\nc_codecs\nencode\np2\n(V\\u0000\xff\np3\nVlatin1\np4\ntp5\nRp6\ns.", 64),
      std::string("}q\x00X\x01\x00\x00\x00" "aq\x01\x63_codecs\nencode\nq\x02(X\x03\x00\x00\x00\x00\xc3\xbfq\x03"
                  "X\x06\x00\x00\x00latin1q\x04tq\x05Rq\x06s.",
                  61),
      std::string("\x80\x02}q\x00X\x01\x00\x00\x00" "aq\x01\x63_codecs\nencode\nq\x02X\x03\x00\x00\x00\x00\xc3\xbf"
                  "q\x03X\x06\x00\x00\x00latin1q\x04\x86q\x05Rq\x06s.",
                  62),
      std::string("\x80\x03}q\x00X\x01\x00\x00\x00" "aq\x01\x43\x02\x00\xffq\x02s.", 21),
      std::string("\x80\x04\x95\x0d\x00\x00\x00\x00\x00\x00\x00}\x94\x8c\x01\x61\x94\x43\x02\x00\xff\x94s.", 24),
      std::string("\x80\x05\x95\x0d\x00\x00\x00\x00\x00\x00\x00}\x94\x8c\x01\x61\x94\x43\x02\x00\xff\x94s.", 24),
  };
  for (std::size_t p = 0; p < records.size(); ++p) {
    SCOPED_TRACE("protocol " + std::to_string(p));
    std::size_t offset = 0;
    auto r = read_pickle_record(records[p], offset);
    EXPECT_EQ(offset, records[p].size());
    const PickleNode& dict = r.nodes[r.root];
    ASSERT_EQ(dict.kind, Kind::kDict);
    ASSERT_EQ(dict.items.size(), 2u);
    EXPECT_EQ(r.nodes[dict.items[0]].kind, Kind::kText);
    EXPECT_EQ(r.nodes[dict.items[0]].data, "a");
    EXPECT_EQ(r.nodes[dict.items[1]].kind, Kind::kBytes);
    EXPECT_EQ(r.nodes[dict.items[1]].data, std::string("\x00\xff", 2));
  }
}

TEST(PickleReader, OrderedDictBuildsADict) {
  // pickle.dumps(OrderedDict([("engine", b"E"), ("n", 1)]), protocol=0, 2 and 4)
  const std::vector<std::string> records = {
      std::string("ccollections\nOrderedDict\np0\n(tRp1\nVengine\np2\nc_codecs\nencode\np3\n(VE\np4\nVlatin1\n"
                  "p5\ntp6\nRp7\nsVn\np8\nI1\ns."),
      std::string("\x80\x02" "ccollections\nOrderedDict\nq\x00)Rq\x01(X\x06\x00\x00\x00" "engineq\x02\x63_codecs\n"
                  "encode\nq\x03X\x01\x00\x00\x00\x45q\x04X\x06\x00\x00\x00latin1q\x05\x86q\x06Rq\x07X\x01\x00"
                  "\x00\x00nq\x08K\x01u.",
                  104),
      std::string("\x80\x04\x95\x37\x00\x00\x00\x00\x00\x00\x00\x8c\x0b\x63ollections\x94\x8c\x0bOrderedDict\x94"
                  "\x93\x94)R\x94(\x8c\x06\x65ngine\x94\x43\x01\x45\x94\x8c\x01n\x94K\x01u.",
                  66),
  };
  for (const std::string& data : records) {
    std::size_t offset = 0;
    auto r = read_pickle_record(data, offset);
    const PickleNode& dict = r.nodes[r.root];
    ASSERT_EQ(dict.kind, Kind::kDict);
    ASSERT_EQ(dict.items.size(), 4u);
    EXPECT_EQ(r.nodes[dict.items[0]].data, "engine");
    EXPECT_EQ(r.nodes[dict.items[1]].kind, Kind::kBytes);
    EXPECT_EQ(r.nodes[dict.items[1]].data, "E");
    EXPECT_EQ(r.nodes[dict.items[3]].integer, 1);
  }
}

TEST(PickleReader, OnlyTheTwoAcceptedCallsRun) {
  const std::vector<std::string> refused = {
      // os.system("true") through a reduce, protocols 0, 2 and 4
      std::string("cposix\nsystem\np0\n(Vtrue\np1\ntp2\nRp3\n."),
      std::string("\x80\x02\x63posix\nsystem\nq\x00X\x04\x00\x00\x00trueq\x01\x85q\x02Rq\x03.", 36),
      std::string("\x80\x04\x95\x1f\x00\x00\x00\x00\x00\x00\x00\x8c\x05posix\x94\x8c\x06system\x94\x93\x94\x8c"
                  "\x04true\x94\x85\x94R\x94.",
                  42),
      std::string("c_codecs\nencode\n(Vx\nVutf8\ntR."),            // another encoding
      std::string("c_codecs\nencode\n(Vx\nVlatin1\nVstrict\ntR."),  // a further argument
      std::string("ccollections\nOrderedDict\n((lp0\ntR."),         // arguments to OrderedDict
      std::string("c_codecs\nencode\n."),                           // the function itself, not called
      std::string("(c_codecs\nencode\nl."),                         // ... or inside a container
      std::string("ccollections\ndefaultdict\n(tR."),
  };
  for (const std::string& data : refused) {
    SCOPED_TRACE(data);
    EXPECT_EQ(cause_of(data), Cause::kForbidden);
  }
  EXPECT_EQ(cause_of("c_codecs\nencode\n(V\\u20ac\nVlatin1\ntR."), Cause::kMalformed);  // not Latin-1
}

TEST(PickleReader, TextProtocolScalars) {
  // pickle.dumps([-2**70, 2**70, 1.5, "é\\\n€", -5, True], protocol=0)
  const std::string data(
      "(lp0\nL-1180591620717411303424L\naL1180591620717411303424L\naF1.5\naV\xe9\\u005c\\u000a\\u20ac\np1\naI-5\n"
      "aI01\na.");
  std::size_t offset = 0;
  auto r = read_pickle_record(data, offset);
  const PickleNode& list = r.nodes[r.root];
  ASSERT_EQ(list.items.size(), 6u);
  // little-endian two's complement: 2**70 is 0x40 in byte 8
  EXPECT_EQ(r.nodes[list.items[1]].data.substr(0, 9), std::string("\0\0\0\0\0\0\0\0\x40", 9));
  EXPECT_EQ(r.nodes[list.items[0]].data.substr(0, 9), std::string("\0\0\0\0\0\0\0\0\xc0", 9));
  EXPECT_EQ(r.nodes[list.items[2]].real, 1.5);
  EXPECT_EQ(r.nodes[list.items[3]].data, "\xc3\xa9\\\n\xe2\x82\xac");
  EXPECT_EQ(r.nodes[list.items[4]].integer, -5);
  EXPECT_EQ(r.nodes[list.items[5]].kind, Kind::kBool);
  EXPECT_EQ(cause_of("L" + std::string(5000, '9') + "\n."), Cause::kMalformed);  // the digit limit
}

TEST(PickleReader, WhatARecordDeclaresIsBoundedByItsSize) {
  // LONG_BINPUT 2**28 in a 9-byte record: refused, nothing reserved
  EXPECT_EQ(cause_of(std::string("\x80\x04K\x00r\x00\x00\x00\x10.", 10)), Cause::kMalformed);
  EXPECT_EQ(cause_of("I1\np99999999999\n."), Cause::kMalformed);
  // BINBYTES8 declaring 2**62 bytes
  EXPECT_EQ(cause_of(std::string("\x80\x04\x8e\x00\x00\x00\x00\x00\x00\x00\x40.", 12)), Cause::kTruncated);
}

TEST(PickleReader, DepthIsLimitedByTheReaderItself) {
  auto nested = [](std::size_t depth) {
    std::string data = "\x80\x04";
    for (std::size_t i = 0; i < depth; ++i) data += "]";
    for (std::size_t i = 1; i < depth; ++i) data += "a";
    return data + ".";
  };
  std::size_t offset = 0;
  EXPECT_NO_THROW(read_pickle_record(nested(ostrel::native::kMaxPickleDepth), offset));
  EXPECT_EQ(cause_of(nested(ostrel::native::kMaxPickleDepth + 1)), Cause::kMalformed);
  EXPECT_EQ(cause_of(nested(100000)), Cause::kMalformed);
  // a list that holds itself is not deep
  offset = 0;
  auto r = read_pickle_record(std::string("\x80\x04]\x94h\x00\x61.", 8), offset);
  EXPECT_EQ(r.nodes[r.root].items[0], r.root);
}

TEST(PickleFileTest, AFileThatShrinksEndsInTruncatedNotASignal) {
  char path[] = "/tmp/pickle_reader_testXXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  // two records: 4 bytes, then 1 MiB of bytes
  std::string data = std::string("\x80\x04K\x07.", 5);
  const std::size_t n = 1 << 20;
  data += std::string("\x80\x04\x42", 3) + std::string(reinterpret_cast<const char*>(&n), 4) + std::string(n, 'x') + ".";
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  {
    PickleFile file(fd);
    EXPECT_EQ(file.next().nodes.back().integer, 7);
    auto r = file.next();
    ASSERT_EQ(r.nodes[r.root].data.size(), n);
    ASSERT_EQ(::ftruncate(fd, 4096), 0);
    std::string out(n, '\0');
    try {
      file.copy(r.nodes[r.root].data, out.data());
      FAIL();
    } catch (const PickleReadError& e) {
      EXPECT_EQ(e.cause(), Cause::kTruncated);
    }
  }
  {
    ASSERT_EQ(::ftruncate(fd, 0), 0);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    PickleFile file(fd);
    file.next();
    ASSERT_EQ(::ftruncate(fd, 4100), 0);  // inside the second record's header page
    try {
      file.next();  // the second record: the reader's own accesses are guarded too
      FAIL();
    } catch (const PickleReadError& e) {
      EXPECT_EQ(e.cause(), Cause::kTruncated);
    }
  }
  ::close(fd);
}
