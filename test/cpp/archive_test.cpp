#include "native/archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::native {
namespace {

namespace fs = std::filesystem;

enum class Kind { kFile, kDir, kSymlink, kHardlink, kFifo };

struct Item {
  Kind kind;
  std::string name;
  std::string content = {};  // file data, or the link target
  int perm = -1;
};

Item file(std::string name, std::string data = "data") {
  return {Kind::kFile, std::move(name), std::move(data)};
}
Item dir(std::string name) { return {Kind::kDir, std::move(name)}; }
Item symlink(std::string name, std::string target) {
  return {Kind::kSymlink, std::move(name), std::move(target)};
}
Item hardlink(std::string name, std::string target) {
  return {Kind::kHardlink, std::move(name), std::move(target)};
}

enum class Container { kZip, kZipStored, kTarGz, kTar, kTarBz2, kTarXz };

// Writes an archive with libarchive's writer; names and link targets go in exactly as given (as UTF-8:
// the writer takes them in the thread's locale).
void write_archive(const std::string& path, Container container, const std::vector<Item>& items) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  ASSERT_NE(utf8, static_cast<locale_t>(nullptr));
  const locale_t previous = uselocale(utf8);
  struct Restore {
    locale_t previous, utf8;
    ~Restore() {
      uselocale(previous);
      freelocale(utf8);
    }
  } restore{previous, utf8};
  struct archive* a = archive_write_new();
  if (container == Container::kZip || container == Container::kZipStored) {
    archive_write_set_format_zip(a);
    if (container == Container::kZipStored) archive_write_set_format_option(a, "zip", "compression", "store");
  } else {
    archive_write_set_format_pax_restricted(a);
    if (container == Container::kTarGz) archive_write_add_filter_gzip(a);
    if (container == Container::kTarBz2) archive_write_add_filter_bzip2(a);
    if (container == Container::kTarXz) archive_write_add_filter_xz(a);
  }
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const Item& it : items) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, it.name.c_str());
    archive_entry_set_mtime(e, 1700000000, 0);
    switch (it.kind) {
      case Kind::kFile:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, it.perm >= 0 ? it.perm : 0644);
        archive_entry_set_size(e, static_cast<la_int64_t>(it.content.size()));
        break;
      case Kind::kDir:
        archive_entry_set_filetype(e, AE_IFDIR);
        archive_entry_set_perm(e, it.perm >= 0 ? it.perm : 0755);
        break;
      case Kind::kSymlink:
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_set_perm(e, 0777);
        archive_entry_set_symlink(e, it.content.c_str());
        break;
      case Kind::kHardlink:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_hardlink(e, it.content.c_str());
        break;
      case Kind::kFifo:
        archive_entry_set_filetype(e, AE_IFIFO);
        archive_entry_set_perm(e, 0644);
        break;
    }
    const int rc = archive_write_header(a, e);
    const char* err = archive_error_string(a);
    ASSERT_EQ(rc, ARCHIVE_OK) << it.name << ": " << (err ? err : "");
    if (it.kind == Kind::kFile && !it.content.empty()) {
      ASSERT_EQ(archive_write_data(a, it.content.data(), it.content.size()),
                static_cast<la_ssize_t>(it.content.size()));
    }
    archive_entry_free(e);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary);
  out << data;
}

// Everything beneath `root`, as relative paths (links not followed).
std::set<std::string> tree(const fs::path& root) {
  std::set<std::string> out;
  if (!fs::exists(fs::symlink_status(root))) return out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    out.insert(fs::relative(it->path(), root).string());
  }
  return out;
}

// A fresh extraction folder beneath `parent`, made the way the Python entry makes it.
std::string new_folder(const std::string& parent) {
  std::string pattern = parent + "/" + std::string(kExtractionFolderPrefix) + "XXXXXX";
  EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
  return pattern;
}

// What the Python entry does with its pieces: extract by suffix, then flatten a single top folder.
std::string extract_and_flatten(const std::string& src, const std::string& parent) {
  const std::string folder = new_folder(parent);
  if (const auto format = archive_format_for(src)) extract_archive(*format, src, folder);
  if (has_single_top_folder(folder)) move_dir_folder_contents_to_root(folder);
  return folder;
}

