#include "verification/e2e_tests/e2e_support.hpp"

namespace ostrel::e2e {

py::object expect_raises(py::handle self, py::handle cls, const std::function<void()>& body) {
  py::object context = self.attr("assertRaises")(cls);
  context.attr("__enter__")();
  try {
    body();
  } catch (py::error_already_set& e) {
    auto or_none = [](py::handle h) { return h ? py::reinterpret_borrow<py::object>(h) : py::object(py::none()); };
    if (!truthy(context.attr("__exit__")(or_none(e.type()), or_none(e.value()), or_none(e.trace())))) throw;
    return context;
  }
  context.attr("__exit__")(py::none(), py::none(), py::none());
  return context;
}

void fetch(const std::string& base, const std::string& key, const std::string& dest) {
  conformance::fetch_url(base + key, key, dest);
}

std::string temp_path(const std::string& name) {
  py::object dir = py::module_::import("tempfile").attr("gettempdir")();
  return str(py::module_::import("os.path").attr("join")(dir, name));
}

}  // namespace ostrel::e2e
