#include "native/format_probe.hpp"
#include "test/cpp/protobuf_text.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;
using ostrel::native::probe_model_format;

namespace {

std::optional<std::string> probe(const std::string& bytes) {
  return probe_model_format(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// ---- protobuf by hand
// ---------------------------------------------------------------------------------------

using ostrel::testing::len;
using ostrel::testing::num;
using ostrel::testing::varint;

// ModelProto: ir_version, producer, opset_import {domain "", version 17}, graph {node Relu, name, input,
// output}
std::string onnx_graph(const std::string& nodes) {
  return nodes + len(2, "g") + len(11, len(1, "x")) + len(12, len(1, "y"));
}
std::string onnx_model(const std::string& graph, bool opset = true, std::uint64_t ir = 8) {
  std::string m = num(1, ir) + len(2, "helper");
  if (opset) m += len(8, len(1, "") + num(2, 17));
  return m + len(7, graph);
}
const std::string kRelu = len(1, len(1, "x") + len(2, "y") + len(4, "Relu"));

// Model: specificationVersion 4, description {input x, output y}, neuralNetwork (500)
std::string coreml_model(const std::string& types) {
  const std::string feature_type = len(5, num(2, 65568));  // multiArrayType { dataType FLOAT32 }
  const std::string description =
      len(1, len(1, "x") + len(3, feature_type)) + len(10, len(1, "y") + len(3, feature_type));
  return num(1, 4) + len(2, description) + types;
}

// ---- flat buffer by hand
// --------------------------------------------------------------------------------------

void put32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
void put16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xff);
  s[at + 1] = static_cast<char>(v >> 8);
}

// Root offset, "TFL3", a vtable at 8 (version, operator_codes absent, subgraphs, description absent,
// buffers), the root table at 24, a vector of one subgraph at 40, a vector of one buffer at 48, the tables
// after.
std::string tflite_model(std::uint32_t version = 3, std::uint32_t subgraphs = 1) {
  std::string s(72, '\0');
  put32(s, 0, 24);
  s.replace(4, 4, "TFL3");
  put16(s, 8, 14);   // vtable size
  put16(s, 10, 16);  // table size
  put16(s, 12, 4);   // version at +4
  put16(s, 14, 0);   // operator_codes absent
  put16(s, 16, 8);   // subgraphs at +8
  put16(s, 18, 0);   // description absent
  put16(s, 20, 12);  // buffers at +12
  put32(s, 24, 24 - 8);
  put32(s, 28, version);
  put32(s, 32, 40 - 32);
  put32(s, 36, 48 - 36);
  put32(s, 40, subgraphs);
  put32(s, 44, 56 - 44);
  put32(s, 48, 1);
  put32(s, 52, 64 - 52);
  return s;
}

// ---- HDF5 by hand: superblock version 0, root object header version 1 with one attribute
// ----------------------

std::string hdf5_file(const std::string& attribute) {
  std::string s(96, '\0');
  s.replace(0, 8, "\x89HDF\r\n\x1a\n");
  s[13] = 8;  // size of offsets
  s[14] = 8;  // size of lengths
  put16(s, 16, 4);
  put16(s, 18, 16);
  for (int i = 32; i < 40; ++i) s[i] = '\xff';  // no free-space info
  for (int i = 48; i < 56; ++i) s[i] = '\xff';  // no driver info
  put32(s, 64, 96);                             // root object header address
  std::string name = attribute + '\0';
  name.resize((name.size() + 7) / 8 * 8, '\0');
  std::string message(8, '\0');
  message[0] = 1;  // attribute message version 1
  put16(message, 2, static_cast<std::uint16_t>(attribute.size() + 1));
  message += name;
  std::string header(16, '\0');
  header[0] = 1;
  put16(header, 2, 1);  // one message
  put32(header, 4, 1);
  put32(header, 8, static_cast<std::uint32_t>(8 + message.size()));
  std::string message_header(8, '\0');
  put16(message_header, 0, 0x0c);
  put16(message_header, 2, static_cast<std::uint16_t>(message.size()));
  s += header + message_header + message;
  put32(s, 40, static_cast<std::uint32_t>(s.size()));  // end of file address
  return s;
}

// Superblock version 2 and a version 2 ("OHDR") root object header with one version 3 attribute message;
// checksums are left zero (they are not what tells the format).
std::string hdf5_v2_file(const std::string& attribute) {
  std::string s(48, '\0');
  s.replace(0, 8, "\x89HDF\r\n\x1a\n");
  s[8] = 2;                                     // superblock version
  s[9] = 8;                                     // size of offsets
  s[10] = 8;                                    // size of lengths
  for (int i = 20; i < 28; ++i) s[i] = '\xff';  // no superblock extension
  put32(s, 36, 48);                             // root object header address
  std::string message(9, '\0');
  message[0] = 3;  // attribute message version 3
  put16(message, 2, static_cast<std::uint16_t>(attribute.size() + 1));
  message += attribute + '\0';
  std::string messages(4, '\0');
  messages[0] = 0x0c;
  put16(messages, 1, static_cast<std::uint16_t>(message.size()));
  messages += message;
  std::string header = "OHDR";
  header += '\x02';  // version
  header += '\x02';  // flags: the size of chunk 0 takes 4 bytes
  header += std::string(4, '\0');
  put32(header, 6, static_cast<std::uint32_t>(messages.size()));
  s += header + messages + std::string(4, '\0');       // checksum
  put32(s, 28, static_cast<std::uint32_t>(s.size()));  // end of file address
  return s;
}

const char* const kIr =
    "<?xml version=\"1.0\"?>\n<!-- converted -->\n<net name=\"m\" version=\"11\">\n"
    "\t<layers>\n\t\t<layer id=\"0\" name=\"x\" type=\"Parameter\" version=\"opset1\">\n"
    "\t\t\t<data shape=\"1,3\" element_type=\"f32\" note=\"a > b\" />\n\t\t</layer>\n\t</layers>\n"
    "\t<edges>\n\t\t<edge from-layer=\"0\" from-port=\"0\" to-layer=\"1\" to-port=\"0\" />\n\t</edges>\n"
    "\t<rt_info />\n</net>\n";

}  // namespace