// A private scratch root per test: archives are made in root/in, extraction folders in root/tmp.
class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel_archive_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    fs::create_directories(root_ / "in");
    fs::create_directories(root_ / "tmp");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string archive(const std::string& name, Container c, const std::vector<Item>& items) {
    const std::string path = (root_ / "in" / name).string();
    write_archive(path, c, items);
    return path;
  }
  std::string tmp() const { return (root_ / "tmp").string(); }

  // Everything in the scratch root besides the archives and the extraction folders' contents.
  std::set<std::string> outside_extraction() const {
    std::set<std::string> out;
    for (const std::string& p : tree(root_)) {
      if (p.rfind("in", 0) == 0 || p == "tmp") continue;
      if (p.rfind("tmp/tf2_saved_model_checkpoints_", 0) == 0) continue;
      out.insert(p);
    }
    return out;
  }

  fs::path root_;
};

TEST_F(ArchiveTest, SuffixDecidesTheFormatExactly) {
  EXPECT_EQ(archive_format_for("m.zip"), ArchiveFormat::kZip);
  EXPECT_EQ(archive_format_for("m.tar.gz"), ArchiveFormat::kTar);
  for (const char* other : {"m.ZIP", "m.Zip", "m.TAR.GZ", "m.tgz", "m.tar", "m.gz", "m", ""}) {
    EXPECT_EQ(archive_format_for(other), std::nullopt) << other;
  }
}

TEST_F(ArchiveTest, ExtractsAndFlattensASingleTopFolder) {
  const std::vector<Item> model = {dir("model/"), file("model/saved_model.pb", "graph"),
                                   dir("model/variables/"), file("model/variables/variables.index", "index")};
  for (Container c : {Container::kZip, Container::kTarGz}) {
    const std::string src = archive(c == Container::kZip ? "m.zip" : "m.tar.gz", c, model);
    const std::string out = extract_and_flatten(src, tmp());
    EXPECT_EQ(tree(out), (std::set<std::string>{"saved_model.pb", "variables", "variables/variables.index"}));
    EXPECT_EQ(read_file(fs::path(out) / "saved_model.pb"), "graph");
    EXPECT_EQ(read_file(fs::path(out) / "variables/variables.index"), "index");
  }
  EXPECT_TRUE(outside_extraction().empty());
}

TEST_F(ArchiveTest, LeavesEveryOtherLayoutAsExtracted) {
  const struct {
    const char* what;
    std::vector<Item> items;
    std::set<std::string> expected;
  } cases[] = {
      {"files at the root",
       {file("saved_model.pb"), dir("variables/"), file("variables/v")},
       {"saved_model.pb", "variables", "variables/v"}},
      {"several folders", {file("a/x"), file("b/y")}, {"a", "a/x", "b", "b/y"}},
      {"a folder beside metadata",
       {file("model/saved_model.pb"), file("__MACOSX/._model")},
       {"model", "model/saved_model.pb", "__MACOSX", "__MACOSX/._model"}},
      {"a single file", {file("saved_model.pb")}, {"saved_model.pb"}},
      {"nothing", {}, {}},
  };
  for (const auto& c : cases) {
    for (Container k : {Container::kZip, Container::kTarGz}) {
      const std::string src = archive(k == Container::kZip ? "l.zip" : "l.tar.gz", k, c.items);
      const std::string out = extract_and_flatten(src, tmp());
      EXPECT_EQ(tree(out), c.expected) << c.what;
    }
  }
}

TEST_F(ArchiveTest, TarOfAnyCompressionAndDotSlashNames) {
  const std::vector<Item> items = {dir("./"), dir("./model/"), file("./model/saved_model.pb", "g")};
  for (Container c : {Container::kTar, Container::kTarGz, Container::kTarBz2, Container::kTarXz}) {
    const std::string out = extract_and_flatten(archive("x.tar.gz", c, items), tmp());
    EXPECT_EQ(tree(out), std::set<std::string>{"saved_model.pb"});
  }
}

