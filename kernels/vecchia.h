// The conditional fill: every kriged node is drawn from its distribution
// given its nearest nodes among those drawn before it. No Python here.
//
// For the kriged node j with neighbours n_1 .. n_p (nearest first):
//   K = covariances of the neighbours, k = their covariances with j,
//   c = variance of j, all from the covariance model by covariance_segment
//   (the module's formulas and order of operations);
//   b = K^-1 k (the simple-kriging weights), d^2 = c - k^T K^-1 k;
//   value_j = mu_j + sum_k b_k (value_{n_k} - mu_{n_k}) + d eps_j.
//
// Close neighbours make K nearly singular (the Gaussian model above all):
// then b is large and its errors, and those of the values it multiplies,
// would inflate the variance. K is factorised neighbour by neighbour,
// nearest first, and a neighbour whose variance given the neighbours kept
// before it is below `tol` times its own variance is dropped: the kept set
// is well conditioned (every pivot at least tol sigma^2), and d^2 is still
// the exact conditional variance given the kept set, so the variance of the
// model is kept at every node. The Gaussian model needs more: a relative
// nugget is added to the neighbours' variances when the weights are solved
// for, b = (K + nugget diag K)^-1 k, which bounds the weights by
// |k| / (nugget sigma^2) and so the growth of errors from node to node;
// d^2 = c - b^T K b is then the variance that gives value_j exactly the
// model's variance c when its neighbours have the model's covariances. A
// node at the place of an earlier one copies it (correlation one).
//
// Measured data enter as nodes of the lowest ranks whose values are fixed:
// they are everybody's candidate neighbours, each with the variance of its
// measurement error on its own diagonal of K (not on k), and the draw reads
// their deviations from a fixed array instead of drawing them. The nugget
// is not put on data: it bounds the growth of errors carried from drawn
// node to drawn node, and a datum's value carries none; on data it would
// only bias the conditional mean (unless the weights of the drawn
// neighbours come out wild without it: see factor_node). A datum is dropped
// as nearly dependent on the neighbours kept before it below Measured::tol
// of its variance, whatever the fill's `tol`: exact data much closer than
// theta under the Gaussian model are otherwise kept down to rounding, and
// the errors of the drawn neighbours grow without bound through them.
//
// The build spreads blocks of nodes over threads (parallel.h); every node's
// neighbours and factors are computed by the same code whatever thread takes
// it. The draw works on a group of rows (realisations) at a time, in a
// node-major copy of the group, so that each weight is read once per group
// and the arithmetic of one row never depends on the others: the same
// variates give the same bits for any group size and thread count.
#pragma once

#include "covariance.h"
#include "neighbours.h"
#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace random_field {

// The factors of the fill, in drawing order of the kriged nodes, in memory
// owned by the caller: for drawn node j (0 <= j < Nkrig), its node index
// node[j], its slots start[j] .. start[j+1] (m_j = start[j+1] - start[j]
// of them, its neighbours to look for), count[j] <= m_j neighbours
// nbr[start[j] + k] (node indices) with weights weight[start[j] + k], and
// the conditional standard deviation scale[j]. Unused slots hold node 0 and
// weight 0.
struct Factors {
    std::ptrdiff_t Nkrig = 0;
    const std::int64_t* start = nullptr;
    const std::int32_t* node = nullptr;
    std::int32_t* nbr = nullptr;
    double* weight = nullptr;
    std::int32_t* count = nullptr;
    double* scale = nullptr;
};

// Nodes closer than this many theta (the stretched node distance) to an
// earlier node are drawn from that node alone.
constexpr double twin_distance = 1e-5;

// Measured data among the nodes: nodes `first` and above are data, with
// the variances of their measurement errors in noise[i] (every node's, none
// when null). The data take the lowest ranks; a kriged node j looks for
// slots[j] of them (none when null) beside its nearest nodes, so that a
// dense line of data cannot crowd the nodes out of its neighbourhood. In
// the build the nodes are searched on a grid of their own; a datum of rank
// r (of `ranks`) is found on the data's grid and carried as rank r - ranks,
// so that the nodes' ranks, shifted down by `ranks`, index node_of_rank as
// before.
struct Measured {
    const double* noise = nullptr;
    std::int64_t first = INT64_MAX;
    double tol = 1e-5;        // the data's pivots, relative (measured)
    double nugget = 0.0;      // the data's nugget, at most the nodes'
    double wild = 1e3;        // weights of drawn neighbours beyond any sound solve
    const std::int32_t* slots = nullptr;
    const RankedGrid* grid = nullptr;
    std::int32_t ranks = 0;
    std::ptrdiff_t candidates = 4;   // data looked at per data slot
    double error(std::int32_t i) const { return noise ? noise[i] : 0.0; }
    bool datum(std::int32_t i) const { return i >= first; }
};

