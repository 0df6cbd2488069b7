// Detection utilities: sample loading and pre-processing, boxes and non-maximum suppression,
// drawing, and the COCO class table. Images are OpenCV arrays (height x width x 3, blue-green-red).
#include "verification/test_utils/coco_utils.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>

#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/modtree.hpp"

namespace coco_utils {

namespace {

const char* const kCocoClasses[] = {"person",        "bicycle",      "car",
                                    "motorcycle",    "airplane",     "bus",
                                    "train",         "truck",        "boat",
                                    "traffic light", "fire hydrant", "stop sign",
                                    "parking meter", "bench",        "bird",
                                    "cat",           "dog",          "horse",
                                    "sheep",         "cow",          "elephant",
                                    "bear",          "zebra",        "giraffe",
                                    "backpack",      "umbrella",     "handbag",
                                    "tie",           "suitcase",     "frisbee",
                                    "skis",          "snowboard",    "sports ball",
                                    "kite",          "baseball bat", "baseball glove",
                                    "skateboard",    "surfboard",    "tennis racket",
                                    "bottle",        "wine glass",   "cup",
                                    "fork",          "knife",        "spoon",
                                    "bowl",          "banana",       "apple",
                                    "sandwich",      "orange",       "broccoli",
                                    "carrot",        "hot dog",      "pizza",
                                    "donut",         "cake",         "chair",
                                    "couch",         "potted plant", "bed",
                                    "dining table",  "toilet",       "tv",
                                    "laptop",        "mouse",        "remote",
                                    "keyboard",      "cell phone",   "microwave",
                                    "oven",          "toaster",      "sink",
                                    "refrigerator",  "book",         "clock",
                                    "vase",          "scissors",     "teddy bear",
                                    "hair drier",    "toothbrush"};

py::object module_attr(const py::module_& m, const char* name) { return m.attr(name); }

}  // namespace

void define_loading(py::module_& m) {
  m.def(
      "sample_loader",
      [m](py::object sample_path) -> py::object {
        if (sample_path.is_none()) return py::none();
        py::object result;
        try {
          result = module_attr(m, "cv2").attr("imread")(sample_path);
          if (result.is_none()) py::print("Image Not Found: " + ostrel::str(sample_path));
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_Exception)) throw;
          py::print("Caught Exception trying to to open " + ostrel::str(sample_path) +
                    ostrel::str(e.value()));
          return py::none();
        }
        return result;
      },
      py::arg("sample_path"),
      "The image at `sample_path` as OpenCV reads it, or None when it cannot be read.");

  m.def(
      "sample_transform",
      [m](py::object image, py::object image_size, py::object new_width) -> py::object {
        (void)new_width;
        py::tuple shape = py::tuple(image.attr("shape"));
        const double size = image_size.cast<double>();
        const double h = shape[0].cast<double>(), w = shape[1].cast<double>();
        if (h == 0 || w == 0) {
          PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
          throw py::error_already_set();
        }
        if (size / h == 1.0 && size / w == 1.0) return image;
        const double ratio = size / std::max(h, w);
        py::object cv2 = module_attr(m, "cv2");
        py::object interp = ratio < 1 ? cv2.attr("INTER_AREA") : cv2.attr("INTER_LINEAR");
        return cv2.attr("resize")(image, py::make_tuple(image_size, image_size),
                                  py::arg("interpolation") = interp);
      },
      py::arg("image"), py::arg("image_size"), py::arg("new_width") = py::none(),
      "`image` resized to image_size x image_size (the same array when it already has that size).");

  m.def(
      "sample_post_process",
      [m](py::object image) -> py::object {
        py::object np = module_attr(m, "np");
        py::object slice = ostrel::builtin("slice");
        py::object flipped = image.attr("__getitem__")(
            py::make_tuple(slice(py::none()), slice(py::none()), slice(py::none(), py::none(), -1)));
        py::object chw = flipped.attr("transpose")(2, 0, 1);
        py::object out = np.attr("ascontiguousarray")(chw).attr("astype")(np.attr("float32"));
        out.attr("__itruediv__")(255.0);
        return out;
      },
      py::arg("image"),
      "A height x width x 3 BGR image as a 3 x height x width RGB float32 array in [0, 1].");

  m.def(
      "pre_process_image",
      [m](py::object image, py::object model_image_size, py::object batch_size, py::object image_size) {
        py::object np = module_attr(m, "np");
        py::object transformed = module_attr(m, "sample_transform")(py::arg("image") = image,
                                                                    py::arg("image_size") = model_image_size,
                                                                    py::arg("new_width") = image_size);
        py::object chw = module_attr(m, "sample_post_process")(transformed);
        py::object expanded = np.attr("expand_dims")(chw, 0);
        return np.attr("repeat")(expanded, batch_size, py::arg("axis") = 0);
      },
      py::arg("image"), py::arg("model_image_size"), py::arg("batch_size") = 1,
      py::arg("image_size") = py::none(),
      "The model input batch (batch_size, 3, S, S) of an OpenCV image, S being `model_image_size`.");

  m.def(
      "load_random_example_image",
      [m](py::object image_dir, py::object img_extension) {
        py::list files;
        for (py::handle name : module_attr(m, "os").attr("listdir")(image_dir))
          if (name.attr("endswith")(img_extension).cast<bool>()) files.append(name);
        py::object file_path = image_dir + module_attr(m, "random").attr("choice")(files);
        py::object image = module_attr(m, "Image").attr("open")(file_path).attr("convert")("RGB");
        std::string path = py::str(file_path);
        py::print("'" + path.substr(path.rfind('/') + 1) + "' is prepared for inference");
        return py::make_tuple(image, file_path);
      },
      py::arg("image_dir") = "./examples_utils/example_images/", py::arg("img_extension") = "JPEG",
      "A randomly chosen image of `image_dir` (names ending in `img_extension`) in RGB, and its path.");
}

}  // namespace coco_utils

namespace py = pybind11;

MODTREE_MODULE("test_utils.coco_utils", m) {
  m.attr("os") = py::module_::import("os");
  m.attr("random") = py::module_::import("random");
  m.attr("Path") = modtree::import_from("pathlib", "Path");
  m.attr("cv2") = py::module_::import("cv2");
  m.attr("math") = py::module_::import("math");
  m.attr("np") = py::module_::import("numpy");
  m.attr("torch") = py::module_::import("torch");
  py::module_::import("PIL.ImageDraw");
  py::module_::import("PIL.ImageFont");
  py::module_ pil = py::module_::import("PIL.Image");
  m.attr("Image") = pil;
  m.attr("ImageDraw") = py::module_::import("PIL.ImageDraw");
  m.attr("ImageFont") = py::module_::import("PIL.ImageFont");

  m.attr("RANK") = ostrel::builtin("int")(m.attr("os").attr("getenv")("RANK", -1));

  coco_utils::define_loading(m);
  coco_utils::define_drawing(m);
  coco_utils::define_boxes(m);

  py::dict classes;
  int index = 0;
  for (const char* name : coco_utils::kCocoClasses) classes[py::int_(index++)] = py::str(name);
  m.attr("COCO_DETECTION_CLASSES_DICT") = classes;
}
