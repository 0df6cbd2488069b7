// The ONNX-to-TensorRT engine builder of the verification package (`tests.test_utils.onnx_to_trt`):
// QuantizationLevel, build_trt_engine_from_onnx_ckpt and the command line that writes a pickled
// TensorRT checkpoint.
#pragma once

#include <pybind11/pybind11.h>

namespace ostrel::verification {

// The module's top level: imports, the "onnx-to-trt-converter" logger and, on a machine with a GPU,
// QuantizationLevel, OnnxParseError and build_trt_engine_from_onnx_ckpt. Runs the command line when `m`
// is the main program.
void onnx_to_trt_module(pybind11::module_& m);

// The command line over sys.argv[1:5]: ONNX input, checkpoint output, quantization level, maximum batch.
// A parse failure of the model ends the process with status 1.
void onnx_to_trt_command_line(pybind11::module_& m);

}  // namespace ostrel::verification
