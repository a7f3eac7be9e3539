// The node partition and the distances of the node ordering. No Python here.
//
// The partition is a greedy scan in node order: node 0 is a Cholesky node,
// and node i is kriged when some earlier Cholesky node k passes the distance
// test
//     sqrt(dx*dx + dz*dz) < dist_max,   dx = x[i] - x[k], dz = z[i] - z[k]
// (false when either side is NaN), a Cholesky node otherwise. The outcome
// depends only on whether such a k exists, not on which one is found, so the
// candidates are found through a uniform grid of square cells a little larger
// than dist_max: every Cholesky node that can pass the test lies in the
// node's own cell or in one of the eight around it. Every examined pair uses
// exactly the test above, so the grid reproduces the scan bit for bit.
//
// Why the neighbouring cells suffice, with h the cell side:
//  * A pair that passes has |dx| < dist_max * (1 + 4 eps) on each axis, or
//    |dx| < 2^-500 when the squares underflow; h = max(dist_max, 2^-500) *
//    (1 + 2^-8) exceeds both.
//  * Cell coordinates u = (x - xmin) / h carry a rounding error of about
//    2 eps * u; below 2^40 that is under 2^-11, so two nodes closer than h
//    get values less than 1 apart and cells at most one apart.
//  * Cells grow where dist_max is tiny against the extent of the nodes, so
//    that u stays below 2^38. Only when the extent itself overflows can
//    nodes have u >= 2^39 ("far" nodes); they are matched against the list
//    of Cholesky nodes with u >= 2^38 instead, which holds every node that
//    can pass the test with them.
//  * A node with a coordinate that is infinite or NaN has an infinite or NaN
//    distance to every node: it fails every test, so it becomes a Cholesky
//    node and is never a candidate.
#pragma once

#include "distance.h"
#include "strided.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

namespace random_field {

struct Partition {
    std::vector<std::ptrdiff_t> chol_ind;
    std::vector<std::ptrdiff_t> krig_ind;
};

inline bool within(const VecView& x, const VecView& z, std::ptrdiff_t i, std::ptrdiff_t k,
                   double dist_max) {
    return node_distance(x[i], z[i], x[k], z[k]) < dist_max;
}

// The straightforward scan over all earlier Cholesky nodes: the reference
// that the grid reproduces, and the path where no grid can serve (an
// infinite dist_max, or one so large that the cell side overflows). Nodes
// that cannot pass any test are kept out of the candidate list.
inline Partition chol_krig_nodes_scan(const VecView& x, const VecView& z, double dist_max) {
    Partition p;
    p.chol_ind.push_back(0);
    std::vector<std::ptrdiff_t> candidates;
    if (std::isfinite(x[0]) && std::isfinite(z[0])) candidates.push_back(0);
    for (std::ptrdiff_t i = 1; i < x.n; ++i) {
        bool kriged = false;
        for (const std::ptrdiff_t k : candidates) {
            if (within(x, z, i, k, dist_max)) {
                kriged = true;
                break;
            }
        }
        if (kriged) {
            p.krig_ind.push_back(i);
        } else {
            p.chol_ind.push_back(i);
            if (std::isfinite(x[i]) && std::isfinite(z[i])) candidates.push_back(i);
        }
    }
    return p;
}

namespace detail {

// Cholesky nodes per cell, as singly linked lists threaded through `next`
// (indexed by node), in a dense array of cells or a hash map when the
// occupied region is sparse.
class CellIndex {
public:
    CellIndex(std::int64_t ncx, std::int64_t ncz, std::ptrdiff_t nodes, bool dense)
        : ncz_(ncz), dense_(dense), next_(static_cast<std::size_t>(nodes), -1) {
        if (dense_) heads_.assign(static_cast<std::size_t>(ncx * ncz), -1);
        (void)ncx;
    }
    void insert(std::int64_t cx, std::int64_t cz, std::ptrdiff_t node) {
        std::ptrdiff_t& head = slot(cx, cz);
        next_[static_cast<std::size_t>(node)] = head;
        head = node;
    }
    std::ptrdiff_t first(std::int64_t cx, std::int64_t cz) const {
        if (dense_) return heads_[static_cast<std::size_t>(cx * ncz_ + cz)];
        const auto it = map_.find(Key{cx, cz});
        return it == map_.end() ? -1 : it->second;
    }
    std::ptrdiff_t next(std::ptrdiff_t node) const { return next_[static_cast<std::size_t>(node)]; }

private:
    struct Key {
        std::int64_t cx, cz;
        bool operator==(const Key& o) const { return cx == o.cx && cz == o.cz; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            const std::uint64_t h = static_cast<std::uint64_t>(k.cx) * 0x9E3779B97F4A7C15ull ^
                                    static_cast<std::uint64_t>(k.cz) * 0xC2B2AE3D27D4EB4Full;
            return static_cast<std::size_t>(h ^ (h >> 29));
        }
    };
    std::ptrdiff_t& slot(std::int64_t cx, std::int64_t cz) {
        if (dense_) return heads_[static_cast<std::size_t>(cx * ncz_ + cz)];
        return map_.try_emplace(Key{cx, cz}, -1).first->second;
    }

