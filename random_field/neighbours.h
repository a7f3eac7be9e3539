// Nearest earlier nodes on a cell grid, and the coarse-to-fine order of the
// kriged nodes. No Python here.
//
// The nodes carry ranks (the order in which a realisation draws them). A
// query for the node of rank r returns its m nearest nodes among those of
// rank below r. Each cell lists its nodes by increasing rank, so a query
// reads, in every cell it visits, only the nodes it may use: the cost of a
// query is the cells it visits plus the candidates it examines, whatever the
// number of nodes drawn later. Distances are the module's node distance, and
// ties are broken by rank, so every query has one answer whichever thread
// asks it.
#pragma once

#include "distance.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace random_field {

// The box of the finite coordinates among n nodes; empty (lo > hi) when none.
struct Box {
    double x0 = INFINITY, x1 = -INFINITY, z0 = INFINITY, z1 = -INFINITY;
    void add(double x, double z) {
        if (!(std::isfinite(x) && std::isfinite(z))) return;
        x0 = std::min(x0, x); x1 = std::max(x1, x);
        z0 = std::min(z0, z); z1 = std::max(z1, z);
    }
    bool empty() const { return !(x0 <= x1); }
};

// Square cells of side `side` over a box, at most about `max_cells` of them:
// the side is enlarged when the box would need more.
struct CellLayout {
    double x0 = 0, z0 = 0, side = 1;
    std::ptrdiff_t nx = 1, nz = 1;

    CellLayout() = default;
    CellLayout(const Box& box, double side_wanted, std::ptrdiff_t max_cells) {
        if (box.empty()) return;
        x0 = box.x0; z0 = box.z0;
        const double w = box.x1 - box.x0, h = box.z1 - box.z0;
        max_cells = std::max<std::ptrdiff_t>(max_cells, 1);
        double s = side_wanted;
        const double floor_area = std::sqrt(w * h / static_cast<double>(max_cells));
        const double floor_line = std::max(w, h) / static_cast<double>(max_cells);
        if (!(s >= floor_area)) s = floor_area;
        if (!(s >= floor_line)) s = floor_line;
        if (!(s > 0) || !std::isfinite(s)) s = 1.0;  // all nodes at one point
        side = s;
        nx = static_cast<std::ptrdiff_t>(w / s) + 1;
        nz = static_cast<std::ptrdiff_t>(h / s) + 1;
    }
    std::ptrdiff_t cells() const { return nx * nz; }
    std::ptrdiff_t ix(double x) const { return clamp((x - x0) / side, nx); }
    std::ptrdiff_t iz(double z) const { return clamp((z - z0) / side, nz); }
    static std::ptrdiff_t clamp(double t, std::ptrdiff_t n) {
        if (!(t >= 0)) return 0;
        if (t >= static_cast<double>(n - 1)) return n - 1;
        return static_cast<std::ptrdiff_t>(t);
    }
};

// One neighbour found: its distance and its rank.
struct Found {
    double dist;
    std::int32_t rank;
    bool operator<(const Found& o) const {
        return dist < o.dist || (dist == o.dist && rank < o.rank);
    }
};

