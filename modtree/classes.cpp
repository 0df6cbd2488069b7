#include "modtree/classes.hpp"

#include "modtree/args.hpp"
#include "modtree/entry.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
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
  std::unique_ptr<Parameters> parameters;  // made on the first refused call, or at once (by_position)
  bool by_position = false;                // keywords are handed on by position (see forward)
  DirectCall direct;                       // set where the C++ function takes py::objects only
};

// Most parameters a call handed on by position may have.
constexpr std::size_t kMaxByPosition = 16;

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

// A call with keywords to a function whose parameters are all plain (no *args, **kwargs, keyword-only or
// positional-only ones) reaches pybind11 with every value by position, defaults filled in as pybind11
// would fill them: its own keyword matching makes a new string per parameter on every call. A call this
// cannot place (a missing argument, an unknown or repeated keyword) goes on unchanged and gets
// pybind11's refusal, named as the interpreter names it.
PyObject* call_by_position(const Forwarded& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           bool& direct) {
  const std::size_t n = f.record->args.size();
  PyObject* slots[kMaxByPosition];
  Py_ssize_t keyword_index[kMaxByPosition];
  if (!f.parameters->split(args, nargs, kwnames, slots, keyword_index)) {
    PyErr_Clear();
    return nullptr;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i] != nullptr) continue;
    if (!f.record->args[i].value) return nullptr;
    slots[i] = f.record->args[i].value.ptr();
  }
  if (f.direct.invoke != nullptr) {
    direct = true;
    return f.direct.invoke(f.direct.fn, slots);
  }
  return PyObject_Vectorcall(f.target, slots, n, nullptr);
}

// A positional call to a direct function, the missing trailing values taken from the defaults; false
// (nothing called) where a value has none, so the call goes on as given and gets its refusal.
bool call_direct(const Forwarded& f, PyObject* const* args, Py_ssize_t nargs, PyObject*& result) {
  const std::size_t n = f.direct.arity;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > n) return false;
  PyObject* slots[kMaxByPosition];
  for (std::size_t i = 0; i < n; ++i) {
    if (i < static_cast<std::size_t>(nargs)) {
      slots[i] = args[i];
    } else if (f.record->args[i].value) {
      slots[i] = f.record->args[i].value.ptr();
    } else {
      return false;
    }
  }
  result = f.direct.invoke(f.direct.fn, slots);
  return true;
}

PyObject* forward(PyObject* holder, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto* f = static_cast<Forwarded*>(PyCapsule_GetPointer(holder, nullptr));
  if (f == nullptr) return nullptr;
  PyObject* result = nullptr;
  const bool keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
  if (f->direct.invoke != nullptr && !keywords &&
      call_direct(*f, args, PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)), result))
    return result;  // the function's own outcome: nothing of it is a binding's refusal
  if (f->by_position && keywords) {
    bool direct = false;
    result = call_by_position(*f, args, PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)), kwnames, direct);
    if (direct) return result;
    if (result == nullptr && PyErr_Occurred() && !is_binding_refusal()) return nullptr;
    if (result == nullptr) PyErr_Clear();  // not placed, or refused: the call as given names the fault
  }
  if (result == nullptr) result = PyObject_Vectorcall(f->target, args, static_cast<std::size_t>(nargsf), kwnames);
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

py::object python_function(py::cpp_function f, const char* python_name, const std::string& qualname,
                           const DirectCall& direct) {
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
  auto* held = new Forwarded{f.ptr(), rec, qualname.empty() ? std::string(python_name) : qualname, nullptr, false, {}};
  held->by_position = !rec->has_args && !rec->has_kwargs && rec->nargs_pos_only == 0 &&
                      rec->nargs_pos == rec->args.size() && rec->args.size() <= kMaxByPosition;
  if (held->by_position) held->parameters = parameters_of(*rec, held->qualname);
  if (held->by_position && direct.arity == rec->args.size()) held->direct = direct;
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

// ---- annotated functions ------------------------------------------------------------------------------

struct AnnotatedFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* func;            // what every call goes to
  PyObject* annotations;     // dict, made on first read when none was given
  PyObject* shown_defaults;  // dict or null: defaults the signature shows in place of f's
  PyObject* signature;       // set by assignment, else null (made from f's at each read)
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* dict;
  PyObject* weakrefs;
};

