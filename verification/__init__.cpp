// The package root of `tests`: it defines nothing of its own but the translation of native failures
// for this shared object; every module of the package is served from it on its first import.
#include "bindings/errors.hpp"
#include "modtree/modtree.hpp"

MODTREE_PACKAGE("", m) {
  (void)m;
  ostrel::register_native_errors();
}
MODTREE_ROOT(tests)
