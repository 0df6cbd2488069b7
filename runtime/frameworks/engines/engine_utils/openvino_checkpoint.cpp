// The OpenVINO back-end is not part of this build: importing the module says so.
#include "modtree/modtree.hpp"
#include "runtime/pyhelpers.hpp"

MODTREE_MODULE("frameworks.engines.engine_utils.openvino_checkpoint", m) {
  ostrel::backend_not_built(m, "OpenVINO");
}
