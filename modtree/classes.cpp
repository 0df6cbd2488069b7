#include "modtree/classes.hpp"

#include "modtree/args.hpp"
#include "modtree/entry.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace modtree {

py::object as_method(py::object f) {
  PyObject* m = PyInstanceMethod_New(f.ptr());
  if (m == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(m);
}

py::object raw_method(PyMethodDef* def, py::handle module) {
  py::object name = module.attr("__name__");
  PyObject* fn = PyCFunction_NewEx(def, nullptr, name.ptr());
  if (fn == nullptr) throw py::error_already_set();
  PyObject* method = PyInstanceMethod_New(fn);
  Py_DECREF(fn);
  if (method == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(method);
}

namespace {

// What a forwarding function holds: the pybind11 function, its Python parameters, and its record.
struct Forwarded {
  PyObject* target;
  py::detail::function_record* record;
  std::string qualname;
  std::unique_ptr<Parameters> parameters;  // made on the first refused call
};

// The parameters of a pybind11 function from its argument records.
std::unique_ptr<Parameters> parameters_of(const py::detail::function_record& rec, const std::string& qualname) {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, bool>> keyword_only;
  std::size_t required = 0;
  bool defaults_started = false;
  for (std::size_t i = 0; i < rec.args.size(); ++i) {
    const auto& a = rec.args[i];
    std::string name = a.name != nullptr ? a.name : "";
    if (rec.has_args && i == rec.nargs_pos && name == "args") continue;
    if (rec.has_kwargs && i + 1 == rec.args.size() && name == "kwargs") continue;
    if (i < rec.nargs_pos) {
      positional.push_back(name);
      if (!a.value) {
        if (!defaults_started) required = positional.size();
      } else {
        defaults_started = true;
      }
    } else {
      keyword_only.emplace_back(name, !a.value);
    }
  }
  return std::make_unique<Parameters>(qualname, std::move(positional), required, std::move(keyword_only),
                                      rec.has_args, rec.has_kwargs);
}

bool is_binding_refusal() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  SavedError error;
  bool refusal = false;
  if (error.value() != nullptr) {
    PyObject* text = PyObject_Str(error.value());
    if (text != nullptr) {
      const char* utf8 = PyUnicode_AsUTF8(text);
      refusal = utf8 != nullptr && std::strstr(utf8, "incompatible function arguments") != nullptr;
      Py_DECREF(text);
    }
    PyErr_Clear();
  }
  error.restore();
  return refusal;
}

PyObject* forward(PyObject* holder, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto* f = static_cast<Forwarded*>(PyCapsule_GetPointer(holder, nullptr));
  if (f == nullptr) return nullptr;
  PyObject* result = PyObject_Vectorcall(f->target, args, static_cast<std::size_t>(nargsf), kwnames);
  if (result != nullptr || !is_binding_refusal()) return result;
  // pybind11 refused the arguments: name the fault as the interpreter would, where it is one of
  // names and counts (a value of a wrong type keeps the binding's own text).
  Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
  if (!f->parameters) {
    SavedError binding_error;  // set aside while the parameters are read, then put back
    f->parameters = parameters_of(*f->record, f->qualname);
    binding_error.restore();
  }
  SavedError binding_error;
  if (!f->parameters->diagnose(args, nargs, kwnames)) binding_error.restore();
  return nullptr;
}

// A default as a text signature writes it. inspect reads an enumeration member only by a dotted name it
// can resolve through sys.modules (and only when the member is also a str, int, float or bytes), so a
// member is written so; anything else keeps pybind11's text.
std::string default_text(py::handle value, const char* descr) {
  try {
    py::object Enum = py::module_::import("enum").attr("Enum");
    if (!py::isinstance(value, Enum)) return descr;
    py::object cls = py::type::of(value);
    bool primitive = false;
    for (PyTypeObject* t : {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBytes_Type})
      primitive = primitive || PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(t)) == 1;
    std::string module = py::str(cls.attr("__module__")).cast<std::string>();
    if (!primitive || !py::module_::import("sys").attr("modules").contains(module)) return descr;
    return module + "." + py::str(cls.attr("__qualname__")).cast<std::string>() + "." +
           py::str(value.attr("name")).cast<std::string>();
  } catch (py::error_already_set&) {
    return descr;
  }
}

}  // namespace