namespace detail {

// sum a[t] b[t], in four interleaved partial sums (a fixed order, so the
// same inputs give the same bits on every thread).
inline double dot(const double* a, const double* b, std::ptrdiff_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::ptrdiff_t t = 0;
    for (; t + 4 <= n; t += 4) {
        s0 += a[t] * b[t];
        s1 += a[t + 1] * b[t + 1];
        s2 += a[t + 2] * b[t + 2];
        s3 += a[t + 3] * b[t + 3];
    }
    for (; t < n; ++t) s0 += a[t] * b[t];
    return (s0 + s1) + (s2 + s3);
}

// Scratch of one thread of the build.
struct BuildScratch {
    std::vector<Found> found, chol_found, data_found;
    std::vector<std::int32_t> nodes;   // candidates, then the kept ones first
    std::vector<double> xs, zs, ss;    // their coordinates and sigmas
    std::vector<double> row, L;        // covariances of one candidate; kept factor rows
    std::vector<double> y;             // L^-1 k
    std::vector<double> inv;           // reciprocals of the kept pivots
    // The greedy selection: candidates' coordinates and sigmas, their
    // remaining variances and covariances with the target, the columns of
    // their partial factor, and which are taken.
    std::vector<double> gx, gz, gs, gv, gg, gl;
    std::vector<char> taken;
};

// Keeps, of the candidates s.found (nearest first), the m that a greedy
// conditional selection picks: each next the candidate whose remaining
// covariance with the target, squared, over its remaining variance (given
// the ones picked before) is largest, ties to the nearer; candidates whose
// remaining variance is below 1e-10 of their own are passed over. A pivoted
// partial Cholesky factorisation of the candidates' covariances. The picks
// stay in the nearest-first order of the candidates.
template <Model M>
void greedy_select(const double* x, const double* z, const double* sigma, double theta,
                   std::int32_t target, std::ptrdiff_t m, const std::int32_t* node_of_rank,
                   BuildScratch& s, const Measured& data = Measured()) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(s.found.size());
    if (n <= m) return;
    const auto u = [](std::ptrdiff_t k) { return static_cast<std::size_t>(k); };
    s.gx.resize(u(n)); s.gz.resize(u(n)); s.gs.resize(u(n));
    s.gv.resize(u(n)); s.gg.resize(u(n)); s.gl.resize(u(m * n));
    s.taken.assign(u(n), 0);
    for (std::ptrdiff_t a = 0; a < n; ++a) {
        const std::int32_t i = node_of_rank[s.found[u(a)].rank];
        s.gx[u(a)] = x[i]; s.gz[u(a)] = z[i]; s.gs[u(a)] = sigma[i];
        s.gv[u(a)] = sigma[i] * sigma[i] + data.error(i);
    }
    covariance_segment<M>(x[target], z[target], sigma[target], s.gx.data(), s.gz.data(),
                          s.gs.data(), n, theta, s.gg.data());
    double* const v = s.gv.data();
    double* const g = s.gg.data();
    s.row.resize(u(n) + 1);
    double* const row = s.row.data();
    std::ptrdiff_t picks = 0;
    for (; picks < m; ++picks) {
        std::ptrdiff_t best = -1;
        double top = -1.0;
        for (std::ptrdiff_t a = 0; a < n; ++a) {
            const double sa = s.gs[u(a)];
            if (s.taken[u(a)] || !(v[a] > 1e-10 * (sa * sa))) continue;
            const double q = g[a] * g[a] / v[a];
            if (q > top) { top = q; best = a; }
        }
        if (best < 0) break;
        covariance_segment<M>(s.gx[u(best)], s.gz[u(best)], s.gs[u(best)], s.gx.data(),
                              s.gz.data(), s.gs.data(), n, theta, row);
        row[best] += data.error(node_of_rank[s.found[u(best)].rank]);
        const double piv = std::sqrt(v[best]), ip = 1.0 / piv;
        double* const col = s.gl.data() + picks * n;
        for (std::ptrdiff_t a = 0; a < n; ++a) {
            double c = row[a];
            for (std::ptrdiff_t q = 0; q < picks; ++q) {
                const double* const lq = s.gl.data() + q * n;
                c -= lq[a] * lq[best];
            }
            col[a] = c * ip;
        }
        const double gb = g[best] * ip;
        for (std::ptrdiff_t a = 0; a < n; ++a) {
            v[a] -= col[a] * col[a];
            g[a] -= col[a] * gb;
        }
        s.taken[u(best)] = 1;
    }
    std::ptrdiff_t keep = 0;
    for (std::ptrdiff_t a = 0; a < n; ++a)
        if (s.taken[u(a)]) s.found[u(keep++)] = s.found[u(a)];
    s.found.resize(u(keep));
}

