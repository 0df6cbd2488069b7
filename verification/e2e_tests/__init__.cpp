// The package of the end-to-end checks; its initialiser defines nothing.
#include "modtree/modtree.hpp"

MODTREE_EMPTY_PACKAGE("e2e_tests");