TEST_F(ArchiveTest, NonAsciiNamesComeOutAsUtf8WhateverTheLocale) {
  const std::string name = "mod\xc3\xa8le";  // "modèle"
  for (Container c : {Container::kZip, Container::kTarGz}) {
    const std::string dest = new_folder(tmp());
    extract_archive(
        c == Container::kZip ? ArchiveFormat::kZip : ArchiveFormat::kTar,
        archive(c == Container::kZip ? "u.zip" : "u.tar.gz", c, {file(name + "/saved_model.pb", "g")}), dest);
    EXPECT_EQ(tree(dest), (std::set<std::string>{name, name + "/saved_model.pb"}));
  }
}

TEST_F(ArchiveTest, UnrecognisedNamesGiveAnEmptyFolder) {
  const std::vector<Item> items = {file("saved_model.pb")};
  for (const char* name : {"m.ZIP", "m.tgz", "m.tar", "m"}) {
    const std::string out = extract_and_flatten(archive(name, Container::kZip, items), tmp());
    EXPECT_TRUE(fs::is_directory(out)) << name;
    EXPECT_TRUE(tree(out).empty()) << name;
  }
}

TEST_F(ArchiveTest, OnlyAnEmptyFolderRemovesTheExtractionFolderButNothingAbove) {
  const std::string out =
      extract_and_flatten(archive("e.zip", Container::kZip, {dir("model/")}), tmp());
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(fs::is_directory(tmp()));  // empty now, and kept
}

TEST_F(ArchiveTest, InnerEntryNamedLikeItsFolderFailsWithoutLoss) {
  const std::string src =
      archive("s.tar.gz", Container::kTarGz, {file("model/a", "A"), file("model/model", "M")});
  try {
    extract_and_flatten(src, tmp());
    FAIL();
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.error_number(), EEXIST);
    EXPECT_NE(e.filename2(), "");
  }
  // Whatever was moved before the clash stays moved; nothing is lost.
  std::vector<std::string> all;
  for (const std::string& p : tree(root_ / "tmp")) all.push_back(fs::path(p).filename().string());
  EXPECT_EQ(std::count(all.begin(), all.end(), "a"), 1);
  EXPECT_EQ(std::count(all.begin(), all.end(), "model"), 2);
}

TEST_F(ArchiveTest, FlatteningMovesUpAndNeverClimbsAbove) {
  const fs::path d = root_ / "p" / "q";
  fs::create_directories(d / "inner" / "sub");
  write_file(d / "inner" / "b.txt", "b");
  move_dir_folder_contents_to_root(d.string());
  EXPECT_EQ(tree(d), (std::set<std::string>{"b.txt", "sub"}));
  EXPECT_EQ(read_file(d / "b.txt"), "b");

  // An empty inner folder: it goes, and the emptied directory too, but not the empty parent above.
  fs::create_directories(root_ / "e1" / "e2" / "empty");
  move_dir_folder_contents_to_root((root_ / "e1" / "e2").string());
  EXPECT_FALSE(fs::exists(root_ / "e1" / "e2"));
  EXPECT_TRUE(fs::is_directory(root_ / "e1"));

  fs::create_directories(root_ / "none");
  EXPECT_THROW(move_dir_folder_contents_to_root((root_ / "none").string()), std::out_of_range);
  try {
    move_dir_folder_contents_to_root((root_ / "missing").string());
    FAIL();
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_EQ(e.filename(), (root_ / "missing").string());
  }
}

TEST_F(ArchiveTest, RenameClashKeepsTheExistingFile) {
  const fs::path d = root_ / "c";
  fs::create_directories(d / "a");
  write_file(d / "a" / "z.txt", "new");
  write_file(d / "z.txt", "old");
  // Which entry is listed first is up to the file system: "a" makes the move clash, "z.txt" is no
  // folder to list. Either way the existing file keeps its content.
  try {
    move_dir_folder_contents_to_root(d.string());
    FAIL() << "expected a failure";
  } catch (const FileSystemError& e) {
    EXPECT_TRUE(e.error_number() == EEXIST || e.error_number() == ENOTDIR) << e.what();
  }
  EXPECT_EQ(read_file(d / "z.txt"), "old");
  EXPECT_EQ(read_file(d / "a" / "z.txt"), "new");
}