template <Model M>
void factor_node(const double* x, const double* z, const double* sigma, double theta, double tol,
                 double nugget,
                 std::int32_t target, std::int32_t below, std::ptrdiff_t m_chol,
                 std::ptrdiff_t candidates,
                 std::ptrdiff_t Nchol, std::ptrdiff_t j,
                 const RankedGrid& grid, const std::int32_t* node_of_rank, const Factors& f,
                 BuildScratch& s, const Measured& data = Measured()) {
    // The nearest Cholesky nodes first (exact values, a skeleton that the
    // errors of the kriged neighbours do not reach), then the nearest of all
    // earlier nodes that are not among them.
    const std::ptrdiff_t m = f.start[j + 1] - f.start[j];
    if (m <= 0) {  // no slots: the node's own distribution
        f.count[j] = 0;
        f.scale[j] = sigma[target];
        return;
    }
    // Of the slots, md hold data (beside the nodes, below).
    const std::ptrdiff_t md = data.slots ? std::min<std::ptrdiff_t>(data.slots[j], m) : 0;
    const std::ptrdiff_t mn = m - md;
    const std::ptrdiff_t mc = std::min<std::ptrdiff_t>(m_chol, mn);
    if (mc > 0) {
        grid.nearest(x[target], z[target], static_cast<std::int32_t>(Nchol), mc, s.chol_found);
        grid.nearest(x[target], z[target], below, mn, s.found);
        std::ptrdiff_t keep = 0;
        for (const Found& g : s.found)
            if (g.rank >= Nchol) s.found[static_cast<std::size_t>(keep++)] = g;
        const std::ptrdiff_t room = mn - static_cast<std::ptrdiff_t>(s.chol_found.size());
        s.found.resize(static_cast<std::size_t>(std::min(keep, room)));
        s.found.insert(s.found.begin(), s.chol_found.begin(), s.chol_found.end());
    } else {
        grid.nearest(x[target], z[target], below, std::max(mn, candidates), s.found);
    }
    if (md > 0 && data.grid != nullptr) {
        // Of the candidates * md nearest data, the md that a greedy
        // conditional selection picks (a dense line of data would otherwise
        // give its nearest stretch only), merged in distance order (after
        // the nodes when the Cholesky nodes come first).
        data.grid->nearest(x[target], z[target], data.ranks, data.candidates * md, s.data_found);
        for (Found& g : s.data_found) g.rank -= data.ranks;
        if (static_cast<std::ptrdiff_t>(s.data_found.size()) > md) {
            std::swap(s.found, s.data_found);
            greedy_select<M>(x, z, sigma, theta, target, md, node_of_rank, s, data);
            std::swap(s.found, s.data_found);
        }
        const auto before = static_cast<std::ptrdiff_t>(s.found.size());
        s.found.insert(s.found.end(), s.data_found.begin(), s.data_found.end());
        if (mc == 0) std::inplace_merge(s.found.begin(), s.found.begin() + before, s.found.end());
    }
    std::ptrdiff_t n = static_cast<std::ptrdiff_t>(s.found.size());
    std::int32_t* const nbr = f.nbr + f.start[j];
    double* const w = f.weight + f.start[j];
    for (std::ptrdiff_t q = 0; q < m; ++q) { nbr[q] = 0; w[q] = 0.0; }
    // A node within twin_distance theta of one drawn before it (the nearest
    // such one) is drawn from its exact distribution given that node alone:
    // weight C / sigma_twin^2, deviation sqrt(sigma^2 - C^2 / sigma_twin^2).
    // At the same place that is the twin's value scaled by the ratio of the
    // standard deviations (correlation one, exactly). Any other neighbour
    // would add next to nothing and could only spoil the conditioning.
    {
        const Found* near = nullptr;
        for (const Found& g : s.found) {
            if (!(g.dist <= twin_distance * theta)) continue;
            if (sigma[node_of_rank[g.rank]] == 0.0) continue;
            if (data.error(node_of_rank[g.rank]) != 0.0) continue;  // a datum with an error
            if (near == nullptr || g < *near) near = &g;
        }
        if (near != nullptr) {
            const std::int32_t twin = node_of_rank[near->rank];
            const double st = sigma[target], sw = sigma[twin];
            nbr[0] = twin;
            f.count[j] = 1;
            if (near->dist == 0.0) {
                w[0] = st / sw;
                f.scale[j] = 0.0;
            } else {
                double cw;
                covariance_segment<M>(x[target], z[target], st, &x[twin], &z[twin], &sw, 1, theta,
                                      &cw);
                w[0] = cw / (sw * sw);
                const double rest = st * st - cw * w[0];
                f.scale[j] = rest > 0.0 ? std::sqrt(rest) : 0.0;
            }
            return;
        }
    }
    if (mc == 0 && candidates > m) {
        greedy_select<M>(x, z, sigma, theta, target, m, node_of_rank, s, data);
        n = static_cast<std::ptrdiff_t>(s.found.size());
    }
    s.nodes.resize(static_cast<std::size_t>(n) + 1);
    s.xs.resize(static_cast<std::size_t>(n) + 1);
    s.zs.resize(static_cast<std::size_t>(n) + 1);
    s.ss.resize(static_cast<std::size_t>(n) + 1);
    s.row.resize(static_cast<std::size_t>(n) + 1);
    s.L.resize(static_cast<std::size_t>((n + 1) * (n + 1)));
    s.y.resize(static_cast<std::size_t>(n) + 1);
    s.inv.resize(static_cast<std::size_t>(n) + 1);
    double* const inv = s.inv.data();
    // Data take no nugget (their values carry no drawn errors) unless that
    // leaves the weights of the node's drawn neighbours wild (exact data
    // nearly dependent on one another and on the nodes, under the Gaussian
    // model): then the node is solved again with the nodes' nugget on the
    // data too.
    double dnug = std::min(nugget, data.nugget);
    std::ptrdiff_t p = 0;
    double rest = 0.0;
    double* const y = s.y.data();
    for (int attempt = 0;; ++attempt) {
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        const std::int32_t i = node_of_rank[s.found[static_cast<std::size_t>(k)].rank];
        s.nodes[static_cast<std::size_t>(k)] = i;
        s.xs[static_cast<std::size_t>(k)] = x[i];
        s.zs[static_cast<std::size_t>(k)] = z[i];
        s.ss[static_cast<std::size_t>(k)] = sigma[i];
    }
    // Kept rows of the factor of K, row p at L + p*n, and the compacted
    // candidates: slot p of nodes/xs/zs/ss holds the p-th kept neighbour.
    double* const L = s.L.data();
    double* const row = s.row.data();
    p = 0;
    for (std::ptrdiff_t a = 0; a < n; ++a) {
        // Covariances of candidate a with the kept ones and with itself.
        const double xa = s.xs[static_cast<std::size_t>(a)], za = s.zs[static_cast<std::size_t>(a)],
                     sa = s.ss[static_cast<std::size_t>(a)];
        s.xs[static_cast<std::size_t>(p)] = xa;
        s.zs[static_cast<std::size_t>(p)] = za;
        s.ss[static_cast<std::size_t>(p)] = sa;
        covariance_segment<M>(xa, za, sa, s.xs.data(), s.zs.data(), s.ss.data(), p + 1, theta,
                              row);
        double* const l = L + p * n;
        const std::int32_t node_a = s.nodes[static_cast<std::size_t>(a)];
        const double var_a = row[p] + data.error(node_a);
        const double nug_a = data.datum(node_a) ? dnug : nugget;
        double left = var_a + nug_a * var_a;
        for (std::ptrdiff_t q = 0; q < p; ++q) {
            const double* const lq = L + q * n;
            l[q] = (row[q] - dot(lq, l, q)) * inv[q];
        }
        left -= dot(l, l, p);
        if (left > (data.datum(node_a) ? data.tol : tol) * var_a) {
            l[p] = std::sqrt(left);
            inv[p] = 1.0 / l[p];
            s.nodes[static_cast<std::size_t>(p)] = s.nodes[static_cast<std::size_t>(a)];
            ++p;
        }
    }
    // The target: y = L^-1 k, d^2 = c - |y|^2, b = L^-T y.
    const double xt = x[target], zt = z[target], st = sigma[target];
    covariance_segment<M>(xt, zt, st, s.xs.data(), s.zs.data(), s.ss.data(), p, theta, row);
    double c;
    covariance_segment<M>(xt, zt, st, &xt, &zt, &st, 1, theta, &c);
    rest = c;
    for (std::ptrdiff_t q = 0; q < p; ++q) {
        const double* const lq = L + q * n;
        y[q] = (row[q] - dot(lq, y, q)) * inv[q];
    }
    rest -= dot(y, y, p);
    for (std::ptrdiff_t q = p - 1; q >= 0; --q) {
        double v = y[q];
        for (std::ptrdiff_t t = q + 1; t < p; ++t) v -= L[t * n + q] * y[t];
        y[q] = v * inv[q];
    }
    // With the nugget, b^T K b = |L^-1 k|^2 - nugget sum K_aa b_a^2 (over the
    // nodes: data carry none).
    if (nugget > 0.0)
        for (std::ptrdiff_t q = 0; q < p; ++q) {
            const std::int32_t node_q = s.nodes[static_cast<std::size_t>(q)];
            const double sq = s.ss[static_cast<std::size_t>(q)];
            if (data.datum(node_q))
                rest += dnug * ((sq * sq + data.error(node_q)) * (y[q] * y[q]));
            else
                rest += nugget * ((sq * sq) * (y[q] * y[q]));
        }
    if (attempt == 0 && dnug < nugget) {
        double drawn = 0.0;   // |weights| of the drawn neighbours
        bool any = false;     // data among the neighbours
        for (std::ptrdiff_t q = 0; q < p; ++q) {
            if (data.datum(s.nodes[static_cast<std::size_t>(q)])) any = true;
            else drawn += std::fabs(y[q]);
        }
        if (any && (drawn > data.wild || !(rest <= c * (1.0 + 1e-9)))) {
            dnug = nugget;
            continue;
        }
    }
    break;
    }
    for (std::ptrdiff_t q = 0; q < p; ++q) {
        nbr[q] = s.nodes[static_cast<std::size_t>(q)];
        w[q] = y[q];
    }
    f.count[j] = static_cast<std::int32_t>(p);
    f.scale[j] = rest > 0.0 ? std::sqrt(rest) : 0.0;
}

}  // namespace detail

