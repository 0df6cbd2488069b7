#include "modtree/modtree.hpp"
#include "runtime/common/enums/enum_support.hpp"

MODTREE_MODULE("common.enums.inference_hardware", m) {
  m.attr("Enum") = pybind11::module_::import("enum").attr("Enum");
  ostrel::enums::make_text_enum(m, "InferenceHardware",
                                "Hardware that can be used for deep learning inference.", "hardware",
                                {{"CPU", "cpu"}, {"GPU", "gpu"}});
}