TEST(FormatProbeTest, RecognisesEachFormatByItsStructure) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::string> expected;
  };
  const std::string onnx = onnx_model(onnx_graph(kRelu));
  const std::string keras_version = hdf5_file("keras_version");
  std::string in_user_block(512, '\0');
  in_user_block += hdf5_file("model_config");
  put32(in_user_block, 512 + 24, 512);  // base address: the superblock's, addresses are relative to it
  const std::vector<Case> cases = {
      {"onnx", onnx, "onnx"},
      {"onnx with an unknown field", onnx + len(99, "future"), "onnx"},
      {"onnx two nodes", onnx_model(onnx_graph(kRelu + kRelu)), "onnx"},
      {"onnx without nodes", onnx_model(onnx_graph("")), std::nullopt},
      {"onnx without opset", onnx_model(onnx_graph(kRelu), false), std::nullopt},
      {"onnx ir_version 0", onnx_model(onnx_graph(kRelu), true, 0), std::nullopt},
      {"onnx node without op_type", onnx_model(onnx_graph(len(1, len(1, "x")))), std::nullopt},
      {"onnx op_type not a name", onnx_model(onnx_graph(len(1, len(4, "Re lu")))), std::nullopt},
      {"onnx truncated", onnx.substr(0, onnx.size() - 1), std::nullopt},
      {"onnx with trailing garbage", onnx + "\xff", std::nullopt},
      {"onnx two graphs", onnx + len(7, onnx_graph(kRelu)), std::nullopt},
      {"coreml", coreml_model(len(500, len(1, len(1, "dense")))), "coreml"},
      {"coreml ml program", coreml_model(len(502, num(1, 1))), "coreml"},
      {"coreml two model types", coreml_model(len(500, "") + len(303, "")), std::nullopt},
      {"coreml without model type", coreml_model(""), std::nullopt},
      {"coreml unknown low field", coreml_model(len(500, "")) + num(3, 1), std::nullopt},
      {"tflite", tflite_model(), "tflite"},
      {"tflite schema 2", tflite_model(2), std::nullopt},
      {"tflite no subgraph", tflite_model(3, 0), std::nullopt},
      {"tflite subgraph vector past the end", tflite_model(3, 1000), std::nullopt},
      {"text whose marker is TFL3", "abcdTFL3 and a line of text\n", std::nullopt},
      {"tflite cut short", tflite_model().substr(0, 30), std::nullopt},
      {"openvino ir", kIr, "openvino"},
      {"openvino ir with BOM", "\xef\xbb\xbf"s + kIr, "openvino"},
      {"openvino ir edges first", "<net><edges/><layers></layers></net>", "openvino"},
      {"other root", "<network><layers/><edges/></network>", std::nullopt},
      {"layers one level too deep", "<net><body><layers/><edges/></body></net>", std::nullopt},
      {"no edges", "<net><layers/></net>", std::nullopt},
      {"net mentioned in text", "the <net> has <layers> and <edges>", std::nullopt},
      {"h5 keras_version", keras_version, "keras"},
      {"h5 model_config after a user block", in_user_block, "keras"},
      {"h5 without keras attributes", hdf5_file("other"), std::nullopt},
      {"h5 version 2 header", hdf5_v2_file("keras_version"), "keras"},
      {"h5 version 2 header, other attribute", hdf5_v2_file("other"), std::nullopt},
      {"h5 cut short", keras_version.substr(0, 100), std::nullopt},
      {"text axis pads@", "axis pads@ strides@ kernel_shape@", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(probe(c.bytes), c.expected) << c.name;
}

TEST(FormatProbeTest, RandomBytesAreNothing) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::string s(1 + rng() % 4096, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xff);
    if (round % 2) s.replace(4, 4, "TFL3");
    EXPECT_EQ(probe(s), std::nullopt) << "round " << round;
  }
}

TEST(FormatProbeTest, FilesAreReadLikeMemory) {
  // A model whose graph is padded past the read window: the walk skips the payload by offset.
  std::string padded_graph = onnx_graph(kRelu) + len(5, std::string(300000, 'w'));
  std::string templ = (fs::temp_directory_path() / "format_probe_XXXXXX").string();
  ASSERT_NE(::mkdtemp(templ.data()), nullptr);
  const fs::path dir = templ;
  const fs::path file = dir / "model.bin";
  {
    std::ofstream out(file, std::ios::binary);
    const std::string bytes = onnx_model(padded_graph);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_EQ(probe_model_format(file), "onnx");
  EXPECT_EQ(probe_model_format(dir / "missing"), std::nullopt);
  EXPECT_EQ(probe_model_format(dir), std::nullopt);
  fs::remove_all(dir);
}
