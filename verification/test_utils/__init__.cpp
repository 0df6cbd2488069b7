// Utilities of the verification package: detection helpers, downloads and checkpoint producers.
#include "modtree/modtree.hpp"

MODTREE_EMPTY_PACKAGE("test_utils");
