#include "modtree/args.hpp"

#include <stdexcept>
#include <utility>

namespace modtree {

namespace {

// 'a', 'a' and 'b', 'a', 'b', and 'c': the interpreter's list of missing names.
std::string name_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

bool same_name(PyObject* a, PyObject* b) { return a == b || PyUnicode_Compare(a, b) == 0; }

}  // namespace

Parameters::Parameters(std::string qualname, std::vector<std::string> positional, std::size_t required,
                       std::vector<std::pair<std::string, bool>> keyword_only, bool var_positional,
                       bool var_keyword)
    : qualname_(std::move(qualname)),
      n_positional_(positional.size()),
      required_(required),
      var_positional_(var_positional),
      var_keyword_(var_keyword) {
  for (auto& name : positional) texts_.push_back(std::move(name));
  for (auto& [name, needed] : keyword_only) {
    texts_.push_back(name);
    keyword_required_.push_back(needed);
  }
  for (const std::string& text : texts_) {
    PyObject* name = PyUnicode_InternFromString(text.c_str());
    if (name == nullptr) throw std::runtime_error("cannot intern a parameter name");
    names_.push_back(name);
  }
}

Py_ssize_t Parameters::find(PyObject* name) const {
  for (std::size_t i = 0; i < names_.size(); ++i)  // interned names: pointers first
    if (names_[i] == name) return static_cast<Py_ssize_t>(i);
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (same_name(names_[i], name)) return static_cast<Py_ssize_t>(i);
  return -1;
}

void Parameters::missing(const std::vector<std::string>& names, bool keyword_only) const {
  std::string text = qualname_ + "() missing " + std::to_string(names.size()) + " required " +
                     (keyword_only ? "keyword-only" : "positional") +
                     (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names);
  PyErr_SetString(PyExc_TypeError, text.c_str());
}

bool Parameters::split(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                       Py_ssize_t* keyword_index) const {
  const auto n_pos = static_cast<Py_ssize_t>(n_positional_);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    slots[i] = nullptr;
    keyword_index[i] = -1;
  }
  for (Py_ssize_t i = 0; i < nargs && i < n_pos; ++i) slots[i] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t i = find(name);
    if (i < 0) {
      if (var_keyword_) continue;
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_.c_str(), name);
      return false;
    }
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", qualname_.c_str(), name);
      return false;
    }
    slots[i] = args[nargs + k];
    keyword_index[i] = k;
  }
  if (nargs > n_pos && !var_positional_) {
    std::string takes = required_ == n_positional_
                            ? std::to_string(n_positional_)
                            : "from " + std::to_string(required_) + " to " + std::to_string(n_positional_);
    std::string text = qualname_ + "() takes " + takes + " positional argument" +
                       (n_positional_ == 1 && required_ == n_positional_ ? "" : "s") + " but " +
                       std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }
  std::vector<std::string> absent;
  for (std::size_t i = 0; i < required_; ++i)
    if (slots[i] == nullptr) absent.push_back(texts_[i]);
  if (!absent.empty()) {
    missing(absent, false);
    return false;
  }
  for (std::size_t j = 0; j < keyword_required_.size(); ++j)
    if (keyword_required_[j] && slots[n_positional_ + j] == nullptr) absent.push_back(texts_[n_positional_ + j]);
  if (!absent.empty()) {
    missing(absent, true);
    return false;
  }
  return true;
}

}  // namespace modtree
