// Nearest earlier nodes on a cell grid, and the drawing orders of the
// kriged nodes (max-min, coarse to fine). No Python here.
//
// The nodes carry ranks (the order in which a realisation draws them). A
// query for the node of rank r returns its m nearest nodes among those of
// rank below r. Each cell lists its nodes by increasing rank, so a query
// reads, in every cell it visits, only the nodes it may use. Distances are
// the module's node distance, and ties are broken by rank, so every query
// has one answer, whichever thread asks it and however the cells are laid.
//
// The cells are those of the node partition (partition.h): square, of a
// side that is a power of two, keyed by their integer coordinates, so the
// cell of a coordinate v is exactly floor(v / side) and a cell's edges are
// exact. Only occupied cells exist (a dense table when their box is small,
// else a hash table): the extent of the nodes costs nothing, however far an
// outlier lies. Cell coordinates are clamped to +-2^61 (no overflow
// anywhere); a clamped cell reaches to infinity on its outer side, which
// keeps every distance bound below a lower bound. A search that would visit
// more cells than there are occupied ones examines the occupied cells
// instead, nearest first.
#pragma once

#include "distance.h"
#include "partition.h"

#include <algorithm>
#include <cfloat>
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
    // The diagonal, at most the largest double (never infinite).
    double diagonal() const {
        if (empty()) return 0.0;
        const double d = std::hypot(x1 - x0, z1 - z0);
        if (std::isfinite(d)) return d;
        const double h = 2.0 * std::hypot(x1 / 2 - x0 / 2, z1 / 2 - z0 / 2);
        return std::isfinite(h) ? h : DBL_MAX;
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

// Square cells over a fixed list of points (finite coordinates), each cell
// listing its points by increasing position in the list.
class CellGrid {
public:
    static constexpr std::int64_t limit = std::int64_t{1} << 61;

    // Point p (0 <= p < n) is node nodes[p]; points whose coordinates are not
    // finite are left out.
    CellGrid(const double* x, const double* z, const std::int32_t* nodes, std::ptrdiff_t n) {
        Box box;
        for (std::ptrdiff_t p = 0; p < n; ++p) box.add(x[nodes[p]], z[nodes[p]]);
        if (box.empty()) return;
        const double s0 = first_side(box, n);
        side_ = s0;
        // Finer cells while the nodes crowd into few of them (a small
        // cluster among outliers): the mean number of nodes sharing a node's
        // cell is what a search pays. A finer side is kept when it thins the
        // crowd; a few steps without gain mean duplicates, which no side
        // separates.
        double best = crowding(x, z, nodes, n, side_), s = side_, crowd = best;
        for (int idle = 0; best > 16.0 && idle < 8 && s > 0x1p-500;) {
            s = std::max(0x1p-500, s / detail::cell_side(std::max(2.0, std::sqrt(crowd / 2.0))));
            crowd = crowding(x, z, nodes, n, s);
            if (crowd <= best / 1.5) {
                side_ = s;
                best = crowd;
                idle = 0;
            } else {
                ++idle;
            }
        }
        // The steps are coarse: back to the largest side that keeps about
        // as few nodes a cell as the first guess gives a mesh of even density.
        if (side_ != s0)
            for (int step = 0; step < 8 && side_ < s0; ++step) {
                const double c = crowding(x, z, nodes, n, 2.0 * side_);
                if (c > 10.0) break;
                side_ *= 2.0;
            }
        place(x, z, nodes, n);
    }

    double side() const { return side_; }
    std::ptrdiff_t cells() const { return static_cast<std::ptrdiff_t>(cx_.size()); }
    bool empty() const { return cx_.empty(); }

    // The cell coordinate of v (not NaN), clamped to [-limit, limit].
    std::int64_t cell(double v) const {
        const double q = v / side_;
        if (!(q > -static_cast<double>(limit))) return -limit;
        if (q >= static_cast<double>(limit)) return limit;
        if (std::fabs(q) < 1.0) return v < 0.0 ? -1 : 0;
        return static_cast<std::int64_t>(std::floor(q));
    }
    // Distance from v to the cells below c on its axis (v at or above
    // their edge), and to those above c: lower bounds on any true distance.
    double below_gap(double v, std::int64_t c) const {
        return c <= -limit ? INFINITY : v - static_cast<double>(c) * side_;
    }
    double above_gap(double v, std::int64_t c) const {
        return c >= limit ? INFINITY : static_cast<double>(c + 1) * side_ - v;
    }
    // The least distance from v to cell c on one axis (0 inside).
    double gap(double v, std::int64_t c) const {
        const double lo = c <= -limit ? -INFINITY : static_cast<double>(c) * side_;
        const double hi = c >= limit ? INFINITY : static_cast<double>(c + 1) * side_;
        if (v < lo) return lo - v;
        if (v >= hi) return v - hi;
        return 0.0;
    }

    // The cell's id, or -1 when no point lies in it.
    std::ptrdiff_t find(std::int64_t cx, std::int64_t cz) const {
        if (cx < bx0_ || cx > bx1_ || cz < bz0_ || cz > bz1_) return -1;
        return find_in_box(cx, cz);
    }
    // The same for a cell known to lie in the box of occupied cells.
    std::ptrdiff_t find_in_box(std::int64_t cx, std::int64_t cz) const {
        const std::int64_t a = cx - dx0_, b = cz - dz0_;
        if (a >= 0 && a < dnx_ && b >= 0 && b < dnz_)
            return dense_[static_cast<std::size_t>(b * dnx_ + a)];
        const detail::Index h = hashed_.first(cx, cz);
        return h == detail::none ? -1 : h;
    }
    std::int64_t cx(std::ptrdiff_t id) const { return cx_[static_cast<std::size_t>(id)]; }
    std::int64_t cz(std::ptrdiff_t id) const { return cz_[static_cast<std::size_t>(id)]; }
    const std::int32_t* begin(std::ptrdiff_t id) const {
        return members_.data() + start_[static_cast<std::size_t>(id)];
    }
    const std::int32_t* end(std::ptrdiff_t id) const {
        return members_.data() + start_[static_cast<std::size_t>(id) + 1];
    }
    // The box of the occupied cells.
    std::int64_t bx0() const { return bx0_; }
    std::int64_t bx1() const { return bx1_; }
    std::int64_t bz0() const { return bz0_; }
    std::int64_t bz1() const { return bz1_; }

    // Calls visit(id) for every occupied cell in [cx0, cx1] x [cz0, cz1]:
    // through the table when the block is small, else over all cells.
    template <class Visit>
    void each_in(std::int64_t cx0, std::int64_t cx1, std::int64_t cz0, std::int64_t cz1,
                 const Visit& visit) const {
        cx0 = std::max(cx0, bx0_); cx1 = std::min(cx1, bx1_);
        cz0 = std::max(cz0, bz0_); cz1 = std::min(cz1, bz1_);
        if (cx0 > cx1 || cz0 > cz1) return;
        const double block = static_cast<double>(cx1 - cx0 + 1) * static_cast<double>(cz1 - cz0 + 1);
        if (block > static_cast<double>(cells())) {
            for (std::ptrdiff_t id = 0; id < cells(); ++id) {
                const std::int64_t a = cx(id), b = cz(id);
                if (a >= cx0 && a <= cx1 && b >= cz0 && b <= cz1) visit(id);
            }
            return;
        }
        for (std::int64_t b = cz0; b <= cz1; ++b)
            for (std::int64_t a = cx0; a <= cx1; ++a) {
                const std::ptrdiff_t id = find_in_box(a, b);
                if (id >= 0) visit(id);
            }
    }

private:
    // A power of two near the side of n/2 square cells over the box.
    static double first_side(const Box& box, std::ptrdiff_t n) {
        const double w = box.x1 / 2 - box.x0 / 2, h = box.z1 / 2 - box.z0 / 2;  // halves: finite
        const double want = std::max(1.0, static_cast<double>(n) / 2.0);
        double s = 2.0 * std::sqrt(w * h / want);
        if (!(s > 0.0) || !std::isfinite(s)) s = 2.0 * std::max(w, h) / want;
        if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;  // every node at one point
        // The power of two nearest to s (in ratio): one to four nodes a cell.
        return detail::cell_side(s);
    }

    // Ids of cells: a dense table over the box of the occupied cells when it
    // is not much larger than the number of points (the partition's rule),
    // else over the box of the bulk (the cells of all but the outermost 1 %
    // of the points on each axis) when that one is, and a hash table for the
    // cells outside the dense box. `get` gives the id of an occupied cell,
    // `fresh` when it had none (it then has `fresh`).
    void make_ids(const double* x, const double* z, const std::int32_t* nodes, std::ptrdiff_t n) {
        dense_.clear();
        hashed_ = detail::HashedCells();
        dnx_ = dnz_ = 0;
        if (bx0_ > bx1_) return;
        const std::int64_t budget = 4 * static_cast<std::int64_t>(n) + 1024;
        auto fits = [budget](std::int64_t x0, std::int64_t x1, std::int64_t z0, std::int64_t z1) {
            return x1 - x0 + 1 <= budget / (z1 - z0 + 1);
        };
        std::int64_t x0 = bx0_, x1 = bx1_, z0 = bz0_, z1 = bz1_;
        if (!fits(x0, x1, z0, z1)) {
            std::vector<std::int64_t> c;
            c.reserve(static_cast<std::size_t>(n));
            auto trim = [&](bool on_x, std::int64_t& lo, std::int64_t& hi) {
                c.clear();
                for (std::ptrdiff_t p = 0; p < n; ++p) {
                    const double xp = x[nodes[p]], zp = z[nodes[p]];
                    if (std::isfinite(xp) && std::isfinite(zp)) c.push_back(cell(on_x ? xp : zp));
                }
                const std::size_t k = c.size() / 100;
                std::nth_element(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(k), c.end());
                lo = c[k];
                std::nth_element(c.begin(), c.end() - 1 - static_cast<std::ptrdiff_t>(k), c.end());
                hi = c[c.size() - 1 - k];
            };
            trim(true, x0, x1);
            trim(false, z0, z1);
            if (!fits(x0, x1, z0, z1)) return;
        }
        dx0_ = x0;
        dz0_ = z0;
        dnx_ = x1 - x0 + 1;
        dnz_ = z1 - z0 + 1;
        dense_.assign(static_cast<std::size_t>(dnx_ * dnz_), -1);
    }
    std::ptrdiff_t get(std::int64_t cx, std::int64_t cz, std::ptrdiff_t fresh) {
        const std::int64_t a = cx - dx0_, b = cz - dz0_;
        if (a >= 0 && a < dnx_ && b >= 0 && b < dnz_) {
            std::int32_t& d = dense_[static_cast<std::size_t>(b * dnx_ + a)];
            if (d < 0) d = static_cast<std::int32_t>(fresh);
            return d;
        }
        detail::Index& h = hashed_.slot(cx, cz);
        if (h == detail::none) h = fresh;
        return h;
    }

    // The box of the cells of the points at side s.
    void cell_box(const double* x, const double* z, const std::int32_t* nodes, std::ptrdiff_t n) {
        bx0_ = bz0_ = limit;
        bx1_ = bz1_ = -limit;
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const double xp = x[nodes[p]], zp = z[nodes[p]];
            if (!(std::isfinite(xp) && std::isfinite(zp))) continue;
            const std::int64_t a = cell(xp), b = cell(zp);
            bx0_ = std::min(bx0_, a); bx1_ = std::max(bx1_, a);
            bz0_ = std::min(bz0_, b); bz1_ = std::max(bz1_, b);
        }
    }

    // Mean over the points of the number of points in their cell, at side s.
    static double crowding(const double* x, const double* z, const std::int32_t* nodes,
                           std::ptrdiff_t n, double s) {
        CellGrid probe;
        probe.side_ = s;
        probe.cell_box(x, z, nodes, n);
        probe.make_ids(x, z, nodes, n);
        std::vector<std::int64_t> count;
        double sum = 0.0, used = 0.0;
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const double xp = x[nodes[p]], zp = z[nodes[p]];
            if (!(std::isfinite(xp) && std::isfinite(zp))) continue;
            const std::ptrdiff_t id =
                probe.get(probe.cell(xp), probe.cell(zp), static_cast<std::ptrdiff_t>(count.size()));
            if (id == static_cast<std::ptrdiff_t>(count.size())) count.push_back(0);
            std::int64_t& c = count[static_cast<std::size_t>(id)];
            sum += static_cast<double>(2 * c + 1);
            ++c;
            used += 1.0;
        }
        return used > 0.0 ? sum / used : 0.0;
    }

    CellGrid() = default;

    void place(const double* x, const double* z, const std::int32_t* nodes, std::ptrdiff_t n) {
        cell_box(x, z, nodes, n);
        make_ids(x, z, nodes, n);
        std::vector<std::int32_t> cell_of(static_cast<std::size_t>(n), -1);
        std::vector<std::int64_t> count;
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const double xp = x[nodes[p]], zp = z[nodes[p]];
            if (!(std::isfinite(xp) && std::isfinite(zp))) continue;
            const std::int64_t a = cell(xp), b = cell(zp);
            const std::ptrdiff_t id = get(a, b, static_cast<std::ptrdiff_t>(cx_.size()));
            if (id == static_cast<std::ptrdiff_t>(cx_.size())) {
                cx_.push_back(a);
                cz_.push_back(b);
                count.push_back(0);
            }
            cell_of[static_cast<std::size_t>(p)] = static_cast<std::int32_t>(id);
            ++count[static_cast<std::size_t>(id)];
        }
        start_.assign(cx_.size() + 1, 0);
        for (std::size_t c = 0; c < count.size(); ++c) start_[c + 1] = start_[c] + count[c];
        members_.resize(static_cast<std::size_t>(start_.back()));
        std::vector<std::int64_t>& fill = count;
        std::copy(start_.begin(), start_.end() - 1, fill.begin());
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const std::int32_t c = cell_of[static_cast<std::size_t>(p)];
            if (c >= 0) members_[static_cast<std::size_t>(fill[static_cast<std::size_t>(c)]++)] =
                static_cast<std::int32_t>(p);
        }
    }

    double side_ = 1.0;
    std::vector<std::int64_t> cx_, cz_, start_;
    std::vector<std::int32_t> members_;
    std::int64_t bx0_ = limit, bx1_ = -limit, bz0_ = limit, bz1_ = -limit;
    std::int64_t dx0_ = 0, dz0_ = 0, dnx_ = 0, dnz_ = 0;  // the dense box
    std::vector<std::int32_t> dense_;
    detail::HashedCells hashed_;
};