void give_text_signatures(py::module_ m) {
  py::object name = m.attr("__name__");
  for (auto item : py::list(m.attr("__dict__").attr("items")())) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::object value = pair[1];
    if (!PyCFunction_Check(value.ptr())) continue;
    PyObject* self = PyCFunction_GET_SELF(value.ptr());
    if (self == nullptr) continue;
    py::detail::function_record* rec = py::detail::function_record_ptr_from_PyObject(self);
    if (rec == nullptr || rec->next != nullptr) continue;
    if (!py::getattr(value, "__module__", py::none()).equal(name)) continue;
    std::string python_name = py::str(pair[0]).cast<std::string>();
    if (python_name != rec->name) continue;  // an alias: the function is served under its own name
    py::cpp_function f;  // holds the function itself (its converting constructors would wrap it)
    static_cast<py::object&>(f) = value;
    m.attr(pair[0]) = python_function(std::move(f), rec->name);
  }
}

py::object python_function(py::cpp_function f, const char* python_name, const std::string& qualname) {
  PyObject* self = PyCFunction_GET_SELF(f.ptr());
  if (self == nullptr) return f;
  py::detail::function_record* rec = py::detail::function_record_ptr_from_PyObject(self);
  if (rec == nullptr || rec->next != nullptr) return f;  // overloaded: leave pybind11's text
  if (std::strcmp(rec->name, python_name) != 0) {
    // Renaming after creation keeps pybind11's dispatch flags, which it derives from the first name.
    rec->name = strdup(python_name);  // lives as long as the function: never freed
    rec->def->ml_name = rec->name;
  }
  std::string sig = "(";
  auto add = [&sig](const std::string& part) {
    if (sig.size() > 1) sig += ", ";
    sig += part;
  };
  size_t n = rec->args.size();
  bool kwargs_last = rec->has_kwargs && n > 0 && rec->args[n - 1].name != nullptr &&
                     std::strcmp(rec->args[n - 1].name, "kwargs") == 0;
  for (size_t i = 0; i < n; ++i) {
    const auto& a = rec->args[i];
    std::string name = a.name != nullptr ? a.name : "";
    if (rec->has_args && i == rec->nargs_pos && name == "args") {
      add("*args");
      continue;
    }
    // Parameters after an unannotated *args have records of their own, the first at *args's position.
    if (rec->has_args && i == rec->nargs_pos) add("*args");
    if (kwargs_last && i == n - 1) break;
    if (!rec->has_args && i == rec->nargs_pos) add("*");
    if (a.value && a.descr != nullptr)
      add(name + "=" + default_text(a.value, a.descr));
    else
      add(name);
    if (rec->nargs_pos_only > 0 && i + 1 == rec->nargs_pos_only) add("/");
  }
  if (rec->has_args && rec->nargs_pos >= n) add("*args");
  if (rec->has_kwargs) add("**kwargs");
  sig += ")";
  // CPython reads "name(signature)\n--\n\n" at the head of a builtin's doc as its text signature.
  std::string doc = std::string(python_name) + sig + "\n--\n\n" + (rec->doc != nullptr ? rec->doc : "");
  char* text = strdup(doc.c_str());
  rec->def->ml_doc = text;  // lives as long as the function

  // Every parameter named: *args and **kwargs may go without a record of their own.
  auto has_record = [&](const char* name) {
    for (const auto& a : rec->args)
      if (a.name != nullptr && std::strcmp(a.name, name) == 0) return true;
    return false;
  };
  std::size_t records = rec->args.size();
  if (rec->has_args && !has_record("args")) ++records;
  if (rec->has_kwargs && !has_record("kwargs")) ++records;
  bool all_named = records == rec->nargs;
  for (const auto& a : rec->args) all_named = all_named && a.name != nullptr;
  if (!all_named) return f;
  // The forwarding built-in: same name, text signature and module; lives as long as the class.
  auto* def = new PyMethodDef(fastcall_method<&forward>(rec->def->ml_name, rec->def->ml_doc));
  auto* held = new Forwarded{f.ptr(), rec, qualname.empty() ? std::string(python_name) : qualname, nullptr};
  py::capsule holder(held, [](void* p) {
    auto* h = static_cast<Forwarded*>(p);
    Py_XDECREF(h->target);
    delete h;
  });
  f.inc_ref();  // held by the capsule
  py::object module = py::getattr(f, "__module__", py::none());
  PyObject* fn = PyCFunction_NewEx(def, holder.ptr(), module.ptr());
  if (fn == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(fn);
}

namespace {

// The descriptor class behind abstract_member(), made once per process.
py::object abstract_member_class() {
  static py::object* cls = nullptr;  // leaked on purpose: outlives finalisation
  if (cls == nullptr) {
    py::dict ns;
    ns["__module__"] = "modtree";
    ns["__slots__"] = py::make_tuple("__func__");
    ns["__isabstractmethod__"] = true;
    ns["__get__"] = as_method(py::cpp_function(
        [](py::object self, py::object obj, py::object /*type*/) -> py::object {
          if (obj.is_none()) return self;
          return py::module_::import("types").attr("MethodType")(self.attr("__func__"), obj);
        },
        py::arg("self"), py::arg("obj"), py::arg("type") = py::none()));
    ns["__call__"] = as_method(py::cpp_function([](py::object self, py::args args, py::kwargs kwargs) {
      return self.attr("__func__")(*args, **kwargs);
    }));
    py::object property = py::module_::import("builtins").attr("property");
    ns["__name__"] =
        property(py::cpp_function([](py::object self) { return self.attr("__func__").attr("__name__"); }));
    // inspect.signature follows __wrapped__ to the C++ function's text signature.
    ns["__wrapped__"] = property(py::cpp_function([](py::object self) { return self.attr("__func__"); }));
    cls = new py::object(
        py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)("abstractmember", py::make_tuple(), ns));
  }
  return *cls;
}

}  // namespace

