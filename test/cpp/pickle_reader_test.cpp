#include "native/pickle_reader.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
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

std::string le32(std::size_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return out;
}

// The three shapes that the memo makes cheap to write and costly to build.
//
// A chain of `levels` one-item tuples, memoised every `link` levels, the tuple of all links as the key of
// a dict: each link is met early through that tuple, at a shallow depth.
std::string shared_chain(std::size_t levels, std::size_t link) {
  std::string d = "\x80\x04)";
  std::size_t links = 0;
  for (std::size_t n = 0; n < levels; n += link, ++links)
    d += std::string(std::min(link, levels - n), '\x85') + "\x94";
  d += "0}(";
  for (std::size_t i = 0; i < links; ++i) d += "j" + le32(i);
  return d + "tK\x01s.";
}

// T(i+1) = (T(i), T(i)) through the memo (BINPUT i, BINGET i, TUPLE2: 5 bytes a level), T(levels) as the
// key of a dict, or a member of a set or a frozenset.
std::string doubling(std::size_t levels, const std::string& open = "}",
                     const std::string& close = "K\x01s.") {
  std::string d = "\x80\x04" + open + ")";
  for (std::size_t i = 0; i < levels; ++i)
    d += std::string("q") + static_cast<char>(i) + "h" + static_cast<char>(i) + "\x86";
  return d + close;
}

// A list of `calls` results of _codecs.encode(text, "latin1") on one memoised text of `size` bytes:
// BINGET BINGET REDUCE, 5 bytes a call.
std::string repeated_encode(std::size_t size, std::size_t calls) {
  std::string d = std::string("\x80\x02\x63_codecs\nencode\nq\x00X", 21) + le32(size) +
                  std::string(size, 'a') + "X" + le32(6) + "latin1\x86q\x01" "00](";
  for (std::size_t i = 0; i < calls; ++i) d += std::string("h\x00h\x01R", 5);
  return d + "e.";
}

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

std::string forbidden_message(const std::string& data) {
  std::size_t offset = 0;
  try {
    read_pickle_record(data, offset);
  } catch (const PickleReadError& e) {
    EXPECT_EQ(e.cause(), Cause::kForbidden);
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return {};
}

TEST(PickleReader, AForbiddenGlobalsNameIsShownEscapedAndCutShort) {
  // STACK_GLOBAL of two SHORT_BINUNICODE texts, which the reader takes as they are written
  auto stack_global = [](const std::string& module, const std::string& name) {
    return "\x80\x04\x8c" + std::string(1, static_cast<char>(module.size())) + module + "\x8c" +
           std::string(1, static_cast<char>(name.size())) + name + "\x93.";
  };
  EXPECT_EQ(forbidden_message(stack_global("os", "sys\xff\xfetem")), "global 'os.sys\\xff\\xfetem' is forbidden");
  EXPECT_EQ(forbidden_message(stack_global("a\nb", "\x1b[2K'\\\t\x7f")),
            "global 'a\\nb.\\x1b[2K\\'\\\\\\t\\x7f' is forbidden");
  EXPECT_EQ(forbidden_message("c" + std::string(200, 'm') + "\nf\n."),
            "global '" + std::string(80, 'm') + "'... is forbidden");
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
  EXPECT_EQ(cause_of(nested(ostrel::native::kMaxPickleDepth + 1)), Cause::kLimit);
  EXPECT_EQ(cause_of(nested(100000)), Cause::kLimit);
  // a list that holds itself is not deep
  offset = 0;
  auto r = read_pickle_record(std::string("\x80\x04]\x94h\x00\x61.", 8), offset);
  EXPECT_EQ(r.nodes[r.root].items[0], r.root);
}

// A file that cannot be mapped (a pipe's end is not regular, so /proc's size-0 files stand for it) is
// read in blocks; on a thread whose stack is 64 KiB, as small as the interpreter lets a thread be.
TEST(PickleFileTest, AFileReadInBlocksOnASmallThreadStack) {
  const int fd = ::open("/proc/self/stat", O_RDONLY);
  ASSERT_GE(fd, 0);
  pthread_attr_t attr;
  ASSERT_EQ(::pthread_attr_init(&attr), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attr, 64 << 10), 0);
  struct Run {
    int fd;
    std::string error;
  } run{fd, {}};
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* r = static_cast<Run*>(arg);
    try {
      PickleFile file(r->fd);
      file.next();
    } catch (const PickleReadError& e) {
      r->error = e.what();
    }
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attr, body, &run), 0);
  ::pthread_join(thread, nullptr);
  ::pthread_attr_destroy(&attr);
  ::close(fd);
  EXPECT_FALSE(run.error.empty());  // the text of /proc/self/stat is no pickle record
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

TEST(PickleReader, DepthIsThatOfWhatIsBuiltHoweverTheMemoSharesIt) {
  // a chain 10**6 deep whose links are met first at a depth of at most 901
  EXPECT_EQ(cause_of(shared_chain(1000000, 900)), Cause::kLimit);
  EXPECT_EQ(cause_of(shared_chain(1001, 900)), Cause::kLimit);
  // 998 tuples, the empty one included, in a tuple in a dict: 1000 objects deep, but too deep for a key
  std::size_t offset = 0;
  auto as_value = [](std::string record) { return record.replace(record.size() - 5, 5, "t."); };  // no dict
  EXPECT_NO_THROW(read_pickle_record(as_value(shared_chain(997, 900)), offset));
  EXPECT_EQ(cause_of(shared_chain(997, 900)), Cause::kLimit);
  // a key of 99 tuples, the empty one included, in a tuple: 100 levels to hash
  offset = 0;
  EXPECT_NO_THROW(read_pickle_record(shared_chain(98, 900), offset));
  EXPECT_EQ(cause_of(shared_chain(99, 900)), Cause::kLimit);
  // lists that hold each other count as deep as they are many: [a], a = [b], b = [a], ...
  auto ring = [](std::size_t size) {
    std::string d = "\x80\x04";
    for (std::size_t i = 0; i < size; ++i) d += "]\x94";  // list i is memo i
    for (std::size_t i = 0; i < size; ++i) d += "j" + le32(i) + "j" + le32((i + 1) % size) + "a0";
    return d + "0" + std::string(size - 1, '0') + "j" + le32(0) + ".";
  };
  offset = 0;
  EXPECT_NO_THROW(read_pickle_record(ring(1000), offset));
  EXPECT_EQ(cause_of(ring(1001)), Cause::kLimit);
}

