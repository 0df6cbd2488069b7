// Box conversion, IoU and non-maximum suppression of tests.test_utils.coco_utils. The suppression
// runs in the native kernel with the GIL released; its results come back as torch tensors on the
// prediction's device.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bindings/signals.hpp"
#include "native/nms.hpp"
#include "verification/test_utils/coco_utils.hpp"

namespace coco_utils {

namespace {

py::object item(py::handle obj, py::object index) { return obj.attr("__getitem__")(index); }

py::object all() { return py::module_::import("builtins").attr("slice")(py::none()); }
py::object span(py::object start, py::object stop) {
  return py::module_::import("builtins").attr("slice")(start, stop);
}

template <typename T>
py::object run_nms(py::object cpu, const py::object& device, const py::object& dtype,
                   const ostrel::native::NmsOptions& options) {
  py::tuple shape = py::tuple(cpu.attr("shape"));
  const auto batch = shape[0].cast<std::size_t>();
  const auto candidates = shape[1].cast<std::size_t>();
  const auto columns = shape[2].cast<std::size_t>();
  const auto* data = reinterpret_cast<const T*>(cpu.attr("data_ptr")().cast<std::uintptr_t>());
  std::vector<std::optional<ostrel::native::Detections<T>>> result;
  // Pending signals are handled while the kernel runs: a KeyboardInterrupt stops it.
  ostrel::SignalPoll poll;
  ostrel::native::NmsOptions run_options = options;
  run_options.interrupted = [&poll] { return poll(); };
  try {
    py::gil_scoped_release nogil;
    result = ostrel::native::non_max_suppression<T>(std::span<const T>(data, batch * candidates * columns),
                                                    batch, candidates, columns, run_options);
  } catch (const ostrel::native::Interrupted&) {
    if (poll.error()) throw std::move(*poll.error());
    throw;
  }
  py::object torch = py::module_::import("torch");
  py::list output;
  for (auto& entry : result) {
    if (!entry) {
      output.append(py::none());
      continue;
    }
    const auto rows = static_cast<py::ssize_t>(entry->size() / 6);
    py::array_t<T> array({rows, py::ssize_t(6)});
    std::copy(entry->begin(), entry->end(), array.mutable_data());
    output.append(
        torch.attr("from_numpy")(array).attr("to")(py::arg("device") = device, py::arg("dtype") = dtype));
  }
  return output;
}

}  // namespace

py::object convert_xywh_bbox_to_xyxy(py::object input_bbox) {
  py::object torch = py::module_::import("torch");
  bool need_squeeze = false;
  if (input_bbox.attr("dim")().cast<int>() < 3) {
    input_bbox = input_bbox.attr("unsqueeze")(0);
    need_squeeze = true;
  }
  py::object converted = torch.attr("zeros_like")(input_bbox);
  py::object ellipsis = py::reinterpret_borrow<py::object>(Py_Ellipsis);
  auto col = [&](int c) { return item(input_bbox, py::make_tuple(ellipsis, c)); };
  py::object half_w = col(2) / py::float_(2.0), half_h = col(3) / py::float_(2.0);
  converted.attr("__setitem__")(py::make_tuple(ellipsis, 0), col(0) - half_w);
  converted.attr("__setitem__")(py::make_tuple(ellipsis, 1), col(1) - half_h);
  converted.attr("__setitem__")(py::make_tuple(ellipsis, 2), col(0) + half_w);
  converted.attr("__setitem__")(py::make_tuple(ellipsis, 3), col(1) + half_h);
  if (need_squeeze) converted = converted.attr("squeeze")(0);
  return converted;
}

py::object box_iou(py::object box1, py::object box2) {
  py::object torch = py::module_::import("torch");
  auto box_area = [](py::object t) {  // t: 4 x N
    return (item(t, py::int_(2)) - item(t, py::int_(0))) * (item(t, py::int_(3)) - item(t, py::int_(1)));
  };
  py::object area1 = box_area(box1.attr("T"));
  py::object area2 = box_area(box2.attr("T"));
  py::object far1 = item(box1, py::make_tuple(all(), py::none(), span(py::int_(2), py::none())));
  py::object near1 = item(box1, py::make_tuple(all(), py::none(), span(py::none(), py::int_(2))));
  py::object far2 = item(box2, py::make_tuple(all(), span(py::int_(2), py::none())));
  py::object near2 = item(box2, py::make_tuple(all(), span(py::none(), py::int_(2))));
  py::object inter =
      (torch.attr("min")(far1, far2) - torch.attr("max")(near1, near2)).attr("clamp")(0).attr("prod")(2);
  return inter / (item(area1, py::make_tuple(all(), py::none())) + area2 - inter);
}

py::object non_max_suppression(py::object prediction, double conf_thres, double iou_thres, bool merge,
                               py::object classes, bool agnostic) {
  py::object torch = py::module_::import("torch");
  py::object pred = torch.attr("as_tensor")(prediction);
  if (pred.attr("dim")().cast<int>() != 3)
    throw py::value_error(
        "non_max_suppression expects a (batch, candidates, 5 + classes) prediction, got shape " +
        std::string(py::str(pred.attr("shape"))));
  py::object device = pred.attr("device");
  py::object dtype = pred.attr("dtype");
  const bool wide = dtype.equal(torch.attr("float64"));
  py::object work = wide ? torch.attr("float64") : torch.attr("float32");
  py::object cpu = pred.attr("detach")()
                       .attr("to")(py::arg("device") = "cpu", py::arg("dtype") = work)
                       .attr("contiguous")();
  ostrel::native::NmsOptions options;
  options.conf_thres = conf_thres;
  options.iou_thres = iou_thres;
  options.merge = merge;
  options.agnostic = agnostic;
  if (!classes.is_none())
    for (py::handle c : classes)
      options.classes.push_back(py::module_::import("builtins").attr("int")(c).cast<std::int64_t>());
  // Results of an integer prediction would lose their fractions: they come back as float32.
  py::object out_dtype = dtype.attr("is_floating_point").cast<bool>() ? dtype : torch.attr("float32");
  return wide ? run_nms<double>(cpu, device, out_dtype, options)
              : run_nms<float>(cpu, device, out_dtype, options);
}

void define_boxes(py::module_& m) {
  m.def("convert_xywh_bbox_to_xyxy", &convert_xywh_bbox_to_xyxy, py::arg("input_bbox"),
        "Boxes (centre x, centre y, width, height) to corners (x1, y1, x2, y2); columns after the fourth are "
        "zero.");
  m.def("box_iou", &box_iou, py::arg("box1"), py::arg("box2"),
        "Intersection over union of every pair of boxes of box1 (N x 4) and box2 (M x 4), both as corners.");
  m.def(
      "non_max_suppression", &non_max_suppression, py::arg("prediction"), py::arg("conf_thres") = 0.25,
      py::arg("iou_thres") = 0.6, py::arg("merge") = false, py::arg("classes") = py::none(),
      py::arg("agnostic") = false,
      "Per-image detections (x1, y1, x2, y2, conf, cls) of a (batch, candidates, 5 + classes) prediction:\n"
      "objectness and class-score thresholds, greedy suppression per class (all classes together when\n"
      "`agnostic`), at most 300 detections, and with `merge` the score-weighted mean of overlapping boxes.\n"
      "An image with no candidate gets None.");
}

}  // namespace coco_utils