py::object abstract_member(py::object f) {
  py::object d = abstract_member_class()();
  d.attr("__func__") = f;
  return d;
}

py::object typing_subscript(const char* generic, py::object args) {
  py::object g = py::module_::import("typing").attr(generic);
  return g[args];
}

ClassBuilder::ClassBuilder(py::handle module, std::string name)
    : module_(module), name_(std::move(name)), qualname_(name_) {}

ClassBuilder& ClassBuilder::qualname(std::string q) {
  qualname_ = std::move(q);
  return *this;
}
ClassBuilder& ClassBuilder::base(py::handle b) {
  bases_.push_back(py::reinterpret_borrow<py::object>(b));
  return *this;
}
ClassBuilder& ClassBuilder::metaclass(py::handle meta) {
  meta_ = py::reinterpret_borrow<py::object>(meta);
  return *this;
}
ClassBuilder& ClassBuilder::doc(const char* text) {
  doc_ = text;
  return *this;
}
ClassBuilder& ClassBuilder::kwarg(const char* name, py::object value) {
  class_kwargs_.emplace_back(name, std::move(value));
  return *this;
}
ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  entries_.emplace_back(name, std::move(value));
  return *this;
}
ClassBuilder& ClassBuilder::field(const char* name, py::object annotation) {
  annotations_.emplace_back(name, std::move(annotation));
  return *this;
}
ClassBuilder& ClassBuilder::field(const char* name, py::object annotation, py::object default_value) {
  annotations_.emplace_back(name, std::move(annotation));
  entries_.emplace_back(name, std::move(default_value));
  return *this;
}

const char* ClassBuilder::function_name(const char* name) {
  if (std::string_view(name) == "__init__") return "__init";
  if (std::string_view(name) == "__setstate__") return "__setstate";
  return name;
}

py::object ClassBuilder::builtin(const char* name) { return py::module_::import("builtins").attr(name); }

py::object ClassBuilder::build(bool bind) {
  py::tuple bases(bases_.size());
  for (size_t i = 0; i < bases_.size(); ++i) bases[i] = bases_[i];
  py::object meta = meta_;
  if (!meta) {
    // Like a class statement: the most derived metaclass of the bases, else `type`.
    py::object types = py::module_::import("types");
    py::tuple resolved = types.attr("prepare_class")(name_, bases);
    meta = resolved[0];
  }
  py::dict kw;
  for (auto& [k, v] : class_kwargs_) kw[py::str(k)] = v;
  py::object ns = meta.attr("__prepare__")(name_, bases, **kw);
  ns["__module__"] = module_.attr("__name__");
  ns["__qualname__"] = qualname_;
  if (doc_ != nullptr) ns["__doc__"] = doc_;
  if (!annotations_.empty()) {
    py::dict ann;
    for (auto& [k, v] : annotations_) ann[py::str(k)] = v;
    ns["__annotations__"] = ann;
  }
  // pydantic takes every plain attribute of a model's body for a field unless it is a Python
  // function; our C++ methods are set on the class once it exists.
  bool pydantic_model = py::str(meta.attr("__module__")).cast<std::string>().rfind("pydantic", 0) == 0;
  std::vector<std::pair<std::string, py::object>> late;
  for (auto& [k, v] : entries_) {
    if (pydantic_model && k.rfind("__", 0) != 0 && PyInstanceMethod_Check(v.ptr()))
      late.emplace_back(k, v);
    else
      ns[py::str(k)] = v;
  }
  py::object cls = meta(name_, bases, ns, **kw);
  for (auto& [k, v] : late) py::setattr(cls, k.c_str(), v);
  if (bind) module_.attr(name_.c_str()) = cls;
  return cls;
}

}  // namespace modtree