// Builds the factors of every kriged node. node_of_rank lists all N nodes
// in drawing order: the Nchol Cholesky nodes first (after the data, nodes
// data.first and above, when there are any), then f.node[0..Nkrig).
// `done` counts the finished blocks, for progress reports.
template <class Interrupted>
bool build_factors(const double* x, const double* z, const double* sigma, std::ptrdiff_t N,
                   std::ptrdiff_t Nchol, const std::int32_t* node_of_rank, double theta,
                   int model, double tol, double nugget, std::ptrdiff_t m_chol,
                   std::ptrdiff_t candidates, const Factors& f, std::atomic<std::ptrdiff_t>& done,
                   std::ptrdiff_t& nblocks_out, const Interrupted& interrupted,
                   const Measured& data = Measured()) {
    // With data (the first `nd` ranks): a grid of the nodes, whose ranks
    // start after the data's, and one of the data.
    Measured with = data;
    const std::int32_t nd =
        data.first < N ? static_cast<std::int32_t>(N - data.first) : 0;
    const std::int32_t* const ranked = node_of_rank + nd;
    const RankedGrid grid(x, z, ranked, N - nd);
    std::unique_ptr<RankedGrid> data_grid;
    if (nd > 0) {
        data_grid = std::make_unique<RankedGrid>(x, z, node_of_rank, nd);
        with.grid = data_grid.get();
        with.ranks = nd;
    }
    Nchol -= nd;
    constexpr std::ptrdiff_t block = 256;
    const std::ptrdiff_t nblocks = (f.Nkrig + block - 1) / block;
    nblocks_out = nblocks;
    const int threads = f.start[f.Nkrig] >= 4096 ? configured_threads() : 1;
    std::vector<detail::BuildScratch> scratch(static_cast<std::size_t>(threads));
    const bool gauss = model_of(model) == Model::gauss;
    auto work = [&](std::ptrdiff_t b, int w) {
        detail::BuildScratch& s = scratch[static_cast<std::size_t>(w)];
        const std::ptrdiff_t j1 = std::min(f.Nkrig, (b + 1) * block);
        for (std::ptrdiff_t j = b * block; j < j1; ++j) {
            const std::int32_t below = static_cast<std::int32_t>(Nchol + j);  // of the nodes
            if (gauss)
                detail::factor_node<Model::gauss>(x, z, sigma, theta, tol, nugget, f.node[j], below,
                                                  m_chol, candidates, Nchol, j, grid, ranked, f, s, with);
            else
                detail::factor_node<Model::expo>(x, z, sigma, theta, tol, nugget, f.node[j], below,
                                                 m_chol, candidates, Nchol, j, grid, ranked, f, s, with);
        }
        done.fetch_add(1, std::memory_order_relaxed);
    };
    return run_blocks(nblocks, threads, work, interrupted);
}

