// The node partition and the distances of the node ordering. No Python here.
//
// The partition is a greedy scan in node order: node 0 is a Cholesky node,
// and node i is kriged when some earlier Cholesky node k passes the distance
// test
//     sqrt(dx*dx + dz*dz) < dist_max,   dx = x[i] - x[k], dz = z[i] - z[k]
// (false when either side is NaN), a Cholesky node otherwise. The outcome
// depends only on whether such a k exists, not on which one is found, so the
// candidates are found through square cells of side s: every Cholesky node
// that can pass the test lies in the node's own cell or in one of the eight
// around it. Every examined pair uses exactly the test above, so the cells
// reproduce the scan bit for bit.
//
// Why the neighbouring cells suffice:
//  * s is a power of two, the smallest one >= dist_max, kept within
//    [2^-500, 2^512]. If the exact |x[i] - x[k]| >= s, the rounded dx has
//    |dx| >= s (s is a double and rounding is monotonic), dx*dx >= s*s (exact
//    for such s, or +inf past 2^512) and so the distance is >= s >= dist_max
//    (or +inf): the test fails. A pair that passes is less than s apart on
//    each axis, exactly.
//  * The cell of a coordinate v is floor(v / s), and v / s is exact (a
//    division by a power of two; when it underflows, |v / s| < 1 and the
//    sign of v gives the cell). Coordinates less than s apart therefore lie
//    in the same or adjacent cells, whatever their magnitude.
//  * Cells are keyed by their integer coordinates: in a dense array over the
//    occupied cells when those are few, else in a hash table, so empty space
//    costs nothing and the work is about linear in N whatever the extent and
//    the spread of the nodes.
//  * Where |v / s| >= 2^62 the doubles are more than s apart, so a node
//    there can pass the test only with nodes of the very same coordinate on
//    that axis; such nodes ("far" on an axis) are keyed by the coordinate's
//    bits, apart from the others, and matched within their own cell only.
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
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

