// Helpers of the end-to-end and installation check modules: assertions through the running TestCase
// and sample fetching from the samples address.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "verification/conformance/check_support.hpp"

namespace ostrel::e2e {

namespace py = pybind11;

// `self.<assertion>(args...)`.
template <class... A>
void expect(py::handle self, const char* assertion, A&&... args) {
  self.attr(assertion)(static_cast<std::decay_t<A>>(args)...);
}

// `with self.assertRaises(cls) as context: body()`; returns the context.
py::object expect_raises(py::handle self, py::handle cls, const std::function<void()>& body);

// `urlretrieve(base + key, dest)`. A failed download raises RuntimeError naming the sample, the address
// tried and how to make the samples.
void fetch(const std::string& base, const std::string& key, const std::string& dest);

// `name` in the system's temporary folder.
std::string temp_path(const std::string& name);

// A check: a plain function of the instance alone (so one check can be named on the command line),
// whose errors name the check, `backend` (when not empty) and the C++ line it is defined at.
using conformance::CheckClass;
inline void method(CheckClass& cls, const char* name, const char* backend, std::function<void(py::object)> body,
                   std::source_location where = std::source_location::current()) {
  cls.attr(name, conformance::check_function(
                     py::cpp_function([body](py::object self) { body(self); }, py::arg("self")), name,
                     cls.class_name() + "." + name, cls.module(), "", backend, where));
}
inline void method(CheckClass& cls, const char* name, std::function<void(py::object)> body,
                   std::source_location where = std::source_location::current()) {
  method(cls, name, "", std::move(body), where);
}

}  // namespace ostrel::e2e
