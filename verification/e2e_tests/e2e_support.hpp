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
#include "runtime/pyhelpers.hpp"

namespace ostrel::e2e {

namespace py = pybind11;

// `self.<assertion>(args...)`.
template <class... A>
void expect(py::handle self, const char* assertion, A&&... args) {
  self.attr(assertion)(static_cast<std::decay_t<A>>(args)...);
}

// `with self.assertRaises(cls) as context: body()`; returns the context.
py::object expect_raises(py::handle self, py::handle cls, const std::function<void()>& body);

// `urlretrieve(base + key, dest)`. A sample the address does not hold raises unittest.SkipTest
// naming it and how to generate the samples; other download failures propagate.
void fetch(const std::string& base, const std::string& key, const std::string& dest);

// `name` in the system's temporary folder.
std::string temp_path(const std::string& name);

// A method of the instance alone.
template <class F>
void method(modtree::ClassBuilder& cls, const char* name, F&& body, const char* doc = "") {
  cls.def(name, std::forward<F>(body), py::arg("self"), doc);
}

}  // namespace ostrel::e2e