struct Refused {
  const char* what;
  std::vector<Item> items;
  bool tar_only;
};

TEST_F(ArchiveTest, MembersLeadingOutsideFailTheWholeExtractionAndWriteNothing) {
  const std::string abs_target = (root_ / "abs_evil").string();
  const std::vector<Refused> cases = {
      {"parent component", {file("ok.txt"), file("../evil", "x")}, false},
      {"nested parent component", {file("a/../../evil", "x")}, false},
      {"absolute path", {file("ok.txt"), file(abs_target, "x")}, false},
      {"symlink up and out", {file("ok.txt"), symlink("link", "../../outside")}, false},
      // Lexically "a", but a/b/s leads to x at the root, so the two ".." climb above the root.
      {"symlink climbing through another link",
       {dir("x/"), dir("a/b/"), symlink("a/b/s", "../../x"), symlink("q", "a/b/s/../..")},
       false},
      {"absolute symlink", {symlink("link", root_.string())}, false},
      {"write through an archive symlink", {dir("d/"), symlink("s", "d"), file("s/x", "x")}, false},
      {"hard link out", {file("ok.txt"), hardlink("h", "../outside")}, true},
      {"absolute hard link", {hardlink("h", abs_target)}, true},
      {"hard link to nothing earlier", {hardlink("h", "later"), file("later")}, true},
      {"fifo", {file("ok.txt"), {Kind::kFifo, "pipe"}}, true},
  };
  for (const Refused& c : cases) {
    for (Container k : {Container::kZip, Container::kTarGz}) {
      if (c.tar_only && k == Container::kZip) continue;
      const bool zip = k == Container::kZip;
      const std::string src = archive(zip ? "evil.zip" : "evil.tar.gz", k, c.items);
      const std::string dest = new_folder(tmp());
      try {
        extract_archive(zip ? ArchiveFormat::kZip : ArchiveFormat::kTar, src, dest);
        ADD_FAILURE() << c.what << " was extracted";
      } catch (const ArchiveExtractionError& e) {
        EXPECT_EQ(e.cause(), ArchiveExtractionError::Cause::kUnsafeMember) << c.what << ": " << e.what();
        const std::string prefix =
            std::string(zip ? "Failed to extract file from zip " : "Failed to extract file from tar ") + src +
            ", err: unsafe member ";
        EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
      }
      EXPECT_TRUE(tree(dest).empty()) << c.what;  // checked before anything was written
      EXPECT_TRUE(outside_extraction().empty()) << c.what;
      EXPECT_FALSE(fs::exists(fs::symlink_status(abs_target)));
    }
  }
}

TEST_F(ArchiveTest, LinksThatStayInsideAreKept) {
  for (Container k : {Container::kZip, Container::kTarGz}) {
    const bool zip = k == Container::kZip;
    std::vector<Item> items = {file("a/data", "D"), symlink("b/up", "../a/data"), symlink("top", "."),
                               symlink("a/self", "data")};
    if (!zip) items.push_back(hardlink("b/hard", "a/data"));
    const std::string dest = new_folder(tmp());
    extract_archive(zip ? ArchiveFormat::kZip : ArchiveFormat::kTar,
                    archive(zip ? "in.zip" : "in.tar.gz", k, items), dest);
    EXPECT_EQ(read_file(fs::path(dest) / "b/up"), "D");
    EXPECT_EQ(fs::read_symlink(fs::path(dest) / "b/up"), "../a/data");
    EXPECT_EQ(read_file(fs::path(dest) / "a/self"), "D");
    if (!zip) {
      EXPECT_TRUE(fs::equivalent(fs::path(dest) / "b/hard", fs::path(dest) / "a/data"));
    }
  }
}

