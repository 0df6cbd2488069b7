#include "modtree/classes.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace modtree {

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

// One parameter of a made function, as a `def` line writes it.
struct Parameter {
  enum Kind { kPositionalOnly, kPositional, kVarPositional, kKeywordOnly, kVarKeyword };
  std::string name;
  Kind kind;
  py::object default_value;  // null: none
};

// The parameters of a pybind11 function, read from its argument records. pybind11 offers no public way
// to read them: its `detail::function_record` is the only source of names, kinds and defaults.
std::vector<Parameter> parameters_of(const py::detail::function_record& rec, bool method) {
  std::vector<Parameter> out;
  const std::size_t n = rec.args.size();
  if (n == 0) {  // no names given: positional-only parameters, as pybind11 takes them
    for (std::size_t i = 0; i < rec.nargs_pos; ++i)
      out.push_back({method && i == 0 ? "self" : "arg" + std::to_string(i), Parameter::kPositionalOnly, {}});
    if (rec.has_args) out.push_back({"args", Parameter::kVarPositional, {}});
    if (rec.has_kwargs) out.push_back({"kwargs", Parameter::kVarKeyword, {}});
    return out;
  }
  const bool kwargs_last =
      rec.has_kwargs && rec.args[n - 1].name != nullptr && std::strcmp(rec.args[n - 1].name, "kwargs") == 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& a = rec.args[i];
    std::string name = a.name != nullptr && a.name[0] != '\0' ? a.name : "arg" + std::to_string(i);
    if (rec.has_args && i == rec.nargs_pos) {
      out.push_back({"args", Parameter::kVarPositional, {}});
      if (name == "args") continue;  // *args's own record; otherwise the first keyword-only one follows
    }
    if (kwargs_last && i == n - 1) break;
    const Parameter::Kind kind = i < rec.nargs_pos_only ? Parameter::kPositionalOnly
                                 : i < rec.nargs_pos    ? Parameter::kPositional
                                                        : Parameter::kKeywordOnly;
    out.push_back({name, kind, a.value ? py::reinterpret_borrow<py::object>(a.value) : py::object()});
  }
  if (rec.has_args && rec.nargs_pos >= n) out.push_back({"args", Parameter::kVarPositional, {}});
  if (rec.has_kwargs) out.push_back({"kwargs", Parameter::kVarKeyword, {}});
  return out;
}

// The source of a maker of the function: `def __make(target): def name(parameters): return
// target(values); return name`. Defaults are written as None and replaced by the real values after.
std::string maker_source(const std::string& name, const std::vector<Parameter>& parameters,
                         const std::string& where) {
  std::string target = "__target";
  for (const Parameter& p : parameters)
    if (p.name == target) target += "_";
  std::string params, values;
  auto add = [](std::string& list, const std::string& part) { list += (list.empty() ? "" : ", ") + part; };
  bool has_var_positional = false, defaults_started = false;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const Parameter& p = parameters[i];
    switch (p.kind) {
      case Parameter::kPositionalOnly:
      case Parameter::kPositional:
        if (!p.default_value && defaults_started)
          throw std::logic_error(where + ": parameter '" + p.name + "' without a default follows one with a default");
        defaults_started = defaults_started || p.default_value;
        add(params, p.name + (p.default_value ? "=None" : ""));
        add(values, p.name);
        if (p.kind == Parameter::kPositionalOnly &&
            (i + 1 == parameters.size() || parameters[i + 1].kind != Parameter::kPositionalOnly))
          add(params, "/");
        break;
      case Parameter::kVarPositional:
        has_var_positional = true;
        add(params, "*" + p.name);
        add(values, "*" + p.name);
        break;
      case Parameter::kKeywordOnly:
        if (!has_var_positional) add(params, "*");
        has_var_positional = true;  // one bare `*` at most
        add(params, p.name + (p.default_value ? "=None" : ""));
        add(values, p.name + "=" + p.name);
        break;
      case Parameter::kVarKeyword:
        add(params, "**" + p.name);
        add(values, "**" + p.name);
        break;
    }
  }
  return "def __make(" + target + "):\n    def " + name + "(" + params + "):\n        return " + target + "(" +
         values + ")\n    return " + name + "\n";
}

