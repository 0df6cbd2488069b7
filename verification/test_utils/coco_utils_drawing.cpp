// Drawing half of tests.test_utils.coco_utils: the class palette, the annotator and the mosaic of a batch
// with its detections. Fonts never come from the network: a font at the given path, one named by the
// OSTREL_FONT environment variable, one of the platform's fonts, or else Pillow's built-in font.
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "verification/test_utils/coco_utils.hpp"

namespace coco_utils {

namespace {

const char* const kPalette[] = {"FF3838", "FF9D97", "FF701F", "FFB21D", "CFD231", "48F90A", "92CC17",
                                "3DDB86", "1A9334", "00D4BB", "2C99A8", "00C2FF", "344593", "6473FF",
                                "0018EC", "8438FF", "520085", "CB38FF", "FF95C8", "FF37C7"};

// Platform fonts tried by file name when the requested one is not found.
const char* const kFallbackFonts[] = {"DejaVuSans.ttf", "LiberationSans-Regular.ttf", "FreeSans.ttf",
                                      "Arial.ttf"};

// Python's round() of a float: to the nearest integer, ties to even.
long round_even(double v) { return std::lrint(std::nearbyint(v)); }

py::object try_truetype(py::handle image_font, py::object font, py::object size) {
  try {
    return image_font.attr("truetype")(font, size);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
}

// Width and height of `text` in `font`, measured from the origin as the text is drawn.
std::pair<double, double> text_size(py::handle font, py::handle text) {
  py::tuple box = font.attr("getbbox")(text);
  return {box[2].cast<double>(), box[3].cast<double>()};
}

py::object hex2rgb(const std::string& h) {
  if (h.size() < 7) throw py::value_error("hex2rgb expects '#' and six hexadecimal digits, got " + h);
  return py::make_tuple(std::stoi(h.substr(1, 2), nullptr, 16), std::stoi(h.substr(3, 2), nullptr, 16),
                        std::stoi(h.substr(5, 2), nullptr, 16));
}

py::object item(py::handle obj, py::object index) { return obj.attr("__getitem__")(index); }

// ---- fonts ----

// The first TrueType font that loads: `font` as a path (else its file name among the platform's fonts),
// then the font OSTREL_FONT names, then the platform fonts tried by name; none when none loads.
py::object find_truetype(const py::module_& m, py::handle image_font, py::object font, py::object size) {
  py::object path = m.attr("Path")(font);
  py::object candidate = path.attr("exists")().cast<bool>() ? py::str(path) : py::str(path.attr("name"));
  py::object loaded = try_truetype(image_font, candidate, size);
  if (!loaded.is_none()) return loaded;
  py::object from_env = m.attr("os").attr("environ").attr("get")("OSTREL_FONT");
  if (!from_env.is_none()) {
    loaded = try_truetype(image_font, from_env, size);
    if (!loaded.is_none()) return loaded;
  }
  for (const char* name : kFallbackFonts) {
    loaded = try_truetype(image_font, py::str(name), size);
    if (!loaded.is_none()) return loaded;
  }
  return py::none();
}

// One warning per process that labels fall back to Pillow's built-in font.
void warn_font_missing_once(const py::module_& m, py::handle font) {
  if (m.attr("_font_warning_given").cast<bool>()) return;
  m.attr("_font_warning_given") = true;
  py::module_::import("warnings")
      .attr("warn")("Font " + ostrel::str(py::repr(font)) +
                        " was not found (nor OSTREL_FONT or a platform font): labels use Pillow's "
                        "built-in font",
                    py::arg("stacklevel") = 2);
}

py::object check_font(const py::module_& m, py::object font, py::object size) {
  py::object image_font = m.attr("ImageFont");
  py::object loaded = find_truetype(m, image_font, font, size);
  if (!loaded.is_none()) return loaded;
  warn_font_missing_once(m, font);
  return image_font.attr("load_default")(py::arg("size") = size);
}

void define_check_font(py::module_& m) {
  m.attr("_font_warning_given") = false;
  m.def(
      "check_font", [m](py::object font, py::object size) { return check_font(m, font, size); },
      py::arg("font") = "Arial.ttf", py::arg("size") = 10,
      "A TrueType font: `font` as a path, else by file name among the platform's fonts, else the font that\n"
      "OSTREL_FONT names, else a platform font, else Pillow's built-in font (with one warning).");
}

// ---- Colors ----

void define_colors(py::module_& m) {
  py::list hexes;
  for (const char* h : kPalette) hexes.append(py::str(h));
  modtree::ClassBuilder colors(m, "Colors");
  colors.doc("The 20-colour palette of class indices.");
  colors.def(
      "__init__",
      [hexes](py::object self) {
        py::list palette;
        py::object to_rgb = self.attr("hex2rgb");
        for (py::handle h : hexes) palette.append(to_rgb("#" + ostrel::str(h)));
        self.attr("palette") = palette;
        self.attr("n") = py::len(palette);
      },
      py::arg("self"));
  colors.def(
      "__call__",
      [](py::object self, py::object i, bool bgr) {
        py::list palette = self.attr("palette");
        const long n = self.attr("n").cast<long>();
        long index = ostrel::builtin("int")(i).cast<long>() % n;
        if (index < 0) index += n;
        py::tuple c = palette[index];
        return bgr ? py::make_tuple(c[2], c[1], c[0]) : py::tuple(c);
      },
      py::arg("self"), py::arg("i"), py::arg("bgr") = false);
  colors.def_static("hex2rgb", &hex2rgb, py::arg("h"));
  colors.build();
}

// ---- Annotator ----

// The sum of the image's dimensions (width, height and bands of a Pillow image; the shape of an
// array, which must be contiguous), from which the default line width is taken.
double image_shape_sum(py::handle im, bool is_pil_image) {
  double shape_sum = 0;
  if (is_pil_image) {
    py::tuple size = im.attr("size");
    return size[0].cast<double>() + size[1].cast<double>() + py::len(im.attr("getbands")());
  }
  if (!im.attr("data").attr("contiguous").cast<bool>())
    ostrel::raise(PyExc_AssertionError,
                  "Image not contiguous. Apply np.ascontiguousarray(im) to Annotator() input images.");
  for (py::handle d : im.attr("shape")) shape_sum += d.cast<double>();
  return shape_sum;
}

void annotator_init(const py::module_& m, py::object self, py::object im, py::object line_width,
                    py::object font_size, py::object font, bool pil) {
  py::object image_module = m.attr("Image");
  const bool is_pil_image = py::isinstance(im, image_module.attr("Image"));
  const double shape_sum = image_shape_sum(im, is_pil_image);
  self.attr("pil") = pil;
  if (pil) {
    py::object image = is_pil_image ? im : image_module.attr("fromarray")(im);
    self.attr("im") = image;
    self.attr("draw") = m.attr("ImageDraw").attr("Draw")(image);
    py::object s = font_size;
    if (s.is_none() || !s.cast<bool>()) {
      py::tuple size = image.attr("size");
      const double mean = (size[0].cast<double>() + size[1].cast<double>()) / 2;
      s = py::int_(std::max(round_even(mean * 0.035), 12L));
    }
    self.attr("font") = m.attr("check_font")(font, s);
  } else {
    self.attr("im") = im;
  }
  if (!line_width.is_none() && line_width.cast<bool>())
    self.attr("lw") = line_width;
  else
    self.attr("lw") = py::int_(std::max(round_even(shape_sum / 2 * 0.003), 2L));
}

// A box with its label above it (below it when there is no room above), drawn through Pillow.
void box_label_pil(py::object self, py::list corners, bool has_label, py::object label, py::object color,
                   py::object txt_color) {
  const double x1 = corners[0].cast<double>(), y1 = corners[1].cast<double>();
  py::object draw = self.attr("draw");
  draw.attr("rectangle")(corners, py::arg("width") = self.attr("lw"), py::arg("outline") = color);
  if (!has_label) return;
  py::object font = self.attr("font");
  auto [w, h] = text_size(font, label);
  const bool outside = y1 - h >= 0;
  if (outside) {
    draw.attr("rectangle")(py::make_tuple(x1, y1 - h, x1 + w + 1, y1 + 1), py::arg("fill") = color);
    draw.attr("text")(py::make_tuple(x1, y1 - h), label, py::arg("fill") = txt_color, py::arg("font") = font);
  } else {
    draw.attr("rectangle")(py::make_tuple(x1, y1, x1 + w + 1, y1 + h + 1), py::arg("fill") = color);
    draw.attr("text")(py::make_tuple(x1, y1), label, py::arg("fill") = txt_color, py::arg("font") = font);
  }
}

// The same through OpenCV, on the array the annotator holds.
void box_label_cv2(const py::module_& m, py::object self, py::list corners, bool has_label, py::object label,
                   py::object color, py::object txt_color) {
  const double x1 = corners[0].cast<double>(), y1 = corners[1].cast<double>();
  py::object cv2 = m.attr("cv2");
  py::object im = self.attr("im");
  const long lwi = self.attr("lw").cast<long>();
  const long px = static_cast<long>(x1), py_ = static_cast<long>(y1);
  py::tuple p1 = py::make_tuple(px, py_);
  py::tuple p2 = py::make_tuple(static_cast<long>(corners[2].cast<double>()),
                                static_cast<long>(corners[3].cast<double>()));
  cv2.attr("rectangle")(im, p1, p2, color, py::arg("thickness") = lwi,
                        py::arg("lineType") = cv2.attr("LINE_AA"));
  if (!has_label) return;
  const long tf = std::max(lwi - 1, 1L);
  const double scale = static_cast<double>(lwi) / 3;
  py::tuple size =
      item(cv2.attr("getTextSize")(label, 0, py::arg("fontScale") = scale, py::arg("thickness") = tf),
           py::int_(0));
  const long w = size[0].cast<long>(), h = size[1].cast<long>();
  const bool outside = py_ - h - 3 >= 0;
  py::tuple corner = py::make_tuple(px + w, outside ? py_ - h - 3 : py_ + h + 3);
  cv2.attr("rectangle")(im, p1, corner, color, -1, cv2.attr("LINE_AA"));
  cv2.attr("putText")(im, label, py::make_tuple(px, outside ? py_ - 2 : py_ + h + 2), 0, scale, txt_color,
                      py::arg("thickness") = tf, py::arg("lineType") = cv2.attr("LINE_AA"));
}

void box_label(const py::module_& m, py::object self, py::object box, py::object label, py::object color,
               py::object txt_color) {
  py::list corners;
  for (int k = 0; k < 4; ++k) corners.append(ostrel::builtin("float")(item(box, py::int_(k))));
  const bool has_label = py::len(label) > 0;
  if (self.attr("pil").cast<bool>())
    box_label_pil(self, corners, has_label, label, color, txt_color);
  else
    box_label_cv2(m, self, corners, has_label, label, color, txt_color);
}

void require_pil(py::handle self, const char* what) {
  if (!self.attr("pil").cast<bool>())
    throw py::type_error(std::string(what) + "() draws through Pillow: make the Annotator with pil=True");
}

void define_annotator(py::module_& m) {
  modtree::ClassBuilder annotator(m, "Annotator");
  annotator.doc("Draws boxes, labels and text on one image, through Pillow (`pil`) or OpenCV.");
  annotator.def(
      "__init__",
      [m](py::object self, py::object im, py::object line_width, py::object font_size, py::object font,
          bool pil, py::object /*example*/) {
        annotator_init(m, self, im, line_width, font_size, font, pil);
      },
      py::arg("self"), py::arg("im"), py::arg("line_width") = py::none(), py::arg("font_size") = py::none(),
      py::arg("font") = "Arial.ttf", py::arg("pil") = false, py::arg("example") = "abc");
  annotator.def(
      "box_label",
      [m](py::object self, py::object box, py::object label, py::object color, py::object txt_color) {
        box_label(m, self, box, label, color, txt_color);
      },
      py::arg("self"), py::arg("box"), py::arg("label") = "",
      py::arg("color") = py::make_tuple(128, 128, 128), py::arg("txt_color") = py::make_tuple(255, 255, 255));
  annotator.def(
      "rectangle",
      [](py::object self, py::object xy, py::object fill, py::object outline, py::object width) {
        require_pil(self, "rectangle");
        self.attr("draw").attr("rectangle")(xy, fill, outline, width);
      },
      py::arg("self"), py::arg("xy"), py::arg("fill") = py::none(), py::arg("outline") = py::none(),
      py::arg("width") = 1);
  annotator.def(
      "text",
      [](py::object self, py::object xy, py::object text, py::object txt_color) {
        require_pil(self, "text");
        py::object font = self.attr("font");
        const double h = text_size(font, text).second;
        py::object x = item(xy, py::int_(0)), y = item(xy, py::int_(1));
        self.attr("draw").attr("text")(py::make_tuple(x, y - py::float_(h) + py::int_(1)), text,
                                       py::arg("fill") = txt_color, py::arg("font") = font);
      },
      py::arg("self"), py::arg("xy"), py::arg("text"), py::arg("txt_color") = py::make_tuple(255, 255, 255));
  annotator.def(
      "result", [m](py::object self) { return m.attr("np").attr("asarray")(self.attr("im")); },
      py::arg("self"));
  annotator.build();
}

// ---- plot_images ----

// A float32 copy of the batch (a tensor or anything NumPy takes), channels first.
py::object batch_copy(const py::module_& m, py::object images) {
  py::object np = m.attr("np");
  if (py::isinstance(images, m.attr("torch").attr("Tensor")))
    images = images.attr("detach")().attr("cpu")().attr("float")().attr("numpy")();
  return np.attr("array")(images, py::arg("dtype") = np.attr("float32"), py::arg("copy") = true);
}

// A copy of the detection rows (image index, class, box..., [confidence]); no rows when none are given.
py::object targets_copy(const py::module_& m, py::object targets) {
  py::object np = m.attr("np");
  if (targets.is_none())
    targets = np.attr("zeros")(py::make_tuple(0, 6), py::arg("dtype") = np.attr("float32"));
  if (py::isinstance(targets, m.attr("torch").attr("Tensor")))
    targets = targets.attr("detach")().attr("cpu")().attr("numpy")();
  return np.attr("array")(targets, py::arg("copy") = true);
}

// The batch tiled into a square of ns x ns cells of h x w pixels, scaled down to fit `max_size`.
struct Mosaic {
  py::object image;
  double ns = 0;     // cells per side
  double h = 0;      // cell height after scaling
  double w = 0;      // cell width after scaling
  double scale = 1;  // the scaling applied (below 1 when the mosaic was shrunk)

  // The top-left corner of cell `i`, filled column by column.
  std::pair<long, long> cell(long i) const {
    const long x = static_cast<long>(w * std::floor(i / ns));
    const long y = static_cast<long>(h * std::fmod(static_cast<double>(i), ns));
    return {x, y};
  }
};

Mosaic tile_mosaic(const py::module_& m, py::object images, long bs, double max_size) {
  py::object np = m.attr("np");
  py::object slice = ostrel::builtin("slice");
  py::tuple shape = images.attr("shape");
  Mosaic mosaic;
  mosaic.h = shape[2].cast<double>();
  mosaic.w = shape[3].cast<double>();
  mosaic.ns = std::ceil(std::sqrt(static_cast<double>(bs)));
  const long src_h = static_cast<long>(mosaic.h), src_w = static_cast<long>(mosaic.w);
  py::tuple mosaic_shape =
      py::make_tuple(static_cast<long>(mosaic.ns * mosaic.h), static_cast<long>(mosaic.ns * mosaic.w), 3);
  mosaic.image = np.attr("full")(mosaic_shape, 255, py::arg("dtype") = np.attr("uint8"));
  for (long i = 0; i < bs; ++i) {
    auto [x, y] = mosaic.cell(i);
    py::object img = item(images, py::int_(i)).attr("transpose")(1, 2, 0);
    py::tuple region = py::make_tuple(slice(y, y + src_h), slice(x, x + src_w), slice(py::none()));
    mosaic.image.attr("__setitem__")(region, img);
  }
  mosaic.scale = max_size / mosaic.ns / std::max(mosaic.h, mosaic.w);
  if (mosaic.scale < 1) {
    mosaic.h = std::ceil(mosaic.scale * mosaic.h);
    mosaic.w = std::ceil(mosaic.scale * mosaic.w);
    mosaic.image = m.attr("cv2").attr("resize")(
        mosaic.image,
        py::make_tuple(static_cast<long>(mosaic.w * mosaic.ns), static_cast<long>(mosaic.h * mosaic.ns)));
  }
  return mosaic;
}

// Detection boxes (a float64 copy of the rows' corners) moved into the pixels of the cell at (x, y):
// normalised boxes are scaled to the cell, pixel boxes by the mosaic's scaling.
void place_in_cell(py::object boxes, const Mosaic& mosaic, long x, long y) {
  py::object all = ostrel::builtin("slice")(py::none());
  py::list xs, ys;
  xs.append(0), xs.append(2), ys.append(1), ys.append(3);
  py::tuple x_cols = py::make_tuple(all, xs), y_cols = py::make_tuple(all, ys);
  if (boxes.attr("max")().cast<double>() <= 1.01) {
    boxes.attr("__setitem__")(x_cols, item(boxes, x_cols) * py::float_(mosaic.w));
    boxes.attr("__setitem__")(y_cols, item(boxes, y_cols) * py::float_(mosaic.h));
  } else if (mosaic.scale < 1) {
    boxes.attr("__imul__")(mosaic.scale);
  }
  boxes.attr("__setitem__")(x_cols, item(boxes, x_cols) + py::int_(x));
  boxes.attr("__setitem__")(y_cols, item(boxes, y_cols) + py::int_(y));
}

// What every cell is drawn with, and the labels drawn so far.
struct CellPainter {
  py::module_ m;
  py::object annotator;
  py::object colors;
  py::object paths;  // file names of the batch's images
  py::object names;  // class names by index
  bool have_paths = false;
  bool have_names = false;
  bool print_label = true;
  py::set labels;

  // The cell's white frame and, when paths are given, its image's file name.
  void frame(long i, long x, long y, const Mosaic& mosaic) const {
    const double w = mosaic.w, h = mosaic.h;
    annotator.attr("rectangle")(py::make_tuple(x, y, x + w, y + h), py::none(), py::make_tuple(255, 255, 255),
                                py::arg("width") = 2);
    if (!have_paths) return;
    std::string name = py::str(m.attr("Path")(item(paths, py::int_(i))).attr("name"));
    annotator.attr("text")(py::make_tuple(x + 5, y + 5 + h), py::arg("text") = name.substr(0, 40),
                           py::arg("txt_color") = py::make_tuple(220, 220, 220));
  }

  // Every detection row drawn as a labelled box in the cell at (x, y), converted afresh from the
  // caller's values. Rows of seven columns carry a confidence: those at or below 0.25 are left out and
  // the others' labels show it.
  void detections(py::handle targets, long rows, long x, long y, const Mosaic& mosaic) {
    if (rows == 0) return;
    py::object slice = ostrel::builtin("slice");
    py::object all = slice(py::none());
    py::object boxes =
        item(targets, py::make_tuple(all, slice(0, 4))).attr("astype")(m.attr("np").attr("float64"));
    py::object classes = item(targets, py::make_tuple(all, -1)).attr("astype")("int");
    const bool label_rows = py::tuple(targets.attr("shape"))[1].cast<long>() == 6;
    py::object conf = label_rows ? py::none() : item(targets, py::make_tuple(all, 6));
    place_in_cell(boxes, mosaic, x, y);
    for (long j = 0; j < rows; ++j) {
      py::object cls = item(classes, py::int_(j));
      py::object color = colors(cls);
      py::object cls_text = have_names ? item(names, cls) : cls;
      if (!label_rows && !(item(conf, py::int_(j)).cast<double>() > 0.25)) continue;
      std::string label = ostrel::text(cls_text);
      if (!label_rows) label += " " + ostrel::str(ostrel::builtin("format")(item(conf, py::int_(j)), ".1f"));
      if (print_label) py::print("label:", label);
      labels.add(py::str(label));
      annotator.attr("box_label")(item(boxes, py::int_(j)), label, py::arg("color") = color);
    }
  }
};

py::tuple plot_images(const py::module_& m, py::object images, py::object targets, py::object paths,
                      py::object fname, py::object names, double max_size, long max_subplots,
                      bool print_label) {
  py::object colors = m.attr("Colors")();
  // Work on copies: the caller's batch and detections stay as they are.
  images = batch_copy(m, images);
  targets = targets_copy(m, targets);
  if (item(images, py::int_(0)).attr("max")().cast<double>() <= 1) images.attr("__imul__")(255.0);
  const long bs = std::min(py::tuple(images.attr("shape"))[0].cast<long>(), max_subplots);
  const Mosaic mosaic = tile_mosaic(m, images, bs, max_size);

  const long fs = static_cast<long>((mosaic.h + mosaic.w) * mosaic.ns * 0.01);
  CellPainter painter;
  painter.m = m;
  painter.annotator = m.attr("Annotator")(mosaic.image, py::arg("line_width") = round_even(fs / 10.0),
                                          py::arg("font_size") = fs, py::arg("pil") = true);
  painter.colors = colors;
  painter.paths = paths;
  painter.names = names;
  painter.print_label = print_label;
  painter.have_paths = !paths.is_none() && py::len(paths) > 0;
  painter.have_names = !names.is_none() && py::len(names) > 0;
  const long rows = py::len(targets);
  for (long i = 0; i < bs; ++i) {
    auto [x, y] = mosaic.cell(i);
    painter.frame(i, x, y, mosaic);
    painter.detections(targets, rows, x, y, mosaic);
  }
  py::object image = painter.annotator.attr("im");
  image.attr("save")(fname);
  return py::make_tuple(image, painter.labels);
}

void define_plot_images(py::module_& m) {
  m.def(
      "plot_images",
      [m](py::object images, py::object targets, py::object paths, py::object fname, py::object names,
          double max_size, long max_subplots, bool print_label) {
        return plot_images(m, images, targets, paths, fname, names, max_size, max_subplots, print_label);
      },
      py::arg("images"), py::arg("targets"), py::arg("paths") = py::none(), py::arg("fname") = "images.jpg",
      py::arg("names") = py::none(), py::arg("max_size") = 1920, py::arg("max_subplots") = 16,
      py::arg("print_label") = true,
      "Tiles the batch into one mosaic, draws every detection row in each cell, saves it to `fname` and\n"
      "returns (the drawn Pillow image, the set of labels drawn). The caller's arrays are not changed.");
}

}  // namespace

void define_drawing(py::module_& m) {
  define_check_font(m);
  define_colors(m);
  define_annotator(m);
  // Making an annotator's default font once at import, as the first process of a run does.
  const long rank = m.attr("RANK").cast<long>();
  if (rank == -1 || rank == 0) m.attr("check_font")();
  define_plot_images(m);
}

}  // namespace coco_utils
