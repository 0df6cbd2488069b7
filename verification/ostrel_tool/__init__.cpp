// The benchmark and regression tool; the package itself defines nothing.
#include "modtree/modtree.hpp"

MODTREE_EMPTY_PACKAGE("ostrel_tool");