TEST_F(ArchiveTest, PermissionsAreTamed) {
  Item setuid = file("tool", "#!");
  setuid.perm = 06777;
  Item locked = file("locked", "x");
  locked.perm = 0;
  Item closed = dir("closed/");
  closed.perm = 0;
  const std::string dest = new_folder(tmp());
  extract_archive(ArchiveFormat::kTar, archive("p.tar.gz", Container::kTarGz, {setuid, locked, closed, file("closed/f")}), dest);
  struct stat st;
  ASSERT_EQ(stat((dest + "/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_mtime, 1700000000);
  ASSERT_EQ(stat((dest + "/locked").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat((dest + "/closed").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(read_file(dest + "/closed/f"), "data");
}

TEST_F(ArchiveTest, DamagedOrMissingArchives) {
  const std::string dest = new_folder(tmp());
  using Cause = ArchiveExtractionError::Cause;

  const std::string missing = (root_ / "in" / "missing.zip").string();
  try {
    extract_archive(ArchiveFormat::kZip, missing, dest);
    FAIL();
  } catch (const ArchiveExtractionError& e) {
    EXPECT_EQ(e.cause(), Cause::kSourceUnreadable);
    EXPECT_EQ(e.os_errno(), ENOENT);
    EXPECT_EQ(std::string(e.what()), "Failed to extract file from zip " + missing +
                                         ", err: [Errno 2] No such file or directory: '" + missing + "'");
  }
  try {
    extract_archive(ArchiveFormat::kTar, (root_ / "in").string(), dest);
    FAIL();
  } catch (const ArchiveExtractionError& e) {
    EXPECT_EQ(e.os_errno(), EISDIR);
  }

  const std::string good_zip = archive("g.zip", Container::kZipStored, {file("a", std::string(5000, 'a'))});
  const std::string good_tgz = archive("g.tar.gz", Container::kTarGz, {file("a", std::string(5000, 'a'))});
  const std::string zip_bytes = read_file(good_zip);
  const std::string tgz_bytes = read_file(good_tgz);
  std::string flipped = zip_bytes;
  ASSERT_NE(flipped.find(std::string(5000, 'a')), std::string::npos);
  flipped[flipped.find(std::string(5000, 'a')) + 10] = 'b';  // stored data, so only the CRC can tell
  const struct {
    const char* what;
    std::string bytes;
    bool zip;
  } cases[] = {
      {"garbage zip", "this is not an archive at all, just text", true},
      {"garbage tar", "this is not an archive at all, just text", false},
      {"empty zip", "", true},
      {"empty tar", "", false},
      {"truncated zip", zip_bytes.substr(0, zip_bytes.size() / 2), true},
      {"truncated tar.gz", tgz_bytes.substr(0, tgz_bytes.size() / 2), false},
      {"zip with a bad checksum", flipped, true},
      {"tar.gz named .zip", tgz_bytes, true},
  };
  for (const auto& c : cases) {
    const std::string src = (root_ / "in" / (c.zip ? "bad.zip" : "bad.tar.gz")).string();
    write_file(src, c.bytes);
    try {
      extract_archive(c.zip ? ArchiveFormat::kZip : ArchiveFormat::kTar, src, dest);
      ADD_FAILURE() << c.what << " was extracted";
    } catch (const ArchiveExtractionError& e) {
      EXPECT_EQ(e.cause(), Cause::kMalformed) << c.what << ": " << e.what();
      EXPECT_EQ(
          std::string(e.what()).rfind(
              std::string("Failed to extract file from ") + (c.zip ? "zip " : "tar ") + src + ", err: ", 0),
          0u)
          << e.what();
    }
  }
  EXPECT_TRUE(outside_extraction().empty());
}

TEST_F(ArchiveTest, ExpansionPastTheLimitFailsBeforeWritingAnything) {
  // 3 + 4 bytes of member data, however well it compresses.
  const std::vector<Item> items = {dir("m/"), file("m/a", "abc"), file("m/b", "defg"), file("m/empty", "")};
  for (Container c : {Container::kZip, Container::kTarGz}) {
    const bool zip = c == Container::kZip;
    const std::string src = archive(zip ? "l.zip" : "l.tar.gz", c, items);
    const ArchiveFormat format = zip ? ArchiveFormat::kZip : ArchiveFormat::kTar;
    const std::string fits = new_folder(tmp());
    extract_archive(format, src, fits, 7);
    EXPECT_EQ(tree(fits), (std::set<std::string>{"m", "m/a", "m/b", "m/empty"}));
    const std::string dest = new_folder(tmp());
    try {
      extract_archive(format, src, dest, 6);
      FAIL() << "extracted past the limit";
    } catch (const ArchiveExtractionError& e) {
      EXPECT_EQ(e.cause(), ArchiveExtractionError::Cause::kTooLarge);
      EXPECT_EQ(e.detail(), "the archive expands past the limit of 6 bytes (set OSTREL_MAX_EXTRACT_BYTES to allow more)");
    }
    EXPECT_TRUE(tree(dest).empty());
  }
}

TEST_F(ArchiveTest, AStopRequestEndsTheExtraction) {
  const std::vector<Item> items = {file("m/a", std::string(1 << 20, 'a')), file("m/b", std::string(1 << 20, 'b'))};
  for (Container c : {Container::kZip, Container::kTarGz}) {
    const bool zip = c == Container::kZip;
    const std::string src = archive(zip ? "s.zip" : "s.tar.gz", c, items);
    const ArchiveFormat format = zip ? ArchiveFormat::kZip : ArchiveFormat::kTar;
    int asked = 0;
    const std::string whole = new_folder(tmp());
    extract_archive(format, src, whole, kDefaultMaxExtractBytes, [&] { return ++asked < 0; });
    EXPECT_GT(asked, 4);  // between members and between blocks
    EXPECT_EQ(tree(whole), (std::set<std::string>{"m", "m/a", "m/b"}));
    for (int stop_at : {1, asked / 2, asked}) {
      int calls = 0;
      EXPECT_THROW(
          extract_archive(format, src, new_folder(tmp()), kDefaultMaxExtractBytes, [&] { return ++calls >= stop_at; }),
          ExtractionStopped)
          << stop_at;
      EXPECT_EQ(calls, stop_at);
    }
  }
}

TEST_F(ArchiveTest, RemoveTreeNeverFollowsLinks) {
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside / "kept");
  write_file(outside / "kept" / "f", "mine");
  const fs::path doomed = root_ / "tmp" / "doomed";
  fs::create_directories(doomed / "a" / "b");
  write_file(doomed / "a" / "b" / "f", "x");
  fs::create_directory_symlink(outside, doomed / "a" / "to_outside");
  fs::create_symlink(outside / "kept" / "f", doomed / "file_link");
  remove_tree(doomed.string());
  EXPECT_FALSE(fs::exists(fs::symlink_status(doomed)));
  EXPECT_EQ(read_file(outside / "kept" / "f"), "mine");
  remove_tree(doomed.string());  // already gone: nothing to do
  fs::create_symlink(outside, root_ / "tmp" / "link");
  remove_tree((root_ / "tmp" / "link").string());  // the link itself goes, not its target
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "tmp" / "link")));
  EXPECT_TRUE(fs::exists(outside / "kept" / "f"));
}

TEST_F(ArchiveTest, ConcurrentExtractionsOfOneArchive) {
  const std::string src =
      archive("c.tar.gz", Container::kTarGz,
              {file("model/saved_model.pb", std::string(100000, 'x')), file("model/v", "v")});
  const mode_t mask = umask(022);
  std::vector<std::string> outs(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < outs.size(); ++i) {
    threads.emplace_back([&, i] { outs[i] = extract_and_flatten(src, tmp()); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(umask(mask), 022u);  // never touched
  EXPECT_EQ(std::set<std::string>(outs.begin(), outs.end()).size(), outs.size());
  for (const std::string& out : outs) EXPECT_EQ(tree(out), (std::set<std::string>{"saved_model.pb", "v"}));
}

}  // namespace
}  // namespace ostrel::native
