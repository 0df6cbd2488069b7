// The package of the installation checks; its initialiser defines nothing.
#include "modtree/modtree.hpp"

MODTREE_EMPTY_PACKAGE("installation_tests");
