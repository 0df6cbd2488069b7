// `with` blocks run from the binding code of both packages (ostrel and tests), for context managers
// other than open files (those are held by OpenFile, bindings/open_file.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <type_traits>

#include "bindings/values.hpp"
#include "modtree/entry.hpp"

namespace ostrel {

namespace py = pybind11;

// Runs `body` as the block of `with manager as target:` (body takes the target, or nothing) with the
// statement's exit semantics, whatever leaves the block: __exit__ always runs once, with the Python
// exception's type, value and traceback when one is in flight, with the Python form of a C++ exception
// (set_native_error's mapping), or with three Nones on success. When __exit__ returns true the exception
// is suppressed, as Python does; otherwise it propagates (a C++ exception as its Python form).
template <class Body>
void with_block(py::handle manager, Body&& body) {
  py::object type = py::type::of(manager);
  py::object exit = type.attr("__exit__");  // looked up before __enter__, as the interpreter does
  py::object target = type.attr("__enter__")(manager);
  auto leave_with = [&](py::error_already_set& e) {
    auto or_none = [](py::handle h) { return h ? py::reinterpret_borrow<py::object>(h) : py::object(py::none()); };
    if (!truthy(exit(manager, or_none(e.type()), or_none(e.value()), or_none(e.trace())))) throw e;
  };
  try {
    if constexpr (std::is_invocable_v<Body, py::object>)
      body(target);
    else
      body();
  } catch (py::error_already_set& e) {
    leave_with(e);
    return;
  } catch (...) {
    modtree::set_error_in_flight();
    py::error_already_set e;
    leave_with(e);
    return;
  }
  exit(manager, py::none(), py::none(), py::none());
}

}  // namespace ostrel