AnnotatedFunction* as_annotated(PyObject* self) { return reinterpret_cast<AnnotatedFunction*>(self); }

PyObject* annotated_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* func = as_annotated(self)->func;
  if (func == nullptr) {  // cleared by the collector while a finalizer still held it
    PyErr_SetString(PyExc_RuntimeError, "the function was cleared");
    return nullptr;
  }
  return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

// Like a function: the function itself from the class, a bound method from an instance.
PyObject* annotated_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int annotated_traverse(PyObject* self, visitproc visit, void* arg) {
  AnnotatedFunction* f = as_annotated(self);
  Py_VISIT(f->func);
  Py_VISIT(f->annotations);
  Py_VISIT(f->shown_defaults);
  Py_VISIT(f->signature);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  return 0;
}

// The names (text, never in a cycle) stay until the end, so the repr and the names still read.
int annotated_clear(PyObject* self) {
  AnnotatedFunction* f = as_annotated(self);
  Py_CLEAR(f->func);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->shown_defaults);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  return 0;
}

void annotated_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_annotated(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  annotated_clear(self);
  Py_CLEAR(as_annotated(self)->name);
  Py_CLEAR(as_annotated(self)->qualname);
  PyObject_GC_Del(self);
}

PyObject* annotated_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %S at %p>", as_annotated(self)->qualname, self);
}

// Pickled by reference, as functions and built-ins are.
PyObject* annotated_reduce(PyObject* self, PyObject* /*unused*/) {
  return Py_NewRef(as_annotated(self)->qualname);
}

PyObject* get_annotations(PyObject* self, void* /*closure*/) {
  AnnotatedFunction* f = as_annotated(self);
  if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) return nullptr;
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void* /*closure*/) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_annotated(self)->annotations, Py_XNewRef(value));
  return 0;
}

// `__name__` and `__qualname__`: text, as on functions.
template <std::size_t Offset>
PyObject* get_text(PyObject* self, void* /*closure*/) {
  return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset));
}

template <std::size_t Offset>
int set_text(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
    return -1;
  }
  Py_XSETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset), Py_NewRef(value));
  return 0;
}

// f's signature with the declared annotations and shown defaults; none when f has no signature, so
// inspect goes on to say so itself.
py::object made_signature(AnnotatedFunction* f) {
  if (f->func == nullptr) return py::none();
  py::module_ inspect = py::module_::import("inspect");
  py::object signature;
  try {
    signature = inspect.attr("signature")(py::handle(f->func));
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) return py::none();
    throw;
  }
  auto dict_or_empty = [](PyObject* d) {
    return d != nullptr ? py::reinterpret_borrow<py::dict>(d) : py::dict();
  };
  py::dict annotations = dict_or_empty(f->annotations);
  py::dict shown = dict_or_empty(f->shown_defaults);
  py::list parameters;
  for (py::handle p : signature.attr("parameters").attr("values")()) {
    py::object name = p.attr("name");
    py::dict changes;
    if (annotations.contains(name)) changes["annotation"] = annotations[name];
    if (shown.contains(name)) changes["default"] = shown[name];
    parameters.append(changes.empty() ? py::reinterpret_borrow<py::object>(p) : p.attr("replace")(**changes));
  }
  py::dict changes;
  changes["parameters"] = parameters;
  if (annotations.contains("return")) changes["return_annotation"] = annotations["return"];
  return signature.attr("replace")(**changes);
}

PyObject* get_signature(PyObject* self, void* /*closure*/) {
  AnnotatedFunction* f = as_annotated(self);
  if (f->signature != nullptr) return Py_NewRef(f->signature);
  return guarded([&] { return made_signature(f); });
}

int set_signature(PyObject* self, PyObject* value, void* /*closure*/) {
  if (value == Py_None) value = nullptr;
  Py_XSETREF(as_annotated(self)->signature, Py_XNewRef(value));
  return 0;
}

