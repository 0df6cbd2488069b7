// Package module that only makes its submodules importable under its name.
#include "modtree/modtree.hpp"

MODTREE_EMPTY_PACKAGE("common.data_classes");
