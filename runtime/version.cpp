#include "modtree/modtree.hpp"
#include "runtime/version.hpp"

MODTREE_MODULE("version", m) { m.attr("version") = ostrel::kVersion; }