// The maker of a source, compiled once per process (the same signature and name share it).
py::object maker(const std::string& source, const std::string& module_name) {
  static auto* compiled = new std::unordered_map<std::string, py::object>();  // process lifetime
  auto found = compiled->find(source);
  if (found == compiled->end()) {
    py::object builtins = py::module_::import("builtins");
    py::object code = builtins.attr("compile")(source, "<" + module_name + ">", "exec");
    found = compiled->emplace(source, code).first;
  }
  py::dict globals;
  globals["__name__"] = module_name;
  globals["__builtins__"] = py::module_::import("builtins");
  py::module_::import("builtins").attr("exec")(found->second, globals);
  return globals["__make"];
}

}  // namespace

void make_python_functions(py::module_ m) {
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
    m.attr(pair[0]) = python_function(std::move(f), rec->name, {}, name);
  }
}

py::object python_function(py::cpp_function f, const char* python_name, const std::string& qualname,
                           py::handle module, bool method) {
  PyObject* self = PyCFunction_GET_SELF(f.ptr());
  py::detail::function_record* rec =
      self != nullptr ? py::detail::function_record_ptr_from_PyObject(self) : nullptr;
  if (rec == nullptr) throw std::logic_error(std::string("python_function: ") + python_name + " is no pybind11 function");
  if (std::strcmp(rec->name, python_name) != 0) {
    // Renaming after creation keeps pybind11's dispatch flags, which it derives from the first name; its
    // refusals of a value's type name the function as users know it.
    rec->name = strdup(python_name);  // lives as long as the function: never freed
    rec->def->ml_name = rec->name;
  }
  py::object module_name = !module ? py::getattr(f, "__module__", py::none())
                           : py::isinstance<py::module_>(module) ? module.attr("__name__")
                                                                : py::reinterpret_borrow<py::object>(module);
  const std::string where = qualname.empty() ? python_name : qualname;
  std::vector<Parameter> parameters;
  if (rec->next == nullptr) {
    parameters = parameters_of(*rec, method);
  } else {
    parameters = {{"args", Parameter::kVarPositional, {}}, {"kwargs", Parameter::kVarKeyword, {}}};
  }
  const std::string text_name = module_name.is_none() ? std::string("builtins") : py::str(module_name).cast<std::string>();
  py::object made = maker(maker_source(python_name, parameters, where), text_name)(f);
  py::list defaults;
  py::dict keyword_defaults;
  for (const Parameter& p : parameters) {
    if (!p.default_value) continue;
    if (p.kind == Parameter::kKeywordOnly)
      keyword_defaults[py::str(p.name)] = p.default_value;
    else
      defaults.append(p.default_value);
  }
  if (!defaults.empty()) made.attr("__defaults__") = py::tuple(defaults);
  if (!keyword_defaults.empty()) made.attr("__kwdefaults__") = keyword_defaults;
  made.attr("__qualname__") = where;
  made.attr("__module__") = module_name;
  made.attr("__doc__") = rec->doc != nullptr && rec->doc[0] != '\0' ? py::object(py::str(rec->doc)) : py::none();
  return made;
}

py::object abstract_member(py::object f) {
  f.attr("__isabstractmethod__") = true;
  return f;
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

ClassBuilder& ClassBuilder::annotate(const char* name, const Declared& annotations) {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->first != name) continue;
    py::dict declared;
    for (const auto& [k, v] : annotations) declared[py::str(k)] = v;
    it->second.attr("__annotations__") = declared;
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
    bool method = PyInstanceMethod_Check(v.ptr()) || PyFunction_Check(v.ptr());
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