// The grid of all nodes, each cell's nodes listed by increasing rank.
// node_of_rank[r] is the node of rank r (r in [0, N)); nodes whose
// coordinates are not finite are left out, so they are nobody's neighbour.
//
// A query for the ranks below `below` reads only those, and the cells of all
// N nodes hold few of them when `below` is small: in a max-min order the
// first ranks spread over the whole mesh, so a query would visit many cells
// to find m of them. Coarser grids over the first ranks keep the cells full:
// level l holds the ranks below N / 4^l (at least `least_level` of them) on
// cells of its own, and a query searches the smallest level that holds every
// rank below `below`. Each level keeps the ranks and coordinates of its
// nodes cell by cell, the cells row by row, so a scan reads memory in
// sequence.
class RankedGrid {
    // One level: the grid of the ranks below `ranks`, and its entries (rank
    // and coordinates of each node) cell by cell. When the box of the
    // occupied cells is small enough for a table of its cells, the cells
    // come row by row (a row of a search block is one stretch of memory)
    // and `cell_start` gives each cell's first entry, else they follow the
    // grid's lists.
    struct Level {
        Level(const double* x, const double* z, const std::int32_t* node_of_rank,
              std::ptrdiff_t n)
            : ranks(n), grid(x, z, node_of_rank, n) {
            if (grid.empty()) return;
            const std::int32_t* const first = grid.begin(0);
            const std::size_t count = static_cast<std::size_t>(grid.end(grid.cells() - 1) - first);
            rank.resize(count);
            xz.resize(2 * count);
            auto put = [&](std::size_t k, std::int32_t r) {
                const std::int32_t i = node_of_rank[r];
                rank[k] = r;
                xz[2 * k] = x[i];
                xz[2 * k + 1] = z[i];
            };
            width = grid.bx1() - grid.bx0() + 1;
            const std::int64_t height = grid.bz1() - grid.bz0() + 1;
            const std::int64_t budget = 4 * static_cast<std::int64_t>(n) + 1024;
            if (width > budget / height) {  // follow the grid's lists
                width = 0;
                for (std::size_t k = 0; k < count; ++k) put(k, first[k]);
                return;
            }
            cell_start.assign(static_cast<std::size_t>(width * height) + 1, 0);
            for (std::ptrdiff_t id = 0; id < grid.cells(); ++id)
                cell_start[table(grid.cx(id), grid.cz(id)) + 1] =
                    static_cast<std::int32_t>(grid.end(id) - grid.begin(id));
            for (std::size_t q = 1; q < cell_start.size(); ++q) cell_start[q] += cell_start[q - 1];
            for (std::ptrdiff_t id = 0; id < grid.cells(); ++id) {
                std::size_t k = static_cast<std::size_t>(cell_start[table(grid.cx(id), grid.cz(id))]);
                for (const std::int32_t* e = grid.begin(id); e < grid.end(id); ++e) put(k++, *e);
            }
        }
        // The place of cell (a, b) of the box in the table.
        std::size_t table(std::int64_t a, std::int64_t b) const {
            return static_cast<std::size_t>((b - grid.bz0()) * width + (a - grid.bx0()));
        }
        std::ptrdiff_t ranks;
        CellGrid grid;
        std::int64_t width = 0;               // of the table; 0 without one
        std::vector<std::int32_t> cell_start;  // (width x height of the box) + 1
        std::vector<std::int32_t> rank;
        std::vector<double> xz;                // x, z pairs
    };

public:
    static constexpr std::ptrdiff_t least_level = 64;