TEST(PickleReader, HashingWorkIsBoundedByTheRecordsSize) {
  // T(60) as a dict key: 310 bytes, and 2**61 items to hash
  const std::string t60 = doubling(60);
  EXPECT_LT(t60.size(), 400u);
  EXPECT_EQ(cause_of(t60), Cause::kLimit);
  EXPECT_EQ(cause_of(doubling(60, "(", "\x91.")), Cause::kLimit);          // in a frozenset
  EXPECT_EQ(cause_of(doubling(60, "\x8f(", "\x90.")), Cause::kLimit);     // in a set
  // as a plain value it is never hashed
  std::size_t at = 0;
  EXPECT_NO_THROW(read_pickle_record(doubling(60, "}K\x01", "s."), at));
  // T(15) costs 65535 items, within the allowance; a key that shares nothing costs its size
  std::size_t offset = 0;
  EXPECT_NO_THROW(read_pickle_record(doubling(15), offset));
  EXPECT_EQ(cause_of(doubling(17)), Cause::kLimit);
  offset = 0;
  std::string wide = "\x80\x04}(";
  for (int i = 0; i < 100000; ++i) wide += "N";
  EXPECT_NO_THROW(read_pickle_record(wide + "tK\x01s.", offset));
}

TEST(PickleReader, ATextEncodedAgainThroughTheMemoIsDecodedOnce) {
  const std::string data = repeated_encode(1 << 20, 2000);
  std::size_t offset = 0;
  auto r = read_pickle_record(data, offset);
  const PickleNode& list = r.nodes[r.root];
  ASSERT_EQ(list.items.size(), 2000u);
  for (std::size_t item : list.items) EXPECT_EQ(item, list.items[0]);
  EXPECT_EQ(r.nodes[list.items[0]].data, std::string(1 << 20, 'a'));
  std::size_t decoded = 0;
  for (const std::string& owned : r.owned) decoded += owned.size();
  EXPECT_LT(decoded, data.size());
}

// Mutations of records (valid ones and the memo shapes above) read like any input: every result is an
// error of the reader or a record within its bounds. Runs under ASan+UBSan in `make asan`.
TEST(PickleReaderFuzz, MutatedRecordsEndInAnErrorOrABoundedRecord) {
  const std::vector<std::string> seeds = {
      kBytesRecord,
      shared_chain(3000, 900),
      shared_chain(990, 300),
      doubling(40),
      doubling(12),
      repeated_encode(4096, 64),
      std::string("(dp0\nVa\np1\nc_codecs\nencode\np2\n(V\\u0000\xff\np3\nVlatin1\np4\ntp5\nRp6\ns.", 64),
      std::string("\x80\x04\x95\x37\x00\x00\x00\x00\x00\x00\x00\x8c\x0b\x63ollections\x94\x8c\x0bOrderedDict\x94"
                  "\x93\x94)R\x94(\x8c\x06\x65ngine\x94\x43\x01\x45\x94\x8c\x01n\x94K\x01u.",
                  66),
  };
  const std::string opcodes = "hjqr\x94\x85\x86\x87t(2a e s u\x90\x91R0]}).";
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  auto random = [&state](std::uint64_t bound) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return bound == 0 ? 0 : state % bound;
  };
  std::size_t read = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string data = seeds[random(seeds.size())];
    for (int edits = 1 + static_cast<int>(random(4)); edits > 0 && !data.empty(); --edits) {
      const std::size_t at = random(data.size());
      switch (random(6)) {
        case 0: data[at] = static_cast<char>(random(256)); break;
        case 1: data[at] = opcodes[random(opcodes.size())]; break;
        case 2: data.insert(at, 1, opcodes[random(opcodes.size())]); break;
        case 3: data.erase(at, 1 + random(8)); break;
        case 4: data.insert(at, data.substr(random(data.size()), 1 + random(16))); break;
        default: data.resize(at); break;
      }
    }
    std::size_t offset = 0;
    try {
      while (offset < data.size()) {
        const auto r = read_pickle_record(data, offset);
        ++read;
        ASSERT_LT(r.root, r.nodes.size());
        std::size_t decoded = 0;
        for (const std::string& owned : r.owned) decoded += owned.size();
        ASSERT_LE(decoded, 3 * data.size() + 16);
        for (std::size_t i = 0; i < r.nodes.size(); ++i) {
          const PickleNode& n = r.nodes[i];
          const bool immutable = n.kind == Kind::kTuple || n.kind == Kind::kFrozenSet;
          for (std::size_t item : n.items) {
            ASSERT_LT(item, r.nodes.size());
            if (immutable) {
              ASSERT_LT(item, i);  // what the conversion to objects relies on
            }
          }
        }
      }
    } catch (const PickleReadError&) {
    }
  }
  EXPECT_GT(read, 0u);
}
