// The distance of two nodes, the same everywhere in the module: the correctly
// rounded square root of dx*dx + dz*dz in double precision. No Python here.
#pragma once

#include <cmath>

namespace random_field {

inline double node_distance(double xa, double za, double xb, double zb) {
    const double dx = xa - xb;
    const double dz = za - zb;
    return std::sqrt(dx * dx + dz * dz);
}

}  // namespace random_field