    RankedGrid(const double* x, const double* z, const std::int32_t* node_of_rank,
               std::ptrdiff_t N) {
        std::ptrdiff_t ranks = std::max<std::ptrdiff_t>(N, 0);
        for (;;) {
            levels_.emplace_back(x, z, node_of_rank, ranks);
            if (ranks / 4 < least_level) break;
            ranks /= 4;
        }
    }

    // The (at most) m nodes nearest to (xq, zq) among ranks below `below`,
    // nearest first, into `out` (cleared first).
    void nearest(double xq, double zq, std::int32_t below, std::ptrdiff_t m,
                 std::vector<Found>& out) const {
        out.clear();
        if (m <= 0 || below <= 0 || !(std::isfinite(xq) && std::isfinite(zq))) return;
        std::size_t l = levels_.size() - 1;
        while (l > 0 && levels_[l].ranks < below) --l;
        const Level& level = levels_[l];
        const CellGrid& g = level.grid;
        if (g.empty()) return;
        const std::int64_t cx = g.cell(xq), cz = g.cell(zq);
        const double budget = static_cast<double>(g.cells());
        double visited = 0.0;
        for (std::int64_t k = 0;; ++k) {
            const std::int64_t xa = cx - k, xb = cx + k, za = cz - k, zb = cz + k;
            // The ring of the block [xa, xb] x [za, zb], within the occupied box.
            for (std::int64_t jz = std::max(za, g.bz0()); jz <= std::min(zb, g.bz1()); ++jz) {
                if (jz == za || jz == zb) {
                    scan_row(level, xa, xb, jz, xq, zq, below, m, out);
                } else {
                    scan_row(level, xa, xa, jz, xq, zq, below, m, out);
                    if (k > 0) scan_row(level, xb, xb, jz, xq, zq, below, m, out);
                }
            }
            visited += static_cast<double>(8 * k + 1);
            // Every node not yet examined lies outside the block: at least
            // `gap` away on one axis, so at a node distance of at least
            // least_distance(gap).
            double gap = INFINITY;
            bool more = false;  // occupied cells outside the block
            if (xa > g.bx0()) { more = true; gap = std::min(gap, g.below_gap(xq, xa)); }
            if (xb < g.bx1()) { more = true; gap = std::min(gap, g.above_gap(xq, xb)); }
            if (za > g.bz0()) { more = true; gap = std::min(gap, g.below_gap(zq, za)); }
            if (zb < g.bz1()) { more = true; gap = std::min(gap, g.above_gap(zq, zb)); }
            if (!more) break;  // every occupied cell is examined
            if (full(out, m) && out.front().dist < least_distance(gap)) break;
            if (visited + static_cast<double>(8 * (k + 1)) > budget) {
                rest(level, xa, xb, za, zb, xq, zq, below, m, out);
                break;
            }
        }
        std::sort(out.begin(), out.end());  // cheaper than unwinding the heap
    }

private:
    // The least node distance of two nodes at least `gap` apart on one
    // axis: the distance's own operations on gap, each monotonic, so it holds
    // when squares underflow (a node 1e-200 away is at distance 0) or
    // overflow.
    static double least_distance(double gap) { return std::sqrt(gap * gap); }