// Rows drawn together by one thread: a group of up to `draw_group`
// realisations shares one pass over the weights. The group width is a
// power of two, the largest that gives every thread a group; a last,
// partial group is padded with zeros, which changes nothing in the other
// rows, so the width never changes a result.
constexpr std::ptrdiff_t draw_group = 16;

inline int draw_threads(std::ptrdiff_t rows, std::ptrdiff_t N) {
    // N * rows >= 65536, without the product (it may not fit).
    return rows >= 2 && N >= 65536 / rows + (65536 % rows != 0) ? configured_threads() : 1;
}

inline std::ptrdiff_t draw_width(std::ptrdiff_t rows, int threads) {
    const std::ptrdiff_t per = (rows + threads - 1) / std::max(threads, 1);
    std::ptrdiff_t g = draw_group;
    while (g > 1 && g > per) g /= 2;
    return g;
}

// Doubles of scratch the draw of `rows` realisations over N nodes takes.
inline std::ptrdiff_t draw_scratch_doubles(std::ptrdiff_t N, std::ptrdiff_t rows, int threads) {
    if (rows <= 0) return 0;
    const std::ptrdiff_t g = draw_width(rows, threads);
    const std::ptrdiff_t groups = (rows + g - 1) / g;
    return std::min<std::ptrdiff_t>(threads, groups) * N * g;
}

