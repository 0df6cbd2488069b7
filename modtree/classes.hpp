// Declarative creation of real Python classes whose methods are C++ functions.
//
// Where the required behaviour is Python class behaviour (abstract bases with an exact abstract
// set, text-valued enums, exception trees, pydantic records, subclasses of framework classes,
// plain deletable attributes), the class is made exactly as a `class` statement would make it:
// the metaclass prepares the namespace, the builder fills it in declaration order, and the
// metaclass is called with (name, bases, namespace).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "modtree/entry.hpp"

namespace modtree {

namespace py = pybind11;

// A Python function made from a pybind11 function: a small generated `def` with the parameters of its
// argument records (names, kinds and default values) whose body hands every value on to `f`. It binds
// like any function when stored on a class, `inspect.signature` reads its real parameters, the
// interpreter refuses a call that does not fit them with its own TypeError texts (under `qualname`,
// default: the Python name), and `f` is reached by position for every positional parameter. `module`
// (a module or its name; default: f's `__module__`) names the function's module. With `method`, a
// function whose records carry no names calls its first parameter `self`. An overloaded `f` takes
// (*args, **kwargs) and lets pybind11 choose.
py::object python_function(py::cpp_function f, const char* python_name, const std::string& qualname = {},
                           py::handle module = {}, bool method = false);

// Makes every plain pybind11 function of module `m` (one overload, defined by the module under its own
// name) a python_function. Run after a module's top level.
void make_python_functions(py::module_ m);

// A C-level vectorcall function (METH_FASTCALL | METH_KEYWORDS, self as args[0]) bound like a method:
// for the hot paths, where pybind11's argument layer would cost more than the work itself.
py::object raw_method(PyMethodDef* def, py::handle module);

// Marks a function abstract (`__isabstractmethod__` true, as abc.abstractmethod does), so ABCMeta counts
// it in `__abstractmethods__` and concrete subclasses replace it; returns it.
py::object abstract_member(py::object f);

// What a function declares by parameter name, in declaration order ("return" names its result).
using Declared = std::vector<std::pair<std::string, py::object>>;

// `typing.Optional[t]`, `typing.Union[...]`, `typing.Tuple[...]`, `typing.Set[...]` and friends.
py::object typing_subscript(const char* generic, py::object args);

class ClassBuilder {
 public:
  ClassBuilder(py::handle module, std::string name);

  ClassBuilder& qualname(std::string q);
  ClassBuilder& base(py::handle b);
  ClassBuilder& metaclass(py::handle meta);
  ClassBuilder& doc(const char* text);
  ClassBuilder& kwarg(const char* name, py::object value);  // class keywords (e.g. metaclass options)

  // Raw namespace entry: enum members, class constants, descriptors.
  ClassBuilder& attr(const char* name, py::object value);

  // An annotated field, with or without a default (pydantic records).
  ClassBuilder& field(const char* name, py::object annotation);
  ClassBuilder& field(const char* name, py::object annotation, py::object default_value);

  template <typename F, typename... Extra>
  ClassBuilder& def(const char* name, F&& f, const Extra&... extra) {
    return attr(name, method(name, py::cpp_function(std::forward<F>(f), py::name(function_name(name)), extra...)));
  }
  template <typename F, typename... Extra>
  ClassBuilder& def_static(const char* name, F&& f, const Extra&... extra) {
    py::object fn = python_function(py::cpp_function(std::forward<F>(f), py::name(name), extra...), name,
                                    qualname_ + "." + name, module_);
    return attr(name, builtin("staticmethod")(fn));
  }
  template <typename F, typename... Extra>
  ClassBuilder& def_classmethod(const char* name, F&& f, const Extra&... extra) {
    py::object fn = python_function(py::cpp_function(std::forward<F>(f), py::name(name), extra...), name,
                                    qualname_ + "." + name, module_);
    return attr(name, builtin("classmethod")(fn));
  }
  template <typename G, typename... Extra>
  ClassBuilder& def_property(const char* name, G&& getter, const Extra&... extra) {
    py::object fn = py::cpp_function(std::forward<G>(getter), py::name(name), extra...);
    return attr(name, builtin("property")(fn));
  }
  template <typename G, typename S>
  ClassBuilder& def_property_rw(const char* name, G&& getter, S&& setter) {
    py::object g = py::cpp_function(std::forward<G>(getter), py::name(name));
    py::object s = py::cpp_function(std::forward<S>(setter), py::name(name));
    return attr(name, builtin("property")(g, s));
  }
  template <typename F, typename... Extra>
  ClassBuilder& def_abstract(const char* name, F&& f, const Extra&... extra) {
    return attr(name, abstract_member(method(name, py::cpp_function(std::forward<F>(f), py::name(name), extra...))));
  }
  template <typename G>
  ClassBuilder& def_abstract_property(const char* name, G&& getter) {
    return attr(name, builtin("property")(
                          abstract_member(method(name, py::cpp_function(std::forward<G>(getter), py::name(name))))));
  }

  // Gives the method `name`, defined before, the declared types of a Python function (`__annotations__`,
  // which `typing.get_type_hints` and `inspect.signature` read).
  ClassBuilder& annotate(const char* name, const Declared& annotations);

  // Creates the class; binds it in the module under its name unless `bind` is false.
  py::object build(bool bind = true);

  static py::object builtin(const char* name);

  // pybind11 treats functions named __init__/__setstate__ as constructors of its own classes;
  // ours are plain functions, so they carry a neutral name.
  static const char* function_name(const char* name);

 private:
  py::object method(const char* name, py::cpp_function f) const {
    return python_function(std::move(f), name, qualname_ + "." + name, module_, true);
  }

  py::handle module_;
  std::string name_;
  std::string qualname_;
  std::vector<py::object> bases_;
  py::object meta_;
  std::vector<std::pair<std::string, py::object>> entries_;
  std::vector<std::pair<std::string, py::object>> annotations_;
  std::vector<std::pair<std::string, py::object>> class_kwargs_;
  const char* doc_ = nullptr;
};

}  // namespace modtree