    static double reach_of(double dist) {
        const double sq = dist * dist;
        return sq >= 0x1p-960 ? sq * (1.0 + 0x1p-49) : INFINITY;
    }

    // The largest of the max-heap `out` replaced by f (not larger), sifted down.
    static void replace_top(std::vector<Found>& out, const Found& f) {
        Found* const h = out.data();
        const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(out.size());
        std::ptrdiff_t at = 0;
        for (;;) {
            std::ptrdiff_t c = 2 * at + 1;
            if (c >= n) break;
            if (c + 1 < n && h[c] < h[c + 1]) ++c;
            if (!(f < h[c])) break;
            h[at] = h[c];
            at = c;
        }
        h[at] = f;
    }

    static bool full(const std::vector<Found>& out, std::ptrdiff_t m) {
        return static_cast<std::ptrdiff_t>(out.size()) == m;
    }

    // The occupied cells outside the block [xa, xb] x [za, zb], nearest
    // first, until the nearest left is farther than the m-th found.
    void rest(const Level& level, std::int64_t xa, std::int64_t xb, std::int64_t za,
              std::int64_t zb, double xq, double zq, std::int32_t below, std::ptrdiff_t m,
              std::vector<Found>& out) const {
        const CellGrid& g = level.grid;
        std::vector<std::pair<double, std::ptrdiff_t>> far;
        for (std::ptrdiff_t id = 0; id < g.cells(); ++id) {
            const std::int64_t a = g.cx(id), b = g.cz(id);
            if (a >= xa && a <= xb && b >= za && b <= zb) continue;
            const double d = least_distance(std::max(g.gap(xq, a), g.gap(zq, b)));
            if (full(out, m) && !(d <= out.front().dist)) continue;
            far.emplace_back(d, id);
        }
        // Nearest first through a heap: only the cells taken are ordered.
        const auto nearer = [](const std::pair<double, std::ptrdiff_t>& a,
                               const std::pair<double, std::ptrdiff_t>& b) { return b < a; };
        std::make_heap(far.begin(), far.end(), nearer);
        for (auto end = far.end(); end != far.begin(); --end) {
            const auto c = far.front();
            if (full(out, m) && out.front().dist < c.first) break;
            std::pop_heap(far.begin(), end, nearer);
            scan(level, c.second, xq, zq, below, m, out);
        }
    }

