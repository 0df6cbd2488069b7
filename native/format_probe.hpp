// Structural recognition of model files: tells a model format by its own layout (protobuf fields, flat buffer
// tables, XML elements, zip directory, HDF5 object headers), never by a text found somewhere in the file.
//
// Framework detection asks this only when no marker of its table matched, so the table's answers stay as
// they are; this check recognises files of current exporters that hold none of the table's markers.
//
// Formats, tried in this order (the framework's value text in brackets):
//   - ONNX ModelProto ("onnx"): the whole file parses as protobuf; ir_version, at least one opset_import
//     with a version, and a graph whose nodes name their operator.
//   - Core ML Model ("coreml"): the whole file parses as protobuf; specificationVersion, a description
//     whose features have names, and exactly one model-type field.
//   - TFLite flat buffer ("tflite"): file identifier "TFL3" at offset 4, a root table inside the file
//     with schema version 3 and a non-empty vector of subgraphs.
//   - OpenVINO IR ("openvino"): an XML document whose root element is `net` with `layers` and `edges`
//     children.
//   - Keras ".keras" archive ("keras"): a zip archive whose central directory lists "config.json" and
//     "metadata.json" or "model.weights.h5".
//   - Keras ".h5" file ("keras"): an HDF5 file whose root group carries the attribute "keras_version" or
//     "model_config" (compact attribute storage, the kind h5py writes for these).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ostrel::native {

// The framework's value text of a recognised model file, or nullopt (also when the file cannot be read or
// ends early).
std::optional<std::string> probe_model_format(const std::filesystem::path& path);
std::optional<std::string> probe_model_format(std::span<const std::uint8_t> bytes);

// The "location" texts of the tensors an ONNX model file keeps as external data, each once, in the order
// first met (relative to the model's folder, as the file gives them); empty when there are none or the file
// is no well-formed ONNX model.
std::vector<std::string> onnx_external_data_locations(const std::filesystem::path& path);

}  // namespace ostrel::native
