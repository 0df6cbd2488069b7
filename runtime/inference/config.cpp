#include "modtree/modtree.hpp"
MODTREE_MODULE("inference.config", m) { m.attr("NUM_OF_CPUS") = 4; m.attr("NUM_OF_GPUS") = 0; m.attr("GPU_PRESENT") = false; }