    // Offers the usable nodes of the cells [xa, xb] of row jz (a row of the
    // box of the occupied cells) of `level` to the bounded max-heap `out`.
    void scan_row(const Level& level, std::int64_t xa, std::int64_t xb, std::int64_t jz,
                  double xq, double zq, std::int32_t below, std::ptrdiff_t m,
                  std::vector<Found>& out) const {
        xa = std::max(xa, level.grid.bx0());
        xb = std::min(xb, level.grid.bx1());
        if (xa > xb) return;
        if (level.width == 0) {
            for (std::int64_t jx = xa; jx <= xb; ++jx)
                scan(level, level.grid.find_in_box(jx, jz), xq, zq, below, m, out);
            return;
        }
        const std::int32_t* const start = level.cell_start.data() + level.table(xa, jz);
        for (std::int64_t q = 0; q <= xb - xa; ++q)
            offer(level, start[q], start[q + 1], xq, zq, below, m, out);
    }

    // The same for the cell `id` of the grid (none when -1).
    void scan(const Level& level, std::ptrdiff_t id, double xq, double zq, std::int32_t below,
              std::ptrdiff_t m, std::vector<Found>& out) const {
        if (id < 0) return;
        if (level.width == 0) {
            const std::int32_t* const first = level.grid.begin(0);
            offer(level, level.grid.begin(id) - first, level.grid.end(id) - first, xq, zq, below,
                  m, out);
            return;
        }
        const std::int32_t* const start =
            level.cell_start.data() + level.table(level.grid.cx(id), level.grid.cz(id));
        offer(level, start[0], start[1], xq, zq, below, m, out);
    }

    // Offers the entries [k, end) of a cell of `level` below rank `below`
    // to the bounded max-heap `out`.
    void offer(const Level& level, std::ptrdiff_t k, std::ptrdiff_t end, double xq, double zq,
               std::int32_t below, std::ptrdiff_t m, std::vector<Found>& out) const {
        // A node whose squared distance exceeds `reach` is farther than the
        // m-th found without its square root: reach is the square of that
        // distance with room for the roundings of both (none while the heap
        // fills, nor where the square is not a normal number).
        double reach = full(out, m) ? reach_of(out.front().dist) : INFINITY;
        const std::int32_t* const rank = level.rank.data();
        const double* const xz = level.xz.data();
        for (; k < end; ++k) {
            const std::int32_t r = rank[k];
            if (r >= below) return;  // the rest of the cell is drawn later
            const double dx = xq - xz[2 * k], dz = zq - xz[2 * k + 1];
            const double d2 = dx * dx + dz * dz;
            if (d2 > reach) continue;
            const Found f{std::sqrt(d2), r};
            if (!full(out, m)) {
                out.push_back(f);
                std::push_heap(out.begin(), out.end());
                if (full(out, m)) reach = reach_of(out.front().dist);
            } else if (f < out.front()) {
                replace_top(out, f);
                reach = reach_of(out.front().dist);
            }
        }
    }

    std::vector<Level> levels_;
};

// Between blocks of nodes, the orderings ask `interrupted()` whether to
// stop, and then return false with the order incomplete.
constexpr std::ptrdiff_t interrupt_every = 16384;

