// Declarative creation of real Python classes whose methods are C++ functions.
//
// Where the required behaviour is Python class behaviour (abstract bases with an exact abstract
// set, text-valued enums, exception trees, pydantic records, subclasses of framework classes,
// plain deletable attributes), the class is made exactly as a `class` statement would make it:
// the metaclass prepares the namespace, the builder fills it in declaration order, and the
// metaclass is called with (name, bases, namespace).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "modtree/entry.hpp"

namespace modtree {

namespace py = pybind11;

// A C++ function that binds like a Python function when stored on a class (self comes first).
py::object as_method(py::object f);

// A C++ function whose parameters are all py::object, called without pybind11's argument layer: a call
// that places a value in every parameter (by position, by keyword or from a default) goes straight to
// it. The function's errors leave it as they leave its pybind11 form (entry.hpp's mapping, which the
// extension's pybind11 translator shares).
struct DirectCall {
  void* fn = nullptr;
  PyObject* (*invoke)(void* fn, PyObject* const* args) noexcept = nullptr;
  std::size_t arity = 0;
};

namespace detail {

template <class T>
constexpr bool plain_extra = std::is_same_v<T, py::arg> || std::is_same_v<T, py::arg_v> ||
                             std::is_same_v<T, py::doc> || std::is_same_v<T, py::name>;

template <class R, class... A, std::size_t... I>
PyObject* invoke_direct(void* fn, PyObject* const* args, std::index_sequence<I...>) noexcept {
  return guarded([&]() -> PyObject* {
    auto* f = reinterpret_cast<R (*)(A...)>(fn);
    if constexpr (std::is_void_v<R>) {
      f(py::reinterpret_borrow<py::object>(args[I])...);
      return Py_NewRef(Py_None);
    } else {
      PyObject* result = f(py::reinterpret_borrow<py::object>(args[I])...).release().ptr();
      if (result == nullptr && !PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "Unable to convert function return value to a Python type!");
      return result;
    }
  });
}

template <class R, class... A>
PyObject* invoke(void* fn, PyObject* const* args) noexcept {
  return invoke_direct<R, A...>(fn, args, std::index_sequence_for<A...>{});
}

template <class F>
struct Direct {
  static DirectCall of(F) { return {}; }
};
template <class R, class... A>
struct Direct<R (*)(A...)> {
  static DirectCall of(R (*f)(A...)) {
    if constexpr ((std::is_same_v<A, py::object> && ...) &&
                  (std::is_void_v<R> || std::is_base_of_v<py::object, R>))
      return {reinterpret_cast<void*>(f), &invoke<R, A...>, sizeof...(A)};
    else
      return {};
  }
};

// The function pointer a callable converts to (a function, or a lambda that captures nothing); void for
// anything else.
template <class F, class = void>
struct PointerOf {
  using type = void;
};
template <class F>
struct PointerOf<F, std::void_t<decltype(+std::declval<const F&>())>> {
  using type = std::conditional_t<std::is_pointer_v<decltype(+std::declval<const F&>())>,
                                  decltype(+std::declval<const F&>()), void>;
};

// The direct form of `f` where it has one: a function (or a lambda that captures nothing), every
// parameter a py::object, a result that is nothing or a Python object, and no extra but names, defaults
// and a doc text.
template <class F, class... Extra>
DirectCall direct_call(const F& f) {
  using Pointer = typename PointerOf<std::decay_t<F>>::type;
  if constexpr ((plain_extra<Extra> && ...) && !std::is_void_v<Pointer>) return Direct<Pointer>::of(+f);
  return {};
}

}  // namespace detail

// Gives a pybind11 function its Python name and a text signature built from its argument records,
// so `inspect.signature` and `help` show the real parameters and defaults. Where every parameter is
// named, the result is a built-in function forwarding to `f` whose refusals of a call (unknown or
// repeated keywords, missing or surplus arguments) carry the interpreter's own TypeError texts under
// `qualname` (default: the Python name); otherwise `f` itself.
// With `direct`, a call that fills every parameter reaches the C++ function without pybind11.
py::object python_function(py::cpp_function f, const char* python_name, const std::string& qualname = {},
                           const DirectCall& direct = {});

// Gives every plain pybind11 function of module `m` (one overload, defined by the module under its own
// name) the text signature of python_function. Run after a module's top level.
void give_text_signatures(py::module_ m);

// A C-level vectorcall function (METH_FASTCALL | METH_KEYWORDS, self as args[0]) bound like a method:
// for the hot paths, where pybind11's argument layer would cost more than the work itself.
py::object raw_method(PyMethodDef* def, py::handle module);

// A descriptor wrapping a C++ function with `__isabstractmethod__` true. It binds like a method,
// so ABCMeta counts it in `__abstractmethods__` and concrete subclasses replace it.
py::object abstract_member(py::object f);

// What a function declares by parameter name, in declaration order ("return" names its result).
using Declared = std::vector<std::pair<std::string, py::object>>;

// A callable that forwards every call to `f` unchanged (vectorcall, no argument parsing of its own) and
// carries what a Python function carries: `__annotations__` (the `annotations` given, so
// `typing.get_type_hints` reads them), `__name__` (f's), `__qualname__`, `__module__`, `__doc__` (f's),
// `__wrapped__` (f) and `__signature__`: f's signature with the annotations and the defaults of
// `shown_defaults` applied (for defaults a builtin's text signature cannot write). Stored on a class it
// binds like a function. A built-in `f` takes `module` as its own, so the names of its text signature
// resolve there.
py::object annotated_function(py::object f, const Declared& annotations, const std::string& qualname,
                              py::handle module, const Declared& shown_defaults = {});

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
    const DirectCall direct = detail::direct_call<F, Extra...>(f);
    return attr(name, as_method(python_function(
                          py::cpp_function(std::forward<F>(f), py::name(function_name(name)), extra...), name,
                          qualname_ + "." + name, direct)));
  }
  template <typename F, typename... Extra>
  ClassBuilder& def_static(const char* name, F&& f, const Extra&... extra) {
    py::object fn = python_function(py::cpp_function(std::forward<F>(f), py::name(name), extra...), name,
                                    qualname_ + "." + name);
    return attr(name, builtin("staticmethod")(fn));
  }
  template <typename F, typename... Extra>
  ClassBuilder& def_classmethod(const char* name, F&& f, const Extra&... extra) {
    py::object fn = python_function(py::cpp_function(std::forward<F>(f), py::name(name), extra...), name,
                                    qualname_ + "." + name);
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
    return attr(name, abstract_member(python_function(
                          py::cpp_function(std::forward<F>(f), py::name(name), extra...), name,
                          qualname_ + "." + name)));
  }
  template <typename G>
  ClassBuilder& def_abstract_property(const char* name, G&& getter) {
    return attr(name, builtin("property")(
                          abstract_member(py::cpp_function(std::forward<G>(getter), py::name(name)))));
  }

  // Gives the method `name`, defined before, the declared types of a Python function (annotated_function).
  ClassBuilder& annotate(const char* name, const Declared& annotations, const Declared& shown_defaults = {});

  // Creates the class; binds it in the module under its name unless `bind` is false.
  py::object build(bool bind = true);

  static py::object builtin(const char* name);

  // pybind11 treats functions named __init__/__setstate__ as constructors of its own classes;
  // ours are plain functions, so they carry a neutral name.
  static const char* function_name(const char* name);

 private:
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