namespace detail {

template <std::ptrdiff_t G>
void draw_group_rows(double* out, const double* eps, std::ptrdiff_t eps_stride,
                     std::ptrdiff_t r0, std::ptrdiff_t nr, std::ptrdiff_t N, const double* mu,
                     const std::int32_t* chol, std::ptrdiff_t Nchol, const std::int32_t* slot,
                     const Factors& f, double* t, const double* fixed, std::ptrdiff_t nfixed) {
    const std::ptrdiff_t Nkrig = f.Nkrig;
    // The data, nodes N .. N + nfixed - 1: the same deviations in every row.
    for (std::ptrdiff_t k = 0; k < nfixed; ++k) {
        double* const ti = t + (N + k) * G;
        for (std::ptrdiff_t r = 0; r < G; ++r) ti[r] = fixed[k];
    }
    // Deviations from the mean, node-major: t[i*G + r].
    for (std::ptrdiff_t k = 0; k < Nchol; ++k) {
        double* const ti = t + static_cast<std::ptrdiff_t>(chol[k]) * G;
        for (std::ptrdiff_t r = nr; r < G; ++r) ti[r] = 0.0;
    }
    for (std::ptrdiff_t r = 0; r < nr; ++r) {
        const double* const o = out + (r0 + r) * N;
        for (std::ptrdiff_t k = 0; k < Nchol; ++k) {
            const std::int32_t i = chol[k];
            t[i * G + r] = o[i] - mu[i];
        }
    }
    double e[G];
    for (std::ptrdiff_t r = nr; r < G; ++r) e[r] = 0.0;
    for (std::ptrdiff_t j = 0; j < Nkrig; ++j) {
        const std::int32_t* const nb = f.nbr + f.start[j];
        const double* const wt = f.weight + f.start[j];
        const std::ptrdiff_t p = f.count[j];
        double acc[G];
        for (std::ptrdiff_t r = 0; r < G; ++r) acc[r] = 0.0;
        for (std::ptrdiff_t k = 0; k < p; ++k) {
            const double bk = wt[k];
            const double* const src = t + static_cast<std::ptrdiff_t>(nb[k]) * G;
            for (std::ptrdiff_t r = 0; r < G; ++r) acc[r] = acc[r] + bk * src[r];
        }
        const double d = f.scale[j];
        const double* const ej = eps + r0 * eps_stride + slot[j];
        for (std::ptrdiff_t r = 0; r < nr; ++r) e[r] = ej[r * eps_stride];
        double* const dst = t + static_cast<std::ptrdiff_t>(f.node[j]) * G;
        for (std::ptrdiff_t r = 0; r < G; ++r) dst[r] = acc[r] + d * e[r];
    }
    for (std::ptrdiff_t r = 0; r < nr; ++r) {
        double* const o = out + (r0 + r) * N;
        for (std::ptrdiff_t j = 0; j < Nkrig; ++j) {
            const std::int32_t i = f.node[j];
            o[i] = mu[i] + t[i * G + r];
        }
    }
}

}  // namespace detail