namespace random_field {

struct Partition {
    std::vector<std::ptrdiff_t> chol_ind;
    std::vector<std::ptrdiff_t> krig_ind;
};

namespace detail {

// Cell side for dist_max > 0 (see above).
inline double cell_side(double dist_max) {
    if (!(dist_max <= 0x1p512)) return 0x1p512;
    int e = 0;
    const double m = std::frexp(dist_max, &e);  // dist_max = m * 2^e, 0.5 <= m < 1
    if (m == 0.5) --e;
    return std::ldexp(1.0, std::max(e, -500));
}

enum class Axis : unsigned char { near, far };

// The cell coordinate of v (finite) on one axis, and whether v is far.
inline std::int64_t cell_of(double v, double s, Axis* axis) {
    const double q = v / s;
    *axis = Axis::near;
    if (std::fabs(q) < 1.0) return v < 0.0 ? -1 : 0;
    if (std::fabs(q) < 0x1p62) return static_cast<std::int64_t>(std::floor(q));
    *axis = Axis::far;
    std::int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Cholesky nodes of one cell as a list threaded through `next`, by the
// order in which they became Cholesky nodes (newest first). Indices are as
// wide as the node count: no limit at 2^31 nodes.
using Index = std::ptrdiff_t;
constexpr Index none = -1;

// Cells of the near nodes when the box of occupied cells is small.
class DenseCells {
public:
    DenseCells(std::int64_t x0, std::int64_t z0, std::int64_t nx, std::int64_t nz)
        : x0_(x0), z0_(z0), nx_(nx), nz_(nz),
          heads_(static_cast<std::size_t>(nx * nz), none) {}
    Index first(std::int64_t cx, std::int64_t cz) const {
        const std::int64_t a = cx - x0_, b = cz - z0_;
        if (a < 0 || a >= nx_ || b < 0 || b >= nz_) return none;
        return heads_[static_cast<std::size_t>(a * nz_ + b)];
    }
    Index& slot(std::int64_t cx, std::int64_t cz) {
        return heads_[static_cast<std::size_t>((cx - x0_) * nz_ + (cz - z0_))];
    }
private:
    std::int64_t x0_, z0_, nx_, nz_;
    std::vector<Index> heads_;
};

// Cells of the near nodes in an open-addressing hash table (linear probing,
// at most half full), for nodes spread over a large box.
class HashedCells {
public:
    HashedCells() : table_(64) {}
    Index first(std::int64_t cx, std::int64_t cz) const {
        for (std::size_t i = hash(cx, cz) & mask();; i = (i + 1) & mask()) {
            const Entry& e = table_[i];
            if (e.head == none) return none;
            if (e.cx == cx && e.cz == cz) return e.head;
        }
    }
    Index& slot(std::int64_t cx, std::int64_t cz) {
        if (2 * (used_ + 1) > table_.size()) grow();
        return place(cx, cz);
    }
private:
    struct Entry {
        std::int64_t cx = 0, cz = 0;
        Index head = none;
    };
    static std::size_t hash(std::int64_t cx, std::int64_t cz) {
        std::uint64_t h = static_cast<std::uint64_t>(cx) * 0x9E3779B97F4A7C15ull +
                          static_cast<std::uint64_t>(cz);
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
        return static_cast<std::size_t>(h);
    }
    std::size_t mask() const { return table_.size() - 1; }
    // The entry of the cell, made (with an empty list) when missing; the
    // table has room.
    Index& place(std::int64_t cx, std::int64_t cz) {
        for (std::size_t i = hash(cx, cz) & mask();; i = (i + 1) & mask()) {
            Entry& e = table_[i];
            if (e.head == none) {
                e.cx = cx;
                e.cz = cz;
                ++used_;
                return e.head;
            }
            if (e.cx == cx && e.cz == cz) return e.head;
        }
    }
    void grow() {
        std::vector<Entry> old(table_.size() * 2);
        old.swap(table_);
        used_ = 0;
        for (const Entry& e : old)
            if (e.head != none) place(e.cx, e.cz) = e.head;
    }
    std::vector<Entry> table_;
    std::size_t used_ = 0;
};

// Cells of the nodes that are far on at least one axis: rare, and matched
// within their own cell only.
class FarCells {
public:
    Index first(std::int64_t cx, std::int64_t cz, unsigned char axes) const {
        const auto it = map_.find(Key{cx, cz, axes});
        return it == map_.end() ? none : it->second;
    }
    Index& slot(std::int64_t cx, std::int64_t cz, unsigned char axes) {
        return map_.try_emplace(Key{cx, cz, axes}, none).first->second;
    }
private:
    struct Key {
        std::int64_t cx, cz;
        unsigned char axes;
        bool operator==(const Key& o) const { return cx == o.cx && cz == o.cz && axes == o.axes; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            std::uint64_t h = static_cast<std::uint64_t>(k.cx) * 0x9E3779B97F4A7C15ull ^
                              (static_cast<std::uint64_t>(k.cz) + k.axes) * 0xC2B2AE3D27D4EB4Full;
            return static_cast<std::size_t>(h ^ (h >> 29));
        }
    };
    std::unordered_map<Key, Index, KeyHash> map_;
};

// Where a node is: its cell, and whether (and how) it can be a candidate.
enum : unsigned char { node_near = 0, node_far_x = 1, node_far_z = 2, node_never = 4 };

inline unsigned char locate(double x, double z, double s, std::int64_t* cx, std::int64_t* cz) {
    if (!(std::isfinite(x) && std::isfinite(z))) return node_never;
    Axis ax, az;
    *cx = cell_of(x, s, &ax);
    *cz = cell_of(z, s, &az);
    return static_cast<unsigned char>((ax == Axis::far ? node_far_x : 0) |
                                      (az == Axis::far ? node_far_z : 0));
}

// Whether `passes(head)` holds for a list of the cells that can hold a node
// within the side of a node of kind k in cell (cx, cz): its own cell and the
// eight around it, or for a node far on an axis, its own cell on that axis.
template <class Cells, class Passes>
bool any_in_reach(const Cells& cells, const FarCells& far, unsigned char k, std::int64_t cx,
                  std::int64_t cz, const Passes& passes) {
    if (k & node_never) return false;
    if (k != node_near) {
        // Far on one axis: that axis matches in its own cell only.
        const std::int64_t da = (k & node_far_x) ? 0 : 1, db = (k & node_far_z) ? 0 : 1;
        for (std::int64_t a = cx - da; a <= cx + da; ++a)
            for (std::int64_t b = cz - db; b <= cz + db; ++b)
                if (passes(far.first(a, b, k))) return true;
        return false;
    }
    // The node's own cell first: it holds the nearest candidates.
    if (passes(cells.first(cx, cz))) return true;
    for (std::int64_t a = cx - 1; a <= cx + 1; ++a)
        for (std::int64_t b = cz - 1; b <= cz + 1; ++b)
            if ((a != cx || b != cz) && passes(cells.first(a, b))) return true;
    return false;
}

// The scan over nodes 1 .. N-1 with the near cells in `cells`.
template <class Cells, class Interrupted>
bool scan_cells(const double* x, const double* z, std::ptrdiff_t N, double dist_max, double s,
                Cells& cells, Partition& p, const Interrupted& interrupted) {
    // The Cholesky nodes that can be candidates, in the order chosen, each
    // with its coordinates and the next older one of its cell.
    std::vector<double> cand_x, cand_z;
    std::vector<Index> cand_next;
    FarCells far;

    auto add_cholesky = [&](std::ptrdiff_t i, unsigned char k, std::int64_t cx, std::int64_t cz) {
        p.chol_ind.push_back(i);
        if (k & node_never) return;
        Index& head = k == node_near ? cells.slot(cx, cz) : far.slot(cx, cz, k);
        cand_x.push_back(x[i]);
        cand_z.push_back(z[i]);
        cand_next.push_back(head);
        head = static_cast<Index>(cand_x.size() - 1);
    };
    auto passes = [&](double xi, double zi, Index c) {
        for (; c != none; c = cand_next[static_cast<std::size_t>(c)])
            if (node_distance(xi, zi, cand_x[static_cast<std::size_t>(c)],
                              cand_z[static_cast<std::size_t>(c)]) < dist_max)
                return true;
        return false;
    };
    auto has_partner = [&](std::ptrdiff_t i, unsigned char k, std::int64_t cx, std::int64_t cz) {
        const double xi = x[i], zi = z[i];
        return any_in_reach(cells, far, k, cx, cz, [&](Index c) { return passes(xi, zi, c); });
    };

    std::int64_t cx = 0, cz = 0;
    const unsigned char k0 = locate(x[0], z[0], s, &cx, &cz);
    add_cholesky(0, k0, cx, cz);
    for (std::ptrdiff_t i = 1; i < N; ++i) {
        if ((i & 0x3FFF) == 0 && interrupted()) return false;
        const unsigned char k = locate(x[i], z[i], s, &cx, &cz);
        if (has_partner(i, k, cx, cz))
            p.krig_ind.push_back(i);
        else
            add_cholesky(i, k, cx, cz);
    }
    return true;
}

// Calls run(cells) with empty cells of side s for the nodes 0 .. N-1 and
// returns what it returns: a dense array when the box of the near nodes'
// cells is not much larger than the number of nodes, else a hash table; both
// give the same results. False, without the call, when interrupted first.
template <class Interrupted, class Run>
bool with_cells(const double* x, const double* z, std::ptrdiff_t N, double s,
                const Interrupted& interrupted, const Run& run) {
    std::int64_t x0 = std::numeric_limits<std::int64_t>::max(), z0 = x0;
    std::int64_t x1 = std::numeric_limits<std::int64_t>::min(), z1 = x1;
    bool any_near = false;
    for (std::ptrdiff_t i = 0; i < N; ++i) {
        if ((i & 0xFFFF) == 0xFFFF && interrupted()) return false;
        std::int64_t cx, cz;
        if (locate(x[i], z[i], s, &cx, &cz) != node_near) continue;
        any_near = true;
        x0 = std::min(x0, cx);
        x1 = std::max(x1, cx);
        z0 = std::min(z0, cz);
        z1 = std::max(z1, cz);
    }
    const std::int64_t budget = 4 * static_cast<std::int64_t>(N) + 1024;
    if (any_near) {
        const std::int64_t nx = x1 - x0 + 1, nz = z1 - z0 + 1;
        if (nx <= budget / nz) {
            DenseCells cells(x0, z0, nx, nz);
            return run(cells);
        }
    }
    HashedCells cells;
    return run(cells);
}

}  // namespace detail

// Splits nodes 0 .. N-1 (N >= 1, N < 2^31) of coordinates x[i], z[i] into
// `p`. Between blocks of nodes it asks `interrupted()` whether to stop, and
// returns false (with `p` incomplete) when told to.
template <class Interrupted>
bool chol_krig_nodes(const double* x, const double* z, std::ptrdiff_t N, double dist_max,
                     Partition& p, const Interrupted& interrupted) {
    p = Partition{};
    if (!(dist_max > 0.0)) {
        // No distance is below zero or NaN: every node is a Cholesky node.
        p.chol_ind.resize(static_cast<std::size_t>(N));
        for (std::ptrdiff_t i = 0; i < N; ++i) p.chol_ind[static_cast<std::size_t>(i)] = i;
        return true;
    }
    const double s = detail::cell_side(dist_max);
    return detail::with_cells(x, z, N, s, interrupted, [&](auto& cells) {
        return detail::scan_cells(x, z, N, dist_max, s, cells, p, interrupted);
    });
}

// Distance of node k from node 0, as the node ordering computes it:
// sqrt(dz*dz + dx*dx) with dz = z[k] - z[0] and dx = x[k] - x[0].
inline double distance_from_first(const double* x, const double* z, std::ptrdiff_t k) {
    const double dz = z[k] - z[0];
    const double dx = x[k] - x[0];
    return std::sqrt(dz * dz + dx * dx);
}

}  // namespace random_field