// The grid of all nodes, each cell's nodes listed by increasing rank.
// node_of_rank[r] is the node of rank r (r in [0, N)); nodes whose
// coordinates are not finite are left out, so they are nobody's neighbour.
class RankedGrid {
public:
    RankedGrid(const double* x, const double* z, const std::int32_t* node_of_rank,
               std::ptrdiff_t N)
        : x_(x), z_(z), node_of_rank_(node_of_rank) {
        Box box;
        for (std::ptrdiff_t i = 0; i < N; ++i) box.add(x[i], z[i]);
        // About two nodes per cell on a uniform mesh.
        const std::ptrdiff_t want = std::max<std::ptrdiff_t>(1, N / 2);
        const double area = (box.x1 - box.x0) * (box.z1 - box.z0);
        layout_ = CellLayout(box, std::sqrt(area / static_cast<double>(want)), want);
        start_.assign(static_cast<std::size_t>(layout_.cells()) + 1, 0);
        std::vector<std::int32_t> cell_of(static_cast<std::size_t>(N), -1);
        for (std::ptrdiff_t r = 0; r < N; ++r) {
            const std::int32_t i = node_of_rank[r];
            if (!(std::isfinite(x[i]) && std::isfinite(z[i]))) continue;
            const std::ptrdiff_t c = layout_.iz(z[i]) * layout_.nx + layout_.ix(x[i]);
            cell_of[static_cast<std::size_t>(r)] = static_cast<std::int32_t>(c);
            ++start_[static_cast<std::size_t>(c) + 1];
        }
        for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
        ranks_.resize(static_cast<std::size_t>(start_.back()));
        std::vector<std::int64_t> fill(start_.begin(), start_.end() - 1);
        for (std::ptrdiff_t r = 0; r < N; ++r) {  // increasing rank within each cell
            const std::int32_t c = cell_of[static_cast<std::size_t>(r)];
            if (c >= 0) ranks_[static_cast<std::size_t>(fill[c]++)] = static_cast<std::int32_t>(r);
        }
    }

    // The (at most) m nodes nearest to (xq, zq) among ranks below `below`,
    // nearest first, into `out` (cleared first). `heap` is scratch.
    void nearest(double xq, double zq, std::int32_t below, std::ptrdiff_t m,
                 std::vector<Found>& out) const {
        out.clear();
        if (m <= 0 || below <= 0 || !(std::isfinite(xq) && std::isfinite(zq))) return;
        const std::ptrdiff_t cx = layout_.ix(xq), cz = layout_.iz(zq);
        const std::ptrdiff_t reach = std::max(layout_.nx, layout_.nz);
        const double s = layout_.side;
        for (std::ptrdiff_t k = 0; k <= reach; ++k) {
            const std::ptrdiff_t xa = cx - k, xb = cx + k, za = cz - k, zb = cz + k;
            for (std::ptrdiff_t jz = std::max<std::ptrdiff_t>(za, 0);
                 jz <= std::min(zb, layout_.nz - 1); ++jz) {
                const bool edge_row = (jz == za || jz == zb);
                if (edge_row) {
                    for (std::ptrdiff_t jx = std::max<std::ptrdiff_t>(xa, 0);
                         jx <= std::min(xb, layout_.nx - 1); ++jx)
                        scan(jz * layout_.nx + jx, xq, zq, below, m, out);
                } else {
                    if (xa >= 0) scan(jz * layout_.nx + xa, xq, zq, below, m, out);
                    if (xb < layout_.nx && k > 0) scan(jz * layout_.nx + xb, xq, zq, below, m, out);
                }
            }
            // Every node not yet examined lies outside the block of cells
            // [cx-k, cx+k] x [cz-k, cz+k]: at least `bound` away.
            double bound = INFINITY;
            if (xa > 0) bound = std::min(bound, xq - (layout_.x0 + static_cast<double>(xa) * s));
            if (xb < layout_.nx - 1)
                bound = std::min(bound, (layout_.x0 + static_cast<double>(xb + 1) * s) - xq);
            if (za > 0) bound = std::min(bound, zq - (layout_.z0 + static_cast<double>(za) * s));
            if (zb < layout_.nz - 1)
                bound = std::min(bound, (layout_.z0 + static_cast<double>(zb + 1) * s) - zq);
            if (bound == INFINITY) break;  // the whole grid is examined
            if (static_cast<std::ptrdiff_t>(out.size()) == m && out.front().dist <= bound) break;
        }
        std::sort_heap(out.begin(), out.end());
    }

private:
    // Offers the usable nodes of cell c to the bounded max-heap `out`.
    void scan(std::ptrdiff_t c, double xq, double zq, std::int32_t below, std::ptrdiff_t m,
              std::vector<Found>& out) const {
        for (std::int64_t e = start_[static_cast<std::size_t>(c)],
                          end = start_[static_cast<std::size_t>(c) + 1];
             e < end; ++e) {
            const std::int32_t r = ranks_[static_cast<std::size_t>(e)];
            if (r >= below) return;  // the rest of the cell is drawn later
            const std::int32_t i = node_of_rank_[r];
            const Found f{node_distance(xq, zq, x_[i], z_[i]), r};
            if (static_cast<std::ptrdiff_t>(out.size()) < m) {
                out.push_back(f);
                std::push_heap(out.begin(), out.end());
            } else if (f < out.front()) {
                std::pop_heap(out.begin(), out.end());
                out.back() = f;
                std::push_heap(out.begin(), out.end());
            }
        }
    }

