// The packages of the conformance checks; their initialisers define nothing.
#include "modtree/modtree.hpp"

MODTREE_EMPTY_PACKAGE("unit_tests");
MODTREE_EMPTY_PACKAGE("unit_tests.test_inferencers");
