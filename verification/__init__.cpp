// The package root of `tests`: it defines nothing of its own; every module of the package is served
// from this same shared object on its first import.
#include "modtree/modtree.hpp"

MODTREE_PACKAGE("", m) { (void)m; }
MODTREE_ROOT(tests)