    const double* x_;
    const double* z_;
    const std::int32_t* node_of_rank_;
    CellLayout layout_;
    std::vector<std::int64_t> start_;
    std::vector<std::int32_t> ranks_;
};

// The coarse-to-fine order of the kriged nodes: level 1 takes, in node
// order, every kriged node farther than dist/2 from all nodes taken so far
// (the Cholesky nodes first), level 2 those farther than dist/4, and so on;
// each level is in node order. It approximates the max-min order (each node
// as far as possible from those before it) in O(N) per level. Nodes left
// when the distance no longer separates them (duplicates) come last, in node
// order. `dist` is the Cholesky nodes' separation, bounded here by the
// extent of the nodes. Returns the kriged nodes in drawing order.
inline std::vector<std::int32_t> coarse_to_fine(const double* x, const double* z,
                                                std::ptrdiff_t N, const std::int32_t* chol,
                                                std::ptrdiff_t Nchol, const std::int32_t* krig,
                                                std::ptrdiff_t Nkrig, double dist) {
    std::vector<std::int32_t> order;
    order.reserve(static_cast<std::size_t>(Nkrig));
    Box box;
    for (std::ptrdiff_t i = 0; i < N; ++i) box.add(x[i], z[i]);
    const double extent = box.empty() ? 0.0 : std::hypot(box.x1 - box.x0, box.z1 - box.z0);
    if (!(dist <= extent)) dist = extent;
    std::vector<std::int32_t> left(krig, krig + Nkrig), next_left;
    std::vector<std::int32_t> taken(chol, chol + Nchol);
    std::vector<std::int32_t> head, link(static_cast<std::size_t>(N), -1);
    constexpr int max_levels = 48;
    for (int level = 1; level <= max_levels && !left.empty() && dist > 0; ++level) {
        dist *= 0.5;
        const CellLayout g(box, dist, 4 * N + 16);
        const std::ptrdiff_t reach = static_cast<std::ptrdiff_t>(std::ceil(dist / g.side));
        head.assign(static_cast<std::size_t>(g.cells()), -1);
        auto insert = [&](std::int32_t i) {
            if (!(std::isfinite(x[i]) && std::isfinite(z[i]))) return;
            const std::ptrdiff_t c = g.iz(z[i]) * g.nx + g.ix(x[i]);
            link[static_cast<std::size_t>(i)] = head[static_cast<std::size_t>(c)];
            head[static_cast<std::size_t>(c)] = i;
        };
        for (std::int32_t i : taken) insert(i);
        next_left.clear();
        for (std::int32_t i : left) {
            const double xi = x[i], zi = z[i];
            const std::ptrdiff_t cx = g.ix(xi), cz = g.iz(zi);
            bool near = false;
            for (std::ptrdiff_t jz = std::max<std::ptrdiff_t>(cz - reach, 0);
                 !near && jz <= std::min(cz + reach, g.nz - 1); ++jz)
                for (std::ptrdiff_t jx = std::max<std::ptrdiff_t>(cx - reach, 0);
                     !near && jx <= std::min(cx + reach, g.nx - 1); ++jx)
                    for (std::int32_t p = head[static_cast<std::size_t>(jz * g.nx + jx)]; p >= 0;
                         p = link[static_cast<std::size_t>(p)])
                        if (node_distance(xi, zi, x[p], z[p]) < dist) { near = true; break; }
            if (near) {
                next_left.push_back(i);
            } else {
                order.push_back(i);
                taken.push_back(i);
                insert(i);
            }
        }
        left.swap(next_left);
    }
    order.insert(order.end(), left.begin(), left.end());
    return order;
}

}  // namespace random_field

