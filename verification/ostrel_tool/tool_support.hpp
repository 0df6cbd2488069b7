// Helpers shared by the modules of the benchmark tool.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "modtree/modtree.hpp"

namespace ostrel_tool {

namespace py = pybind11;

// Full name of a module of the tool, under whatever name the package was loaded as.
inline std::string tool_module(const char* name) {
  return modtree::Registry::instance().root_name() + ".ostrel_tool." + name;
}

// `from <tool module> import <name>`.
inline py::object tool_import(const char* module, const char* name) {
  return modtree::import_from(tool_module(module).c_str(), name);
}

}  // namespace ostrel_tool