PyGetSetDef annotated_getset[] = {
    {"__annotations__", &get_annotations, &set_annotations, nullptr, nullptr},
    {"__signature__", &get_signature, &set_signature, nullptr, nullptr},
    {"__name__", &get_text<offsetof(AnnotatedFunction, name)>, &set_text<offsetof(AnnotatedFunction, name)>,
     nullptr, const_cast<char*>("__name__")},
    {"__qualname__", &get_text<offsetof(AnnotatedFunction, qualname)>,
     &set_text<offsetof(AnnotatedFunction, qualname)>, nullptr, const_cast<char*>("__qualname__")},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef annotated_members[] = {
    {"__wrapped__", T_OBJECT, offsetof(AnnotatedFunction, func), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(AnnotatedFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(AnnotatedFunction, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef annotated_methods[] = {{"__reduce__", &annotated_reduce, METH_NOARGS, nullptr},
                                   {nullptr, nullptr, 0, nullptr}};

// The type, made ready once per process (each shared object linking modtree has its own). A static type,
// as the interpreter's function type is: instances cannot be made from Python, and the type's own
// `__module__` stays "modtree" (the instances' member of that name does not shadow it).
PyTypeObject* annotated_function_type() {
  static PyTypeObject type{};
  if (type.tp_flags & Py_TPFLAGS_READY) return &type;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);  // as a static type's head starts
  type.tp_name = "modtree.annotated_function";
  type.tp_basicsize = sizeof(AnnotatedFunction);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_dealloc = &annotated_dealloc;
  type.tp_traverse = &annotated_traverse;
  type.tp_clear = &annotated_clear;
  type.tp_repr = &annotated_repr;
  type.tp_call = &PyVectorcall_Call;
  type.tp_vectorcall_offset = offsetof(AnnotatedFunction, vectorcall);
  type.tp_descr_get = &annotated_get;
  type.tp_getset = annotated_getset;
  type.tp_members = annotated_members;
  type.tp_methods = annotated_methods;
  type.tp_dictoffset = offsetof(AnnotatedFunction, dict);
  type.tp_weaklistoffset = offsetof(AnnotatedFunction, weakrefs);
  if (PyType_Ready(&type) < 0) throw py::error_already_set();
  return &type;
}

py::dict dict_of(const Declared& entries) {
  py::dict d;
  for (const auto& [k, v] : entries) d[py::str(k)] = v;
  return d;
}

bool is_annotated_function(py::handle v) { return Py_IS_TYPE(v.ptr(), annotated_function_type()); }

}  // namespace

py::object annotated_function(py::object f, const Declared& annotations, const std::string& qualname,
                              py::handle module, const Declared& shown_defaults) {
  py::object module_name = py::isinstance<py::module_>(module) ? module.attr("__name__")
                                                                : py::reinterpret_borrow<py::object>(module);
  if (PyCFunction_Check(f.ptr())) f.attr("__module__") = module_name;
  py::object name = f.attr("__name__");
  py::object doc = py::getattr(f, "__doc__", py::none());
  py::dict declared = dict_of(annotations);
  py::object shown = shown_defaults.empty() ? py::object() : py::object(dict_of(shown_defaults));
  PyTypeObject* type = annotated_function_type();
  auto* made = PyObject_GC_New(AnnotatedFunction, type);
  if (made == nullptr) throw py::error_already_set();
  made->vectorcall = &annotated_vectorcall;
  made->func = f.release().ptr();
  made->annotations = declared.release().ptr();
  made->shown_defaults = shown ? shown.release().ptr() : nullptr;
  made->signature = nullptr;
  made->name = name.release().ptr();
  made->qualname = py::str(qualname).release().ptr();
  made->module = module_name.release().ptr();
  made->doc = doc.release().ptr();
  made->dict = nullptr;
  made->weakrefs = nullptr;
  PyObject_GC_Track(made);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(made));
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

ClassBuilder& ClassBuilder::annotate(const char* name, const Declared& annotations,
                                     const Declared& shown_defaults) {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->first != name) continue;
    py::object f = it->second;
    if (PyInstanceMethod_Check(f.ptr()))
      f = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(f.ptr()));
    it->second = annotated_function(f, annotations, qualname_ + "." + name, module_, shown_defaults);
    return *this;
  }
  throw std::logic_error(std::string("ClassBuilder::annotate: no member ") + name + " on " + qualname_);
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
    bool method = PyInstanceMethod_Check(v.ptr()) || is_annotated_function(v);
    if (pydantic_model && k.rfind("__", 0) != 0 && method)
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
