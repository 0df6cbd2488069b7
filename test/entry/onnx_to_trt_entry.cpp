// Test-only entry to the engine builder of the verification package until the `tests` package serves it:
// importing `onnx_to_trt_entry` runs the module's top level; `main()` runs its command line over
// sys.argv. Built next to the extension, never installed.
#include <pybind11/pybind11.h>

#include "verification/test_utils/onnx_to_trt.hpp"

PYBIND11_MODULE(onnx_to_trt_entry, m) {
  ostrel::verification::onnx_to_trt_module(m);
  m.def(
      "main",
      [m]() mutable {
        if (pybind11::bool_(m.attr("GPU_PRESENT"))) ostrel::verification::onnx_to_trt_command_line(m);
      },
      "Runs the builder's command line: ONNX input, checkpoint output, quantization level, maximum batch.");
}