namespace random_field {

// The max-min order of the kriged nodes: each next node is the one farthest
// from all nodes before it (the Cholesky nodes first), ties to the lowest
// node index. Every prefix of the order is then spread evenly over the
// mesh, each node's distance to the earlier ones (its scale) never grows
// along the order, and the nearest earlier nodes of a node sit at its own
// scale: coarse nodes condition on far neighbours, fine nodes on near ones.
//
// The distance of every waiting node to the chosen ones sits in an indexed
// max-heap; choosing node i at distance r can only lower the distances of
// waiting nodes within r of i, which a cell grid finds. Nodes whose
// coordinates are not finite come last, in node order. Memory O(N), time
// about O(N log N) on a mesh of even density. Returns the kriged nodes in
// drawing order.
inline std::vector<std::int32_t> maxmin_order(const double* x, const double* z, std::ptrdiff_t,
                                              const std::int32_t* chol, std::ptrdiff_t Nchol,
                                              const std::int32_t* krig, std::ptrdiff_t Nkrig) {
    std::vector<std::int32_t> order;
    order.reserve(static_cast<std::size_t>(Nkrig));
    std::vector<std::int32_t> late;   // kriged nodes without finite coordinates
    std::vector<std::int32_t> wait;   // the others
    for (std::ptrdiff_t k = 0; k < Nkrig; ++k) {
        const std::int32_t i = krig[k];
        (std::isfinite(x[i]) && std::isfinite(z[i]) ? wait : late).push_back(i);
    }
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(wait.size());
    if (n > 0) {
        // Distance of each waiting node (by its slot in `wait`) to the
        // Cholesky nodes.
        std::vector<double> dm(static_cast<std::size_t>(n), INFINITY);
        if (Nchol > 0) {
            std::vector<std::int32_t> ranked(chol, chol + Nchol);
            ranked.insert(ranked.end(), wait.begin(), wait.end());
            const RankedGrid cg(x, z, ranked.data(), static_cast<std::ptrdiff_t>(ranked.size()));
            std::vector<Found> found;
            for (std::ptrdiff_t s = 0; s < n; ++s) {
                const std::int32_t i = wait[static_cast<std::size_t>(s)];
                cg.nearest(x[i], z[i], static_cast<std::int32_t>(Nchol), 1, found);
                if (!found.empty()) dm[static_cast<std::size_t>(s)] = found.front().dist;
            }
        }
        // The cell grid of the waiting nodes, about two per cell.
        Box box;
        for (std::int32_t i : wait) box.add(x[i], z[i]);
        const std::ptrdiff_t want = std::max<std::ptrdiff_t>(1, n / 2);
        const double area = (box.x1 - box.x0) * (box.z1 - box.z0);
        const CellLayout g(box, std::sqrt(area / static_cast<double>(want)), want);
        std::vector<std::int64_t> start(static_cast<std::size_t>(g.cells()) + 1, 0);
        std::vector<std::int32_t> cell_of(static_cast<std::size_t>(n));
        for (std::ptrdiff_t s = 0; s < n; ++s) {
            const std::int32_t i = wait[static_cast<std::size_t>(s)];
            const std::ptrdiff_t c = g.iz(z[i]) * g.nx + g.ix(x[i]);
            cell_of[static_cast<std::size_t>(s)] = static_cast<std::int32_t>(c);
            ++start[static_cast<std::size_t>(c) + 1];
        }
        for (std::size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
        std::vector<std::int32_t> members(static_cast<std::size_t>(n));
        {
            std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
            for (std::ptrdiff_t s = 0; s < n; ++s)
                members[static_cast<std::size_t>(fill[cell_of[static_cast<std::size_t>(s)]]++)] =
                    static_cast<std::int32_t>(s);
        }
        cell_of.clear();
        cell_of.shrink_to_fit();
        // Indexed max-heap of slots by (distance, then lower node index).
        std::vector<std::int32_t> heap(static_cast<std::size_t>(n)), pos(static_cast<std::size_t>(n));
        auto above = [&](std::int32_t a, std::int32_t b) {
            const double da = dm[static_cast<std::size_t>(a)], db = dm[static_cast<std::size_t>(b)];
            return da > db || (da == db && wait[static_cast<std::size_t>(a)] < wait[static_cast<std::size_t>(b)]);
        };
        auto place = [&](std::ptrdiff_t h, std::int32_t s) {
            heap[static_cast<std::size_t>(h)] = s;
            pos[static_cast<std::size_t>(s)] = static_cast<std::int32_t>(h);
        };
        std::ptrdiff_t size = n;
        auto sift_down = [&](std::ptrdiff_t h) {
            const std::int32_t s = heap[static_cast<std::size_t>(h)];
            for (;;) {
                std::ptrdiff_t c = 2 * h + 1;
                if (c >= size) break;
                if (c + 1 < size && above(heap[static_cast<std::size_t>(c + 1)], heap[static_cast<std::size_t>(c)])) ++c;
                if (!above(heap[static_cast<std::size_t>(c)], s)) break;
                place(h, heap[static_cast<std::size_t>(c)]);
                h = c;
            }
            place(h, s);
        };
        for (std::ptrdiff_t s = 0; s < n; ++s) place(s, static_cast<std::int32_t>(s));
        for (std::ptrdiff_t h = n / 2 - 1; h >= 0; --h) sift_down(h);
        std::vector<char> taken(static_cast<std::size_t>(n), 0);
        const double side = g.side;
        while (size > 0) {
            const std::int32_t s = heap[0];
            --size;
            if (size > 0) {
                place(0, heap[static_cast<std::size_t>(size)]);
                sift_down(0);
            }
            taken[static_cast<std::size_t>(s)] = 1;
            const std::int32_t i = wait[static_cast<std::size_t>(s)];
            order.push_back(i);
            // Waiting nodes nearer to i than to every node chosen before.
            const double r = dm[static_cast<std::size_t>(s)], xi = x[i], zi = z[i];
            std::ptrdiff_t cx0 = 0, cx1 = g.nx - 1, cz0 = 0, cz1 = g.nz - 1;
            if (r < side * static_cast<double>(g.nx + g.nz)) {
                cx0 = g.ix(xi - r); cx1 = g.ix(xi + r);
                cz0 = g.iz(zi - r); cz1 = g.iz(zi + r);
            }
            for (std::ptrdiff_t cz = cz0; cz <= cz1; ++cz)
                for (std::ptrdiff_t cx = cx0; cx <= cx1; ++cx) {
                    const std::ptrdiff_t c = cz * g.nx + cx;
                    for (std::int64_t e = start[static_cast<std::size_t>(c)],
                                      end = start[static_cast<std::size_t>(c) + 1];
                         e < end; ++e) {
                        const std::int32_t t = members[static_cast<std::size_t>(e)];
                        if (taken[static_cast<std::size_t>(t)]) continue;
                        const std::int32_t p = wait[static_cast<std::size_t>(t)];
                        const double d = node_distance(xi, zi, x[p], z[p]);
                        if (d < dm[static_cast<std::size_t>(t)]) {
                            dm[static_cast<std::size_t>(t)] = d;  // lower: moves down
                            sift_down(pos[static_cast<std::size_t>(t)]);
                        }
                    }
                }
        }
    }
    order.insert(order.end(), late.begin(), late.end());
    return order;
}

}  // namespace random_field
