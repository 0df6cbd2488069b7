#include "modtree/modtree.hpp"
#include "runtime/common/enums/enum_support.hpp"

MODTREE_MODULE("common.enums.framework_type", m) {
  m.attr("Enum") = pybind11::module_::import("enum").attr("Enum");
  ostrel::enums::make_text_enum(m, "FrameworkType", "A general deep learning framework, without a version.",
                                "framework",
                                {{"ONNX", "onnx"},
                                 {"PYTORCH", "pytorch"},
                                 {"TORCHSCRIPT", "torchscript"},
                                 {"TENSORRT", "trt"},
                                 {"OPENVINO", "openvino"},
                                 {"KERAS", "keras"},
                                 {"TENSORFLOW2", "tf2"},
                                 {"TFLITE", "tflite"},
                                 {"COREML", "coreml"}});
}
