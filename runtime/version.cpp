#include "runtime/version.hpp"

#include "modtree/modtree.hpp"

#ifndef OSTREL_VERSION
#error "OSTREL_VERSION is defined by the build from the project metadata"
#endif

namespace ostrel {
const char* const kVersion = OSTREL_VERSION;
}  // namespace ostrel

MODTREE_MODULE("version", m) { m.attr("version") = ostrel::kVersion; }
