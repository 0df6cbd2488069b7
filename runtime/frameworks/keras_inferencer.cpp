// The Keras back-end is not part of this build: importing the module says so.
#include "modtree/modtree.hpp"
#include "runtime/pyhelpers.hpp"

MODTREE_MODULE("frameworks.keras_inferencer", m) { ostrel::backend_not_built(m, "Keras"); }
