#include "verification/e2e_tests/e2e_support.hpp"
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"

namespace ostrel::e2e {

py::object expect_raises(py::handle self, py::handle cls, const std::function<void()>& body) {
  py::object context = self.attr("assertRaises")(cls);
  ostrel::with_block(context, body);
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
