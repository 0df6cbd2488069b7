#include "runtime/version.hpp"

#include "modtree/modtree.hpp"

MODTREE_MODULE("version", m) { m.attr("version") = ostrel::kVersion; }