namespace detail {

// One level of the coarse-to-fine order: each node of `left`, in turn, is
// taken when no node taken so far (those listed in `taken`, then those
// taken at this level) lies within `dist`; the others go to `next_left`. The
// test is the partition's, on the partition's cells.
template <class Cells, class Interrupted>
bool take_level(const double* x, const double* z, double dist, double s, Cells& cells,
                std::vector<std::int32_t>& link, std::vector<std::int32_t>& taken,
                const std::vector<std::int32_t>& left, std::vector<std::int32_t>& next_left,
                std::vector<std::int32_t>& order, const Interrupted& interrupted) {
    FarCells far;
    auto insert = [&](std::int32_t i) {
        std::int64_t cx, cz;
        const unsigned char k = locate(x[i], z[i], s, &cx, &cz);
        if (k & node_never) return;
        Index& head = k == node_near ? cells.slot(cx, cz) : far.slot(cx, cz, k);
        link[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(head);
        head = i;
    };
    auto near_in = [&](double xi, double zi, Index p) {
        for (; p != none; p = link[static_cast<std::size_t>(p)])
            if (node_distance(xi, zi, x[p], z[p]) < dist) return true;
        return false;
    };
    auto near = [&](std::int32_t i) {
        std::int64_t cx = 0, cz = 0;
        const unsigned char k = locate(x[i], z[i], s, &cx, &cz);
        const double xi = x[i], zi = z[i];
        return any_in_reach(cells, far, k, cx, cz, [&](Index p) { return near_in(xi, zi, p); });
    };
    for (std::int32_t i : taken) insert(i);
    next_left.clear();
    for (std::size_t q = 0; q < left.size(); ++q) {
        if ((q & (interrupt_every - 1)) == interrupt_every - 1 && interrupted()) return false;
        const std::int32_t i = left[q];
        if (near(i)) {
            next_left.push_back(i);
        } else {
            order.push_back(i);
            taken.push_back(i);
            insert(i);
        }
    }
    return true;
}

}  // namespace detail

// The coarse-to-fine order of the kriged nodes: level 1 takes, in node
// order, every kriged node farther than dist/2 from all nodes taken so far
// (the Cholesky nodes first), level 2 those farther than dist/4, and so on;
// each level is in node order. It approximates the max-min order (each node
// as far as possible from those before it) in O(N) per level. Nodes left
// when the distance no longer separates them (duplicates) come last, in node
// order. `dist` is the Cholesky nodes' separation, bounded here by the
// extent of the nodes. The kriged nodes in drawing order go to `order`.
template <class Interrupted>
bool coarse_to_fine(const double* x, const double* z, std::ptrdiff_t N, const std::int32_t* chol,
                    std::ptrdiff_t Nchol, const std::int32_t* krig, std::ptrdiff_t Nkrig,
                    double dist, std::vector<std::int32_t>& order, const Interrupted& interrupted) {
    order.clear();
    order.reserve(static_cast<std::size_t>(Nkrig));
    Box box;
    for (std::ptrdiff_t i = 0; i < N; ++i) box.add(x[i], z[i]);
    const double extent = box.diagonal();
    if (!(dist <= extent)) dist = extent;
    std::vector<std::int32_t> left(krig, krig + Nkrig), next_left;
    std::vector<std::int32_t> taken(chol, chol + Nchol);
    std::vector<std::int32_t> link(static_cast<std::size_t>(N), -1);
    constexpr int max_levels = 48;
    for (int level = 1; level <= max_levels && !left.empty() && dist > 0; ++level) {
        dist *= 0.5;
        const double s = detail::cell_side(dist);
        const bool ok = detail::with_cells(x, z, N, s, interrupted, [&](auto& cells) {
            return detail::take_level(x, z, dist, s, cells, link, taken, left, next_left, order,
                                      interrupted);
        });
        if (!ok) return false;
        left.swap(next_left);
    }
    order.insert(order.end(), left.begin(), left.end());
    return true;
}

// The key that breaks exact distance ties in the max-min order: splitmix64
// of the node index, a fixed pseudo-random permutation of the indices.
inline std::uint64_t tie_key(std::int32_t i) {
    std::uint64_t v = static_cast<std::uint64_t>(static_cast<std::uint32_t>(i)) + 0x9e3779b97f4a7c15ULL;
    v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9ULL;
    v = (v ^ (v >> 27)) * 0x94d049bb133111ebULL;
    return v ^ (v >> 31);
}

// Cells a side of the tiles that keep the ties of the max-min order local.
constexpr std::uint64_t tie_tile = 16;

// The box of a set of nodes, and the least node distance from a point to
// any of them: each rounded operation of the node distance is monotonic and
// a node's offset on an axis is at least the box's, so the node distance of
// every node of the box is at least least(). Empty boxes are infinitely far.
struct Bounds {
    double x0 = INFINITY, x1 = -INFINITY, z0 = INFINITY, z1 = -INFINITY;
    double least(double x, double z) const {
        const double gx = x < x0 ? x0 - x : (x > x1 ? x - x1 : 0.0);
        const double gz = z < z0 ? z0 - z : (z > z1 ? z - z1 : 0.0);
        return std::sqrt(gx * gx + gz * gz);
    }
};

// The max-min order of the kriged nodes: each next node is the one farthest
// from all nodes before it (the Cholesky nodes first), exact ties tile by
// tile (tie_tile), in a pseudo-random order of the node indices (tie_key)
// within a tile. Every prefix of the order is then spread evenly over the
// mesh, each node's distance to the earlier ones (its scale) never grows
// along the order, and the nearest earlier nodes of a node sit at its own
// scale: coarse nodes condition on far neighbours, fine nodes on near ones.
//
// Each waiting node keeps its distance to the chosen ones, and a max-heap
// holds the farthest node of each small group of nodes of one cell;
// choosing node i at distance r can only lower the distances of waiting
// nodes within r of i, which the cells and the boxes of the groups find. The
// order depends on the distances and ties alone, not on how they are
// found. Nodes whose coordinates are not finite come last, in node order.
// Memory O(N), time about O(N log N) on a mesh of even density. The kriged
// nodes in drawing order go to `order`.
template <class Interrupted>
bool maxmin_order(const double* x, const double* z, const std::int32_t* chol, std::ptrdiff_t Nchol,
                  const std::int32_t* krig, std::ptrdiff_t Nkrig, std::vector<std::int32_t>& order,
                  const Interrupted& interrupted) {
    order.clear();
    order.reserve(static_cast<std::size_t>(Nkrig));
    std::vector<std::int32_t> late;   // kriged nodes without finite coordinates
    std::vector<std::int32_t> wait;   // the others
    for (std::ptrdiff_t k = 0; k < Nkrig; ++k) {
        const std::int32_t i = krig[k];
        (std::isfinite(x[i]) && std::isfinite(z[i]) ? wait : late).push_back(i);
    }
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(wait.size());
    auto at = [](auto& v, std::ptrdiff_t k) -> auto& { return v[static_cast<std::size_t>(k)]; };
    if (n > 0) {
        // The cells of the waiting nodes. Slots number the waiting nodes
        // cell by cell, so that a cell's nodes are a run of slots and the
        // pass over the cells near a chosen node reads memory in sequence;
        // the slots of cell c are [first[c], first[c + 1]).
        const CellGrid g(x, z, wait.data(), n);
        std::vector<std::ptrdiff_t> first(static_cast<std::size_t>(g.cells()) + 1);
        // What the passes read of a slot, in one place: its coordinates, its
        // distance to the nodes chosen (-infinity once chosen), its place in
        // the order of exact ties and its node.
        struct Slot {
            double x, z, dm;
            std::int32_t tie, node;
        };
        std::vector<Slot> slot(static_cast<std::size_t>(n));
        {
            std::ptrdiff_t t = 0;
            for (std::ptrdiff_t c = 0; c < g.cells(); ++c) {
                at(first, c) = t;
                for (const std::int32_t* e = g.begin(c), *end = g.end(c); e < end; ++e, ++t) {
                    const std::int32_t i = at(wait, *e);
                    at(slot, t) = Slot{x[i], z[i], INFINITY, 0, i};
                }
            }
            at(first, g.cells()) = t;
        }
        // Units: a cell's run of slots in pieces of at most unit_nodes, its
        // nodes in order along the longer side of their box when it has
        // more (duplicates, or a cluster no cell side separates), so that
        // the boxes of the pieces part them. The units of cell c are
        // [part[c], part[c + 1]); unit u's slots are [unit[u].from,
        // unit[u + 1].from), within the box unit[u] (no node of the unit is
        // nearer to a point than its box is).
        constexpr std::ptrdiff_t unit_nodes = 32;
        struct Unit : Bounds {
            std::int64_t from;
            std::int32_t best, pos;
        };
        std::vector<std::ptrdiff_t> part(static_cast<std::size_t>(g.cells()) + 1);
        std::vector<Unit> unit;
        unit.reserve(static_cast<std::size_t>(g.cells()) + 1);
        auto box_of = [&](std::ptrdiff_t t0, std::ptrdiff_t t1) {
            Bounds b;
            for (std::ptrdiff_t t = t0; t < t1; ++t) {
                b.x0 = std::min(b.x0, at(slot, t).x); b.x1 = std::max(b.x1, at(slot, t).x);
                b.z0 = std::min(b.z0, at(slot, t).z); b.z1 = std::max(b.z1, at(slot, t).z);
            }
            return b;
        };
        for (std::ptrdiff_t c = 0; c < g.cells(); ++c) {
            at(part, c) = static_cast<std::ptrdiff_t>(unit.size());
            const std::ptrdiff_t t0 = at(first, c), t1 = at(first, c + 1), m = t1 - t0;
            if (m > unit_nodes) {
                const Bounds b = box_of(t0, t1);
                const bool on_x = b.x1 - b.x0 >= b.z1 - b.z0;
                std::sort(slot.begin() + t0, slot.begin() + t1, [on_x](const Slot& u, const Slot& v) {
                    return on_x ? (u.x < v.x || (u.x == v.x && u.node < v.node))
                                : (u.z < v.z || (u.z == v.z && u.node < v.node));
                });
            }
            const std::ptrdiff_t pieces = (m + unit_nodes - 1) / unit_nodes;
            for (std::ptrdiff_t k = 0; k < pieces; ++k) {
                const std::ptrdiff_t a = t0 + m * k / pieces, b = t0 + m * (k + 1) / pieces;
                unit.push_back(Unit{box_of(a, b), a, 0, 0});
            }
        }
        const std::ptrdiff_t units = static_cast<std::ptrdiff_t>(unit.size());
        at(part, g.cells()) = units;
        unit.push_back(Unit{Bounds(), n, 0, 0});
        const bool split = units != g.cells();  // else unit c is cell c
        std::vector<std::int32_t>().swap(wait);
        // Distance of each slot's node to the Cholesky nodes, on cells of
        // their own: the cells of all nodes would be as many times finer as
        // there are nodes to a Cholesky node.
        if (Nchol > 0) {
            const RankedGrid cg(x, z, chol, Nchol);
            std::vector<Found> found;
            for (std::ptrdiff_t t = 0; t < n; ++t) {
                if ((t & (interrupt_every - 1)) == interrupt_every - 1 && interrupted()) return false;
                cg.nearest(at(slot, t).x, at(slot, t).z, static_cast<std::int32_t>(Nchol), 1, found);
                if (!found.empty()) at(slot, t).dm = found.front().dist;
            }
        }
        // Exact distance ties go by a key: the tile of the node (blocks of
        // tie_tile x tie_tile cells, row by row), then a hash of its index
        // (a bijection, so never tied), then the index. On a grid the lowest
        // index drew each level row by row, and the last nodes of a level
        // saw earlier nodes on one side only; a hashed order over the whole
        // mesh scatters the draw over memory (at 10^6 nodes it doubled the
        // time of a realisation). Within a tile the order is pseudo-random
        // and the tiles keep the draw local. A slot's tie is its place in
        // that order.
        {
            struct Tied {
                std::uint64_t key;
                std::int32_t node, slot;
            };
            std::vector<Tied> by(static_cast<std::size_t>(n));
            std::int64_t tx0 = CellGrid::limit, tz0 = CellGrid::limit;
            for (std::ptrdiff_t c = 0; c < g.cells(); ++c) {
                tx0 = std::min(tx0, g.cx(c));
                tz0 = std::min(tz0, g.cz(c));
            }
            for (std::ptrdiff_t c = 0; c < g.cells(); ++c) {  // g.cx(c) is the cell() of its nodes
                const std::uint64_t tx = static_cast<std::uint64_t>(g.cx(c) - tx0) / tie_tile;
                const std::uint64_t tz = static_cast<std::uint64_t>(g.cz(c) - tz0) / tie_tile;
                const std::uint64_t tile = ((tz & 0xfff) << 52) | ((tx & 0xfff) << 40);
                for (std::ptrdiff_t t = at(first, c); t < at(first, c + 1); ++t) {
                    const std::int32_t i = at(slot, t).node;
                    at(by, t) = Tied{tile | (tie_key(i) >> 24), i, static_cast<std::int32_t>(t)};
                }
            }
            std::sort(by.begin(), by.end(), [](const Tied& a, const Tied& b) {
                return a.key < b.key || (a.key == b.key && a.node < b.node);
            });
            for (std::ptrdiff_t k = 0; k < n; ++k) at(slot, at(by, k).slot).tie = static_cast<std::int32_t>(k);
        }
        // A 4-ary max-heap of the units by the farthest of their waiting
        // nodes (by distance, then tie), each entry carrying both so that a
        // sift reads the heap alone; unit[u].best is the slot of that node
        // and unit[u].pos the unit's place. Lowering a node's distance
        // changes its unit's entry only when it was the unit's farthest, and
        // a unit's farthest can only come nearer: its entry moves down. A
        // unit whose nodes are all chosen has distance -infinity. The children of
        // place h are 4h + 1 to 4h + 4, in one cache line when the heap's
        // place 1 starts one.
        struct Entry {
            double dist;
            std::int32_t tie, unit;
        };
        auto above = [](const Entry& a, const Entry& b) {
            return a.dist > b.dist || (a.dist == b.dist && a.tie < b.tie);
        };
        std::vector<Entry> store(static_cast<std::size_t>(units) + 3);
        Entry* heap = store.data();
        while (reinterpret_cast<std::uintptr_t>(heap + 1) % 64 != 0 && heap < store.data() + 3) ++heap;
        if (reinterpret_cast<std::uintptr_t>(heap + 1) % 64 != 0) heap = store.data();
        auto sift_down = [&](std::ptrdiff_t h) {
            const Entry e = heap[h];
            for (;;) {
                const std::ptrdiff_t c = 4 * h + 1;
                if (c >= units) break;
                std::ptrdiff_t b = c;
                const std::ptrdiff_t last = std::min(c + 4, units);
                for (std::ptrdiff_t k = c + 1; k < last; ++k)
                    if (above(heap[k], heap[b])) b = k;
                if (!above(heap[b], e)) break;
                heap[h] = heap[b];
                at(unit, heap[h].unit).pos = static_cast<std::int32_t>(h);
                h = b;
            }
            heap[h] = e;
            at(unit, e.unit).pos = static_cast<std::int32_t>(h);
        };
        // The entry of unit c from its nodes.
        auto farthest = [&](std::ptrdiff_t c) {
            std::ptrdiff_t b = at(unit, c).from;
            for (std::ptrdiff_t t = b + 1, end = at(unit, c + 1).from; t < end; ++t) {
                const Slot& u = at(slot, t);
                const Slot& v = at(slot, b);
                if (u.dm > v.dm || (u.dm == v.dm && u.tie < v.tie)) b = t;
            }
            at(unit, c).best = static_cast<std::int32_t>(b);
            return Entry{at(slot, b).dm, at(slot, b).tie, static_cast<std::int32_t>(c)};
        };
        for (std::ptrdiff_t c = 0; c < units; ++c) {
            heap[c] = farthest(c);
            at(unit, c).pos = static_cast<std::int32_t>(c);
        }
        for (std::ptrdiff_t h = (units - 2) / 4; h >= 0; --h) sift_down(h);
        // Unit c's entry again when its farthest node was lowered or chosen.
        auto refresh = [&](std::ptrdiff_t c) {
            const std::ptrdiff_t h = at(unit, c).pos;
            if (heap[h].dist == at(slot, at(unit, c).best).dm) return;
            heap[h] = farthest(c);
            sift_down(h);
        };
        for (std::ptrdiff_t chosen = 1; chosen <= n; ++chosen) {
            if ((chosen & (interrupt_every - 1)) == 0 && interrupted()) return false;
            const Entry top = heap[0];
            const std::int32_t s = at(unit, top.unit).best;
            Slot& chose = at(slot, s);
            chose.dm = -INFINITY;  // no distance lowers it
            order.push_back(chose.node);
            // Waiting nodes nearer to the chosen node than to every node
            // chosen before: at a node distance below r, so in the cells of
            // [xi - R, xi + R] x [zi - R, zi + R] as rounded, R = max(r,
            // 2^-500). A node past the cell of fl(xi + R) lies past a double
            // above fl(xi + R), so more than R from xi exactly; its rounded
            // dx is then at least R, whose square is a normal double, so its
            // node distance is at least R >= r. The same below, and on z.
            const double r = std::max(top.dist, 0x1p-500), xi = chose.x, zi = chose.z;
            auto lower = [&](std::ptrdiff_t id) {
                const std::ptrdiff_t u0 = split ? at(part, id) : id;
                const std::ptrdiff_t u1 = split ? at(part, id + 1) : id + 1;
                for (std::ptrdiff_t u = u0; u < u1; ++u) {
                    if (at(unit, u).least(xi, zi) >= r) continue;  // lowers none
                    const std::ptrdiff_t end = at(unit, u + 1).from;
                    for (std::ptrdiff_t t = at(unit, u).from; t < end; ++t) {
                        Slot& v = at(slot, t);
                        const double d = node_distance(xi, zi, v.x, v.z);
                        if (d < v.dm) v.dm = d;
                    }
                    refresh(u);
                }
            };
            if (std::isnan(r) || r == INFINITY) {
                g.each_in(g.bx0(), g.bx1(), g.bz0(), g.bz1(), lower);
            } else {
                g.each_in(g.cell(xi - r), g.cell(xi + r), g.cell(zi - r), g.cell(zi + r), lower);
            }
            refresh(top.unit);
        }
    }
    order.insert(order.end(), late.begin(), late.end());
    return true;
}

}  // namespace random_field