    std::int64_t ncz_;
    bool dense_;
    std::vector<std::ptrdiff_t> heads_;
    std::vector<std::ptrdiff_t> next_;
    std::unordered_map<Key, std::ptrdiff_t, KeyHash> map_;
};

}  // namespace detail

// Splits nodes 0 .. x.n-1 (x.n >= 1; z holds x.n values).
inline Partition chol_krig_nodes(const VecView& x, const VecView& z, double dist_max) {
    const std::ptrdiff_t N = x.n;
    Partition p;
    if (!(dist_max > 0.0)) {
        // No distance is below zero or NaN: every node is a Cholesky node.
        p.chol_ind.resize(static_cast<std::size_t>(N));
        for (std::ptrdiff_t i = 0; i < N; ++i) p.chol_ind[static_cast<std::size_t>(i)] = i;
        return p;
    }
    double h = std::max(dist_max, 0x1p-500) * (1.0 + 0x1p-8);
    if (!std::isfinite(h)) return chol_krig_nodes_scan(x, z, dist_max);

    double xmin = std::numeric_limits<double>::infinity(), zmin = xmin;
    double xmax = -xmin, zmax = -xmin;
    for (std::ptrdiff_t i = 0; i < N; ++i) {
        const double xi = x[i], zi = z[i];
        if (std::isfinite(xi) && std::isfinite(zi)) {
            xmin = std::min(xmin, xi);
            xmax = std::max(xmax, xi);
            zmin = std::min(zmin, zi);
            zmax = std::max(zmax, zi);
        }
    }
    // Coarser cells where dist_max is tiny against the extent of the nodes,
    // so that cell coordinates stay below 2^38 (larger cells are as correct,
    // only fuller). An extent too large for a double leaves the far nodes to
    // the list below.
    const double extent = std::max(xmax - xmin, zmax - zmin);
    if (extent > 0.0 && std::isfinite(extent)) h = std::max(h, extent * 0x1p-38);

    // Cell coordinates of the finite nodes; NaN marks a node that can pass
    // no test.
    constexpr double grid_limit = 0x1p40, far_limit = 0x1p39, far_list_limit = 0x1p38;
    std::vector<double> ux(static_cast<std::size_t>(N)), uz(static_cast<std::size_t>(N));
    std::int64_t cxmax = 0, czmax = 0;
    for (std::ptrdiff_t i = 0; i < N; ++i) {
        const double xi = x[i], zi = z[i];
        double u = std::numeric_limits<double>::quiet_NaN(), v = u;
        if (std::isfinite(xi) && std::isfinite(zi)) {
            u = (xi - xmin) / h;
            v = (zi - zmin) / h;
            if (u < grid_limit && v < grid_limit) {
                cxmax = std::max(cxmax, static_cast<std::int64_t>(u));
                czmax = std::max(czmax, static_cast<std::int64_t>(v));
            }
        }
        ux[static_cast<std::size_t>(i)] = u;
        uz[static_cast<std::size_t>(i)] = v;
    }
    const std::int64_t ncx = cxmax + 1, ncz = czmax + 1;
    const std::int64_t dense_cells = 4 * static_cast<std::int64_t>(N) + 1024;
    const bool dense = ncx <= dense_cells / ncz;
    detail::CellIndex cells(ncx, ncz, N, dense);
    std::vector<std::ptrdiff_t> far_chol;

    auto add_cholesky = [&](std::ptrdiff_t i) {
        p.chol_ind.push_back(i);
        const double u = ux[static_cast<std::size_t>(i)], v = uz[static_cast<std::size_t>(i)];
        if (std::isnan(u)) return;
        if (u < grid_limit && v < grid_limit)
            cells.insert(static_cast<std::int64_t>(u), static_cast<std::int64_t>(v), i);
        if (u >= far_list_limit || v >= far_list_limit) far_chol.push_back(i);
    };
    auto has_partner = [&](std::ptrdiff_t i) {
        const double u = ux[static_cast<std::size_t>(i)], v = uz[static_cast<std::size_t>(i)];
        if (std::isnan(u)) return false;
        if (u >= far_limit || v >= far_limit) {
            for (const std::ptrdiff_t k : far_chol)
                if (within(x, z, i, k, dist_max)) return true;
            return false;
        }
        const std::int64_t cx = static_cast<std::int64_t>(u), cz = static_cast<std::int64_t>(v);
        // The node's own cell first: it holds the nearest candidates.
        for (std::ptrdiff_t k = cells.first(cx, cz); k >= 0; k = cells.next(k))
            if (within(x, z, i, k, dist_max)) return true;
        for (std::int64_t a = std::max<std::int64_t>(cx - 1, 0); a <= std::min(cx + 1, cxmax); ++a) {
            for (std::int64_t b = std::max<std::int64_t>(cz - 1, 0); b <= std::min(cz + 1, czmax); ++b) {
                if (a == cx && b == cz) continue;
                for (std::ptrdiff_t k = cells.first(a, b); k >= 0; k = cells.next(k))
                    if (within(x, z, i, k, dist_max)) return true;
            }
        }
        return false;
    };

    add_cholesky(0);
    for (std::ptrdiff_t i = 1; i < N; ++i) {
        if (has_partner(i))
            p.krig_ind.push_back(i);
        else
            add_cholesky(i);
    }
    return p;
}

// Distance of node k from node 0, as the node ordering computes it:
// sqrt(dz*dz + dx*dx) with dz = z[k] - z[0] and dx = x[k] - x[0].
inline double distance_from_first(const VecView& x, const VecView& z, std::ptrdiff_t k) {
    const double dz = z[k] - z[0];
    const double dx = x[k] - x[0];
    return std::sqrt(dz * dz + dx * dx);
}

}  // namespace random_field
