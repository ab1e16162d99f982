// The local-linearization kernels on 4 lanes, compiled for several
// instruction sets (vector_clones.hpp).
#include "dynamics/lane_kernels.hpp"

#include "common/vector_clones.hpp"
#include "dynamics/lane_kernel_bodies.hpp"

QUORLIN_LANE_KERNELS(4, QUORLIN_VECTOR_CLONES)
