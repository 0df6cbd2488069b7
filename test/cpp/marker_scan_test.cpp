#include "native/marker_scan.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;
using ostrel::native::decide_framework;
using ostrel::native::framework_marker_table;
using ostrel::native::FrameworkMarkers;
using ostrel::native::MarkerScanError;
using ostrel::native::MarkerSet;
using ostrel::native::ScanEngine;
using ostrel::native::vector_engine_available;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string templ = (fs::temp_directory_path() / "marker_scan_XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> all_table_markers() {
  std::vector<std::string> markers;
  for (const auto& entry : framework_marker_table())
    markers.insert(markers.end(), entry.markers.begin(), entry.markers.end());
  return markers;
}

// Random bytes of any value.
std::string noise(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

// Random bytes that are never printable, so no marker can form by chance.
std::string inert(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(0x80 | (rng() & 0x7f));
  return s;
}

// Random printable text (including tab and blank), in an alphabet that shares letters with the markers.
std::string text(std::mt19937_64& rng, std::size_t n) {
  static const std::string alphabet = "\t _.@<>*+Zabceiklnoprstvxy0123TFL";
  std::string s(n, ' ');
  for (auto& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

// Detection over the built-in table: the detected framework's value text, or nullopt.
std::optional<std::string> detect_framework(const fs::path& path, bool require_all_strings = false) {
  const ostrel::native::CompiledTable table(framework_marker_table(), require_all_strings);
  const auto index = table.detect(path);
  if (!index) return std::nullopt;
  return table.table()[*index].framework;
}

std::vector<ScanEngine> engines() {
  std::vector<ScanEngine> list = {ScanEngine::kAhoCorasick};
  if (vector_engine_available()) list.push_back(ScanEngine::kVector);
  if (ostrel::native::wide_vector_engine_available()) list.push_back(ScanEngine::kWideVector);
  if (ostrel::native::byte_table_engine_available()) list.push_back(ScanEngine::kByteTable);
  return list;
}

std::vector<bool> naive_scan(const std::vector<std::string>& markers, const std::string& data) {
  std::vector<bool> found;
  for (const auto& m : markers) found.push_back(data.find(m) != std::string::npos);
  return found;
}

// ---- the strings | grep pipeline --------------------------------------------------------------------------

std::string shell_quote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool have_program(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

struct GrepRun {
  int status;  // grep's exit status
  std::string output;
};

// `strings FILE | grep PATTERN` where PATTERN is the entry's markers joined by "\|", as detection ran it.
GrepRun run_pipeline(const fs::path& file, const std::vector<std::string>& markers) {
  std::string pattern;
  for (std::size_t i = 0; i < markers.size(); ++i) pattern += (i ? "\\|" : "") + markers[i];
  const std::string command = "strings " + shell_quote(file.string()) + " | grep " + shell_quote(pattern);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  GrepRun run{-1, {}};
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, got);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// What the pipeline says about one file: per table marker whether it is reported (grep succeeded for its
// entry and the marker is a substring of grep's output), and the detection in both modes, following the
// original search loop entry by entry.
struct PipelineView {
  std::vector<bool> reported;              // in all_table_markers() order
  std::optional<std::string> detected[2];  // [require_all_strings]
};

PipelineView pipeline_view(const fs::path& file) {
  PipelineView view;
  bool settled[2] = {false, false};
  for (const auto& entry : framework_marker_table()) {
    const GrepRun run = run_pipeline(file, entry.markers);
    for (const auto& m : entry.markers)
      view.reported.push_back(run.status == 0 && run.output.find(m) != std::string::npos);
    if (run.status != 0) continue;
    for (int all = 0; all < 2; ++all) {
      if (settled[all]) continue;
      bool all_found = true;
      for (const auto& m : entry.markers) {
        if (run.output.find(m) == std::string::npos) {
          all_found = false;
          break;
        }
        if (!all) break;  // the first marker alone decides
      }
      if (all_found) {
        view.detected[all] = entry.framework;
        settled[all] = true;
      }
    }
  }
  return view;
}

std::string describe(const std::optional<std::string>& framework) { return framework.value_or("<none>"); }

// Compares the native scan and detection with the pipeline for each file (the pipelines run in parallel).
void expect_same_as_pipeline(const std::vector<fs::path>& files) {
  std::vector<std::future<PipelineView>> views;
  const unsigned workers = std::max(2u, std::thread::hardware_concurrency());
  std::vector<PipelineView> results(files.size());
  for (std::size_t start = 0; start < files.size(); start += workers) {
    views.clear();
    for (std::size_t i = start; i < std::min(files.size(), start + workers); ++i)
      views.push_back(std::async(std::launch::async, pipeline_view, files[i]));
    for (std::size_t i = 0; i < views.size(); ++i) results[start + i] = views[i].get();
  }

  const std::vector<std::string> markers = all_table_markers();
  const MarkerSet set(markers);
  for (std::size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE("file " + files[f].string());
    const PipelineView& view = results[f];
    for (ScanEngine engine : engines()) {
      const std::vector<bool> found = set.scan_file(files[f], engine);
      for (std::size_t i = 0; i < markers.size(); ++i)
        EXPECT_EQ(found[i], view.reported[i]) << "marker '" << markers[i] << "', engine " << int(engine);
    }
    for (int all = 0; all < 2; ++all)
      EXPECT_EQ(describe(detect_framework(files[f], all != 0)), describe(view.detected[all]))
          << "require_all_strings " << all;
  }
}

// The generated corpus: every table marker alone in several placements, broken markers, regular-expression
// look-alikes, random combinations and an empty file.
std::vector<fs::path> build_corpus(const fs::path& dir) {
  std::mt19937_64 rng(20240611);
  std::vector<fs::path> files;
  auto add = [&](const std::string& name, const std::string& bytes) {
    files.push_back(dir / name);
    write_file(files.back(), bytes);
  };
  add("empty", "");

  const std::vector<std::string> markers = all_table_markers();
  for (std::size_t k = 0; k < markers.size(); ++k) {
    const std::string& m = markers[k];
    const std::string id = "m" + std::to_string(k);
    add(id + "_alone", m);
    add(id + "_start", m + noise(rng, 5000));
    add(id + "_end", noise(rng, 5000) + m);
    // Straddling the first page boundary by 1..len-1 bytes.
    const std::size_t before = 1 + k % (m.size() - 1);
    add(id + "_page", noise(rng, 4096 - before) + m + noise(rng, 3000));
    // Inside a printable run of about 18 KiB that crosses pages.
    add(id + "_run", noise(rng, 1000) + text(rng, 9000) + m + text(rng, 9000) + noise(rng, 1000));
    // Exactly one run, delimited by non-printable bytes of several kinds.
    add(id + "_exact",
        noise(rng, 777) + "\n" + m + "\x7f" + noise(rng, 300) + "\r" + m + "\xff" + noise(rng, 10));

    // Every way of breaking the marker with a byte that strings does not print: inserted and substituted.
    static const std::string breakers = std::string("\0\n\r\x0b\x0c\x7f\x80\xff", 8);
    std::string broken;
    for (std::size_t pos = 1; pos < m.size(); ++pos) {
      const char b = breakers[pos % breakers.size()];
      broken += text(rng, 3) + m.substr(0, pos) + b + m.substr(pos) + text(rng, 3) + '\0';
      broken += text(rng, 3) + m.substr(0, pos) + b + m.substr(pos + 1) + text(rng, 3) + '\0';
    }
    add(id + "_broken", noise(rng, 100) + broken + noise(rng, 100));
  }

  // Strings that only the regular expressions match, alone and next to other markers of their entry.
  const std::vector<std::string> lookalikes = {
      "onnxX",         "onnx\t",       "onnx",         "valu",     "valueee", "Xsource",
      "source",        "apple_coreml", "PTRT+",        "ptrt",     "ptrtt",   "ZZZZZZZZZZZZZ",
      "<framework",    "<framework\t", "<mapping",     "tfl2",     "TFL",     "__torch_",
      "Keras_version", "converted",    "kernel_shape", "dilations"};
  for (std::size_t k = 0; k < lookalikes.size(); ++k)
    add("lookalike" + std::to_string(k), noise(rng, 2000) + "\0"s + lookalikes[k] + "\0"s + noise(rng, 2000));
  add("lookalike_onnx_gate", inert(rng, 100) + "onnxX axis pads@" + inert(rng, 100));
  add("lookalike_coreml_gate", inert(rng, 100) + "Xsource" + inert(rng, 100) + "apple.coreml");
  add("lookalike_value", inert(rng, 100) + "onnx.valuevalu" + inert(rng, 100) + "value*");
  add("source_at_line_start", inert(rng, 10) + "\0.sourc"s + inert(rng, 10) + "\0source\0"s + inert(rng, 10));

  // Cases that decide between entries.
  add("tflite_all", inert(rng, 50) + "TFL2\0TFL3\0Converted\0serving_default"s + inert(rng, 50));
  add("tflite_tfl3_only", inert(rng, 50) + "TFL3" + inert(rng, 50));
  add("keras_version_only", inert(rng, 50) + "keras_version" + inert(rng, 50));
  add("onnx_without_first", inert(rng, 50) + "axis pads@ strides@" + inert(rng, 50));
  add("trt_and_onnx", "onnx." + inert(rng, 50) + "ptrt+");
  std::string everything;
  for (const auto& m : markers) everything += m + inert(rng, 7);
  add("everything", everything);
  for (std::size_t k = 0; k < markers.size(); ++k) {  // every marker but one
    std::string body;
    for (std::size_t j = 0; j < markers.size(); ++j)
      if (j != k) body += noise(rng, 40) + markers[j];
    add("all_but_m" + std::to_string(k), body);
  }
  for (int k = 0; k < 30; ++k) {  // random subsets in random surroundings
    std::string body = noise(rng, rng() % 5000);
    const std::size_t count = rng() % 8;
    for (std::size_t j = 0; j < count; ++j) {
      body += markers[rng() % markers.size()];
      body += rng() % 2 ? noise(rng, rng() % 3000) : text(rng, rng() % 3000);
    }
    add("random" + std::to_string(k), body);
  }
  add("big_text", text(rng, 300000) + "keras_version" + text(rng, 300000));
  return files;
}

// ---- marker rules -----------------------------------------------------------------------------------------

TEST(MarkerSetTest, RejectsMarkersWhoseMeaningTheGrepPatternWouldChange) {
  // marker, how the message shows it
  const std::vector<std::pair<std::string, std::string>> bad = {{"", ""},
                                                                {"abc", "abc"},
                                                                {"ab\0d"s, "ab\\x00d"},
                                                                {"abc\n", "abc\\x0a"},
                                                                {"abc\xe9", "abc\\xe9"},
                                                                {"ab\\|c", "ab\\|c"},
                                                                {"a[b]c", "a[b]c"},
                                                                {"ab*c", "ab*c"},
                                                                {"*abc", "*abc"},
                                                                {"^abcd", "^abcd"},
                                                                {"abcd$", "abcd$"},
                                                                {"-abcd", "-abcd"}};
  for (const auto& [marker, shown] : bad) {
    try {
      MarkerSet set({"onnx.", marker});
      ADD_FAILURE() << "accepted '" << shown << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).rfind("invalid marker '" + shown + "': ", 0), 0u) << e.what();
    }
  }
  // The table's own shapes are accepted: '.', a trailing '*', '+', '@', '<', '>', a trailing blank, a tab.
  EXPECT_NO_THROW(
      MarkerSet({"value*", ".source", "ptrt+", "kernel_shape@", "<mapping>", "<framework ", "a\tbc"}));
}

TEST(MarkerSetTest, TableHoldsTheMarkersThatAreEasyToMistype) {
  const auto& table = framework_marker_table();
  std::vector<std::string> order;
  for (const auto& entry : table) order.push_back(entry.framework);
  EXPECT_EQ(order, (std::vector<std::string>{"trt", "onnx", "openvino", "keras", "coreml", "tflite",
                                             "torchscript"}));
  EXPECT_EQ(table[2].markers[1], "<framework ");
  EXPECT_EQ(table[6].markers[1], std::string(14, 'Z'));
  EXPECT_NO_THROW(MarkerSet{all_table_markers()});
}

// ---- the scan engines -------------------------------------------------------------------------------------

TEST(MarkerSetTest, EnginesAgreeWithPlainSearch) {
  std::mt19937_64 rng(7);
  // Many short markers over a three-letter alphabet: dense candidates, shared prefixes, overlaps, more than
  // eight markers per bucket.
  std::vector<std::string> dense;
  for (int i = 0; i < 60; ++i) {
    std::string m(4 + rng() % 5, 'a');
    for (auto& c : m) c = "abc"[rng() % 3];
    dense.push_back(m);
  }
  for (const bool use_dense : {false, true}) {
    const std::vector<std::string> markers = use_dense ? dense : all_table_markers();
    const MarkerSet set(markers);
    for (int round = 0; round < 400; ++round) {
      // Sizes around the 32- and 64-byte blocks, the 128-byte rounds and their look-ahead, then larger.
      const std::size_t size = round < 200 ? static_cast<std::size_t>(round) : 1 + rng() % 200000;
      std::string data = noise(rng, size);
      if (use_dense)  // mostly the markers' own letters
        for (auto& c : data) c = rng() % 4 ? "abc"[rng() % 3] : c;
      for (int plant = rng() % 4; plant > 0; --plant) {
        const std::string& m = markers[rng() % markers.size()];
        if (m.size() > data.size()) continue;
        // Often at the very end, where the engines switch to their tail handling.
        const std::size_t at = rng() % 2 ? data.size() - m.size() : rng() % (data.size() - m.size() + 1);
        data.replace(at, m.size(), m);
      }
      const std::vector<bool> expected = naive_scan(markers, data);
      for (ScanEngine engine : engines())
        ASSERT_EQ(set.scan(data, engine), expected) << "size " << data.size() << " engine " << int(engine);
    }
  }
}

TEST(MarkerSetTest, MarkerRepeatedEverywhereDoesNotHideTheOthers) {
  // The first marker matches at every position; the others appear once, the last one at the very end.
  const MarkerSet set({"ZZZZZZZZZZZZZZ", "__torch__", "TFL3", "absent!"});
  const std::string data = std::string(3 << 20, 'Z') + "__torch__" + std::string(1 << 20, 'Z') + "TFL3";
  for (ScanEngine engine : engines())
    EXPECT_EQ(set.scan(data, engine), (std::vector<bool>{true, true, true, false})) << int(engine);
}

TEST(MarkerSetTest, DuplicatesShareOneFindingAndEmptySetFindsNothing) {
  const MarkerSet set({"axis", "onnx.", "axis"});
  EXPECT_EQ(set.scan(std::string_view("..axis..")), (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(MarkerSet({}).scan(std::string_view("anything")).empty());
}

// ---- files ------------------------------------------------------------------------------------------------

TEST(MarkerScanFileTest, EmptyFileFindsNothingAndDetectsNothing) {
  TempDir dir;
  write_file(dir.path() / "empty", "");
  EXPECT_EQ(MarkerSet(all_table_markers()).scan_file(dir.path() / "empty"),
            std::vector<bool>(all_table_markers().size(), false));
  EXPECT_EQ(detect_framework(dir.path() / "empty"), std::nullopt);
  EXPECT_EQ(detect_framework(dir.path() / "empty", true), std::nullopt);
}

TEST(MarkerScanFileTest, UnscannablePathsThrowWithErrnoAndPath) {
  TempDir dir;
  const fs::path missing = dir.path() / "missing.onnx";
  struct Case {
    fs::path path;
    int code;
  };
  std::vector<Case> cases = {{missing, ENOENT}, {dir.path(), EISDIR}, {missing / "below", ENOENT}};
  if (::geteuid() != 0) {  // root reads everything
    write_file(dir.path() / "locked", "onnx.");
    fs::permissions(dir.path() / "locked", fs::perms::none);
    cases.push_back({dir.path() / "locked", EACCES});
  }
  for (const auto& c : cases) {
    for (const MarkerSet& set : {MarkerSet(all_table_markers()), MarkerSet({})}) {
      try {
        set.scan_file(c.path);
        ADD_FAILURE() << "no error for " << c.path;
      } catch (const MarkerScanError& e) {
        EXPECT_EQ(e.code(), std::error_code(c.code, std::generic_category()));
        EXPECT_EQ(e.path(), c.path);
        EXPECT_EQ(std::string(e.what()),
                  "cannot scan file '" + c.path.string() + "': " + std::strerror(c.code));
      }
    }
    EXPECT_THROW(detect_framework(c.path), MarkerScanError);
  }
}

TEST(MarkerScanFileTest, MarkersAcrossBlockAndThreadBoundariesAreFound) {
  // Blocks of 4 KiB, mapped or read, by one to three threads: put the marker at every offset around the
  // boundaries of the first blocks and of the threads' ranges (a third of the file each with three threads).
  TempDir dir;
  const fs::path file = dir.path() / "model.bin";
  const MarkerSet set({"kernel_shape@", "TFL2"});
  std::mt19937_64 rng(3);
  const std::size_t block = 4096, size = 3 * 10 * block;
  const std::string base = inert(rng, size - 4) + "TFL2";
  std::vector<std::size_t> boundaries = {block, 2 * block, size / 3, 2 * size / 3, size / 2};
  for (ScanEngine engine : engines()) {
    for (std::size_t threads : {1, 2, 3}) {
      for (std::size_t boundary : boundaries) {
        for (std::size_t at = boundary - 14; at <= boundary + 1; ++at) {
          std::string data = base;
          data.replace(at, 13, "kernel_shape@");
          write_file(file, data);
          for (bool map : {true, false}) {
            ostrel::native::FileScanOptions options;
            options.block_size = block;
            options.threads = threads;
            options.map_file = map;
            EXPECT_EQ(set.scan_file(file, engine, options), (std::vector<bool>{true, true}))
                << "marker at " << at << " with " << threads << " threads, mapped " << map;
          }
        }
      }
    }
  }
}

TEST(MarkerScanFileTest, NonRegularFilesAreRefusedBeforeReading) {
  TempDir dir;
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No writer ever opens the FIFO: the scan must not wait for one.
  for (const fs::path& path : {fifo, fs::path("/dev/zero"), fs::path("/dev/urandom")}) {
    if (!fs::exists(path)) continue;
    auto scan = std::async(std::launch::async, [&] { return MarkerSet({"onnx."}).scan_file(path); });
    ASSERT_EQ(scan.wait_for(std::chrono::seconds(10)), std::future_status::ready) << path;
    try {
      scan.get();
      ADD_FAILURE() << "no error for " << path;
    } catch (const ostrel::native::NotRegularFileError& e) {
      EXPECT_EQ(e.code(), std::error_code(EINVAL, std::generic_category()));
      EXPECT_EQ(std::string(e.what()), "cannot scan file '" + path.string() + "': not a regular file");
    }
  }
}

TEST(MarkerScanFileTest, InterruptEndsTheScanOfEveryThread) {
  TempDir dir;
  const fs::path file = dir.path() / "big.bin";
  std::mt19937_64 rng(5);
  write_file(file, inert(rng, 8 << 20));
  struct Interrupted {};
  for (auto [threads, map] : {std::pair<std::size_t, bool>{1, true}, {4, true}, {1, false}, {4, false}}) {
    ostrel::native::FileScanOptions options;
    options.map_file = map;
    options.block_size = 64 << 10;
    options.threads = threads;
    options.check_every = 1 << 20;
    int calls = 0;
    options.check_interrupt = [&] {
      if (++calls == 2) throw Interrupted{};
    };
    EXPECT_THROW(MarkerSet({"onnx."}).scan_file(file, ScanEngine::kAuto, options), Interrupted);
    EXPECT_EQ(calls, 2);
  }
}

TEST(MarkerScanFileTest, FileThatShrinksWhileReadEndsTheScan) {
  // The file loses its tail after the first checks (the marker there is gone); the scan ends without dying
  // by SIGBUS (mapped) and finds what it read.
  TempDir dir;
  const fs::path file = dir.path() / "shrinking.bin";
  std::mt19937_64 rng(6);
  for (auto [threads, map] : {std::pair<std::size_t, bool>{1, true}, {2, true}, {1, false}, {2, false}}) {
    write_file(file, "TFL2" + inert(rng, 4 << 20) + "onnx.");
    ostrel::native::FileScanOptions options;
    options.map_file = map;
    options.block_size = 64 << 10;
    options.threads = threads;
    options.check_every = 64 << 10;
    options.check_interrupt = [&] { fs::resize_file(file, 1 << 20); };
    const std::vector<bool> found = MarkerSet({"TFL2", "onnx."}).scan_file(file, ScanEngine::kAuto, options);
    EXPECT_TRUE(found[0]);
    if (threads == 1) {
      EXPECT_FALSE(found[1]);  // a second thread may have read the tail before the cut
    }
  }
}

TEST(MarkerScanFileTest, FileThatReportsSizeZeroIsStillRead) {
  EXPECT_EQ(MarkerSet({"State:", "no such line"}).scan_file("/proc/self/status"),
            (std::vector<bool>{true, false}));
}

// ---- the decision -----------------------------------------------------------------------------------------

TEST(DecideFrameworkTest, FirstMarkerDecidesUnlessAllAreRequired) {
  const std::vector<FrameworkMarkers> table = {{"a", {"a1", "a2"}}, {"b", {"b1", "b2", "b3"}}, {"c", {"c1"}}};
  struct Case {
    std::vector<std::string> present;
    std::optional<std::size_t> first_only, all;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt, std::nullopt}, {{"a1", "b1", "b2", "b3"}, 0, 1},  // order sets priority; a lacks a2
      {{"a2", "b2", "b3", "c1"}, 2, 2},  // later markers alone never settle an entry
      {{"b1"}, 1, std::nullopt},        {{"a1", "a2", "c1"}, 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> asked;
    auto present = [&](const std::string& m) {
      asked.push_back(m);
      return std::find(c.present.begin(), c.present.end(), m) != c.present.end();
    };
    EXPECT_EQ(decide_framework(table, false, present), c.first_only);
    for (const auto& m : asked) EXPECT_EQ(m.back(), '1') << "asked about a later marker: " << m;
    EXPECT_EQ(decide_framework(table, true, present), c.all);
  }
  const std::vector<FrameworkMarkers> broken = {{"a", {"a1"}}, {"x", {}}};
  EXPECT_THROW(decide_framework(broken, false, [](const std::string&) { return true; }),
               std::invalid_argument);
}

TEST(DetectFrameworkTest, FilesOfTheTypicalShapes) {
  TempDir dir;
  std::mt19937_64 rng(11);
  struct Case {
    std::string name, body;
    std::optional<std::string> first_only, all;
  };
  const std::vector<Case> cases = {
      {"trt_wins", "onnx. __torch__ ptrt+", "trt", "trt"},
      {"onnx", "xx onnx.yy", "onnx", std::nullopt},
      {"onnx_all", "onnx.\0value*\0axis kernel_shape@strides@pads@dilations@"s, "onnx", "onnx"},
      {"onnx_first_missing", "axis pads@", std::nullopt, std::nullopt},
      {"onnx_lookalike", "onnxX axis", std::nullopt, std::nullopt},
      {"tfl3_only", "TFL3", std::nullopt, std::nullopt},
      {"tflite_all",
       "TFL2\xffTFL3\x01"
       "Converted serving_default"s,
       "tflite", "tflite"},
      {"keras_version_only", "keras_version", "keras", std::nullopt},
      {"torchscript_broken", "__tor\0ch__ ZZZZZZZ\nZZZZZZZ"s, std::nullopt, std::nullopt},
      {"torchscript_in_run", std::string(5000, 'q') + "__torch__" + std::string(5000, 'Z'), "torchscript",
       "torchscript"},
  };
  for (const auto& c : cases) {
    const fs::path file = dir.path() / c.name;
    write_file(file, inert(rng, 4090) + c.body + inert(rng, 100));
    EXPECT_EQ(describe(detect_framework(file)), describe(c.first_only)) << c.name;
    EXPECT_EQ(describe(detect_framework(file, true)), describe(c.all)) << c.name;
  }
}

// ---- against the real pipeline ----------------------------------------------------------------------------

// Runs `strings FILE | grep PATTERN` for every entry of the table, the way detection did, on a generated
// corpus, and on every regular file below $OSTREL_MARKER_CORPUS_DIR when that is set (real model files).
TEST(MarkerScanPipelineTest, NativeScanReportsWhatStringsAndGrepReport) {
  if (!have_program("strings") || !have_program("grep")) GTEST_SKIP() << "strings or grep is not installed";
  TempDir dir;
  std::vector<fs::path> files = build_corpus(dir.path());
  if (const char* extra = std::getenv("OSTREL_MARKER_CORPUS_DIR"); extra != nullptr && *extra != '\0')
    for (const auto& entry : fs::recursive_directory_iterator(extra))
      if (entry.is_regular_file()) files.push_back(entry.path());
  expect_same_as_pipeline(files);
}

}  // namespace