// Draws the kriged nodes of `rows` realisations. out is rows x N (row
// stride N), its Cholesky columns already holding their values; eps is
// rows x Nkrig (row stride eps_stride), eps[r][slot[j]] the variate of drawn
// node j. mu is the mean at every node. Neighbours N .. N + nfixed - 1 are
// data: their deviations from the mean are fixed[0 .. nfixed).
template <class Interrupted>
bool draw_rows(double* out, const double* eps, std::ptrdiff_t eps_stride, std::ptrdiff_t rows,
               std::ptrdiff_t N, const double* mu, const std::int32_t* chol, std::ptrdiff_t Nchol,
               const std::int32_t* slot, const Factors& f, const Interrupted& interrupted,
               const double* fixed = nullptr, std::ptrdiff_t nfixed = 0) {
    if (rows <= 0 || f.Nkrig == 0) return true;
    const int threads = draw_threads(rows, N);
    const std::ptrdiff_t G = draw_width(rows, threads);
    const std::ptrdiff_t groups = (rows + G - 1) / G;
    const int used = static_cast<int>(std::min<std::ptrdiff_t>(threads, groups));
    std::vector<std::vector<double>> scratch(static_cast<std::size_t>(used));
    auto work = [&](std::ptrdiff_t b, int w) {
        std::vector<double>& T = scratch[static_cast<std::size_t>(w)];
        if (T.empty()) T.resize(static_cast<std::size_t>((N + nfixed) * G));
        const std::ptrdiff_t r0 = b * G, nr = std::min(rows, r0 + G) - r0;
        double* const t = T.data();
        switch (G) {
            case 16: detail::draw_group_rows<16>(out, eps, eps_stride, r0, nr, N, mu, chol, Nchol, slot, f, t, fixed, nfixed); break;
            case 8: detail::draw_group_rows<8>(out, eps, eps_stride, r0, nr, N, mu, chol, Nchol, slot, f, t, fixed, nfixed); break;
            case 4: detail::draw_group_rows<4>(out, eps, eps_stride, r0, nr, N, mu, chol, Nchol, slot, f, t, fixed, nfixed); break;
            case 2: detail::draw_group_rows<2>(out, eps, eps_stride, r0, nr, N, mu, chol, Nchol, slot, f, t, fixed, nfixed); break;
            default: detail::draw_group_rows<1>(out, eps, eps_stride, r0, nr, N, mu, chol, Nchol, slot, f, t, fixed, nfixed); break;
        }
    };
    return run_blocks(groups, used, work, interrupted);
}

}  // namespace random_field
