// The parts of tests.test_utils.coco_utils, each defined into the module by its own source.
#pragma once

#include <pybind11/pybind11.h>

namespace coco_utils {

namespace py = pybind11;

void define_boxes(py::module_& m);
void define_loading(py::module_& m);
void define_drawing(py::module_& m);

}  // namespace coco_utils
