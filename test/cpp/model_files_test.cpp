#include "native/model_files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "native/format_probe.hpp"
#include "test/cpp/protobuf_text.hpp"

namespace fs = std::filesystem;
using ostrel::native::entry_bytes;
using ostrel::native::model_files_bytes;
using ostrel::native::onnx_external_data_locations;

namespace {

class ModelFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("model_files_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    const fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  fs::path dir_;
};

using ostrel::testing::len;
using ostrel::testing::num;
using ostrel::testing::varint;
// A TensorProto kept in `location` (data_location EXTERNAL), or inline when location is empty.
std::string tensor(const std::string& location) {
  std::string t = len(8, "w");
  if (location.empty()) return t + len(9, std::string(16, '\0'));
  return t + len(13, len(1, "location") + len(2, location)) + len(13, len(1, "offset") + len(2, "0")) + num(14, 1);
}

}  // namespace

TEST_F(ModelFiles, FolderCountsEveryFileUnderIt) {
  write("saved/saved_model.pb", std::string(100, 'p'));
  write("saved/variables/variables.data-00000-of-00001", std::string(1000, 'v'));
  write("saved/variables/variables.index", std::string(10, 'i'));
  EXPECT_EQ(entry_bytes(dir_ / "saved"), 1110u);
  EXPECT_EQ(entry_bytes(dir_ / "saved" / "saved_model.pb"), 100u);
  EXPECT_EQ(entry_bytes(dir_ / "missing"), 0u);
  // A link to a folder is not followed: nothing is counted twice.
  fs::create_directory_symlink(dir_ / "saved" / "variables", dir_ / "saved" / "again");
  EXPECT_EQ(entry_bytes(dir_ / "saved"), 1110u);
}

TEST_F(ModelFiles, CompanionsCountOnceAndMissingOnesCountNothing) {
  const fs::path xml = write("m.xml", std::string(10, 'x'));
  const fs::path bin = write("m.bin", std::string(4000, 'b'));
  EXPECT_EQ(model_files_bytes(xml, {bin}), 4010u);
  EXPECT_EQ(model_files_bytes(xml, {bin, dir_ / "." / "m.bin", xml}), 4010u);
  EXPECT_EQ(model_files_bytes(xml, {dir_ / "m.weights"}), 10u);
}

TEST_F(ModelFiles, OnnxExternalDataLocations) {
  // Initializers of the graph, a Constant node's tensor and a subgraph's initializer; one inline tensor.
  const std::string subgraph = len(5, tensor("sub.bin"));
  const std::string node = len(4, "If") + len(5, len(1, "then_branch") + len(6, subgraph)) +
                           len(5, len(1, "value") + len(5, tensor("const.bin")));
  const std::string graph = len(1, node) + len(5, tensor("weights.bin")) + len(5, tensor("weights.bin")) +
                            len(5, tensor(""));
  const fs::path model = write("m.onnx", num(1, 8) + len(7, graph) + len(8, len(1, "") + num(2, 17)));
  EXPECT_EQ(onnx_external_data_locations(model),
            (std::vector<std::string>{"sub.bin", "const.bin", "weights.bin"}));
  EXPECT_TRUE(onnx_external_data_locations(write("none.onnx", num(1, 8) + len(7, len(5, tensor(""))))).empty());
  EXPECT_TRUE(onnx_external_data_locations(write("bad.onnx", "\xff\xff\xff")).empty());
  EXPECT_TRUE(onnx_external_data_locations(dir_ / "missing.onnx").empty());
}
