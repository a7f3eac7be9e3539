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
// The greedy selection (candidates above the slots) does not take the
// nearest neighbours but picks them from the candidates by what they add
// to the prediction of the node, factorising as it picks (greedy_factor),
// and may stop before the slots are full: clusters and graded meshes get
// the far neighbours that the nearest ones screen, uniform regions fewer
// neighbours than slots.
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
// the errors of the drawn neighbours grow without bound through them. The
// greedy selection takes the data a node looks at among its candidates
// beside the nodes, each datum's error variance on the remaining variance
// it starts from, and may stop early with them as with nodes: what it
// leaves is below `gain` of the node's variance either way.
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
#include <cstring>
#include <memory>
#include <vector>

// The greedy selection is also compiled for AVX2, the version taken when the
// processor has it (chosen once, at load time); the baseline one runs
// everywhere else. The same operations in the same order, twice as wide and
// without fused multiply-adds: the same bits either way.
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && defined(__GNUC__) && \
    !defined(__clang__)
#define RANDOM_FIELD_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define RANDOM_FIELD_AVX2_CLONE
#endif

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

// Scratch of one thread of the build, on cache lines of its own (the
// threads resize their vectors for every node).
struct alignas(64) BuildScratch {
    std::vector<Found> found, chol_found, data_found;
    std::vector<std::int32_t> nodes;   // candidates, then the kept ones first
    std::vector<double> xs, zs, ss;    // their coordinates and sigmas
    std::vector<double> row, L;        // covariances of one candidate; kept factor rows
    std::vector<double> y;             // L^-1 k
    std::vector<double> inv;           // reciprocals of the kept pivots
    // The greedy selection: the live candidates' coordinates and sigmas,
    // remaining variances, covariances with the target, the gains they
    // would give, pivot thresholds,
    // ranks and nodes; the columns of their partial factor; the picks' rows.
    std::vector<double> gx, gz, gs, gv, gg, gq, gt, gl, gr;
    std::vector<std::int32_t> gk, gn;
    // The picks among the nearest data: their places, slots and weights.
    std::vector<std::int32_t> dpick, dnbr;
    std::vector<double> dw;
};

// exp(a) for a in [-708, 0] in the sampler's own kernels (never the
// extension's, which keeps the platform exp): a = n ln2 + r with
// |r| <= ln2/2, e^r by its Taylor polynomial of degree 13 (truncation below
// 1e-17), times 2^n built in the exponent bits; within 2 ulp of exp. Plain
// arithmetic in a fixed order, no branch: the compiler vectorises a loop of
// it with the baseline instruction set, and a vector lane rounds exactly
// like the scalar code, so the bits never depend on how a loop was
// compiled or split.
inline double quick_exp(double a) {
    const double shift = 0x1.8p52;
    double kd = a * 0x1.71547652b82fep0 + shift;  // n = round(a / ln2), in the low bits
    std::uint64_t ki;
    std::memcpy(&ki, &kd, sizeof ki);
    kd -= shift;
    const double r = (a - kd * 0x1.62e42fee00000p-1) - kd * 0x1.a39ef35793c76p-33;
    double p = 1.0 / 6227020800.0;
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    const std::uint64_t bits = (ki + 1023u) << 52;  // 2^n, n in [-1021, 0]
    double scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return p * scale;
}

// The covariances the greedy selection works with: covariance_segment's
// with quick_exp, and the exponent from a product (-pi/theta^2 times the
// squared distance for the Gaussian model, no square root; -2/theta times
// the distance for the exponential), so within a few ulp of the module's.
// An exponent below -708 is taken as -708 (a correlation of 3e-308).
template <Model M>
inline void quick_covariances(double xi, double zi, double si, const double* __restrict x,
                              const double* __restrict z, const double* __restrict sigma,
                              std::ptrdiff_t n, double theta, double* __restrict out) {
    if constexpr (M == Model::gauss) {
        const double k = -3.141592653589793 / (theta * theta);
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const double dx = xi - x[j], dz = zi - z[j];
            out[j] = (dx * dx + dz * dz) * k;
        }
    } else {
        const double k = -2.0 / theta;
        for (std::ptrdiff_t j = 0; j < n; ++j) out[j] = node_distance(xi, zi, x[j], z[j]) * k;
    }
    for (std::ptrdiff_t k = 0; k < n; ++k) out[k] = out[k] < -708.0 ? -708.0 : out[k];
    for (std::ptrdiff_t k = 0; k < n; ++k) out[k] = quick_exp(out[k]);
    for (std::ptrdiff_t k = 0; k < n; ++k) out[k] = (out[k] * si) * sigma[k];
}

// The greedy selection with an early stop (gain > 0) looks first among the
// nearest first_pool(...) earlier nodes, and among all `candidates` only
// when that was not enough: when it took every slot or every candidate, or
// when the first candidates lie lopsided around the node (the length of the sum of the unit vectors from
// the node to them above `lopsided` times their number: the edge of a
// cluster, of a refined region, of the mesh), where nodes beyond them add
// what the near ones cannot.
constexpr double first_pool_ratio = 1.2;
// The data a node looks at are picked among its nearest ones down to this
// fraction of their variance (the factor then keeps what it can resolve).
constexpr double pick_tol = 1e-10;
constexpr double lopsided = 0.25;

inline std::ptrdiff_t first_pool(std::ptrdiff_t m, std::ptrdiff_t candidates, double gain) {
    if (candidates <= m || !(gain > 0.0)) return candidates;  // no early stop: every candidate
    const auto first =
        static_cast<std::ptrdiff_t>(std::ceil(first_pool_ratio * static_cast<double>(m)));
    return std::min(candidates, std::max(first, m + 1));
}

// The greedy selection and the factors of one node in one pass. Of the
// candidates s.found, the neighbours are picked one at a time, each the
// candidate whose remaining covariance with the target, squared, over its
// remaining variance given those picked before, is largest (ties to the
// nearer): a pivoted partial Cholesky factorisation of the candidates'
// covariances (diagonal times 1 + nugget), computed a column per pick over
// the candidates not yet picked only. A candidate whose remaining variance
// is at most tol of its own is passed over. It stops after m picks, or
// when the best pick would take less than `gain` times the target's
// variance off its conditional variance. The weights are then solved from
// the picked rows of the factor, the conditional variance is what is left
// (plus the nugget's share, as in factor_node). Writes the node's slots.
// Data among the candidates take the variance of their measurement error
// on their own diagonal (the initial remaining variance: it is never a
// covariance with another candidate), the nugget `dnug` instead of
// `nugget`, and data.tol instead of tol, as in factor_node. `picked`, when
// given, receives the place in s.found of every pick. `Exact`: the
// module's covariances instead of quick_covariances (the data's picks,
// where exact data nearly dependent on one another leave the outcome at the
// mercy of rounding: the same picks as the factorisation that follows).
template <Model M, bool Exact = false>
RANDOM_FIELD_AVX2_CLONE
bool greedy_factor(const double* x, const double* z, const double* sigma, double theta,
                   double tol, double nugget, double gain, std::int32_t target, std::ptrdiff_t m,
                   const std::int32_t* node_of_rank, std::int32_t* nbr, double* w,
                   std::int32_t* count, double* scale, BuildScratch& s,
                   const Measured& data = Measured(), double dnug = 0.0,
                   std::int32_t* picked = nullptr) {
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(s.found.size());
    const auto u = [](std::ptrdiff_t k) { return static_cast<std::size_t>(k); };
    s.gx.resize(u(n)); s.gz.resize(u(n)); s.gs.resize(u(n)); s.gv.resize(u(n));
    s.gg.resize(u(n)); s.gq.resize(u(n)); s.gt.resize(u(n)); s.gk.resize(u(n)); s.gn.resize(u(n));
    s.gl.resize(u(m * n)); s.gr.resize(u(m * m)); s.y.resize(u(m)); s.row.resize(u(n) + 1);
    double *const gx = s.gx.data(), *const gz = s.gz.data(), *const gs = s.gs.data();
    double *const v = s.gv.data(), *const g = s.gg.data(), *const thr = s.gt.data();
    std::int32_t *const rank = s.gk.data(), *const node = s.gn.data();
    double *const Lc = s.gl.data(), *const R = s.gr.data(), *const y = s.y.data();
    double* const row = s.row.data();
    for (std::ptrdiff_t a = 0; a < n; ++a) {
        const std::int32_t i = node_of_rank[s.found[u(a)].rank];
        node[a] = i;
        rank[a] = static_cast<std::int32_t>(a);
        gx[a] = x[i]; gz[a] = z[i]; gs[a] = sigma[i];
        const bool datum = data.datum(i);
        const double var = sigma[i] * sigma[i] + data.error(i);
        v[a] = var + (datum ? dnug : nugget) * var;
        thr[a] = (datum ? data.tol : tol) * var;
    }
    const double xt = x[target], zt = z[target], st = sigma[target];
    if constexpr (Exact)
        covariance_segment<M>(xt, zt, st, gx, gz, gs, n, theta, g);
    else
        quick_covariances<M>(xt, zt, st, gx, gz, gs, n, theta, g);
    const double c = st * st;
    // q[a]: what candidate a would take off the target's variance.
    double* const gq = s.gq.data();
    // (-inf for a candidate whose remaining variance is at most its threshold:
    // out of the pool for good.)
    for (std::ptrdiff_t a = 0; a < n; ++a) gq[a] = v[a] > thr[a] ? g[a] * g[a] / v[a] : -HUGE_VAL;
    std::ptrdiff_t live = n, p = 0;
    bool settled = false;
    while (p < m) {
        // The best live candidate: the larger gain, ties to the lower rank.
        // A dead candidate's gain is -inf, and one that is not a number
        // never wins. The largest gain first (four independent running
        // maxima, which no branch has to guess), then its lowest rank.
        double t0 = -1.0, t1 = -1.0, t2 = -1.0, t3 = -1.0;
        double d0 = 0.0, d1 = 0.0;   // the least gains: -inf when one died
        std::ptrdiff_t a = 0;
        for (; a + 4 <= live; a += 4) {
            t0 = gq[a] > t0 ? gq[a] : t0;
            t1 = gq[a + 1] > t1 ? gq[a + 1] : t1;
            t2 = gq[a + 2] > t2 ? gq[a + 2] : t2;
            t3 = gq[a + 3] > t3 ? gq[a + 3] : t3;
            const double e0 = gq[a] < gq[a + 1] ? gq[a] : gq[a + 1];
            const double e1 = gq[a + 2] < gq[a + 3] ? gq[a + 2] : gq[a + 3];
            d0 = e0 < d0 ? e0 : d0;
            d1 = e1 < d1 ? e1 : d1;
        }
        for (; a < live; ++a) {
            t0 = gq[a] > t0 ? gq[a] : t0;
            d0 = gq[a] < d0 ? gq[a] : d0;
        }
        t0 = t1 > t0 ? t1 : t0;
        t2 = t3 > t2 ? t3 : t2;
        const double top = t2 > t0 ? t2 : t0;
        std::ptrdiff_t best = -1;
        std::int32_t rb = INT32_MAX;
        for (a = 0; a < live; ++a)
            if (gq[a] == top && rank[a] < rb) { rb = rank[a]; best = a; }
        if (d0 == -HUGE_VAL || d1 == -HUGE_VAL) {
            // Out of the pool for good: the live ones move down over them.
            std::ptrdiff_t k = 0;
            for (a = 0; a < live; ++a) {
                if (gq[a] == -HUGE_VAL) continue;
                if (a == best) best = k;
                if (k != a) {
                    gx[k] = gx[a]; gz[k] = gz[a]; gs[k] = gs[a]; v[k] = v[a];
                    g[k] = g[a]; gq[k] = gq[a]; thr[k] = thr[a]; rank[k] = rank[a];
                    node[k] = node[a];
                    for (std::ptrdiff_t q = 0; q < p; ++q) Lc[q * n + k] = Lc[q * n + a];
                }
                ++k;
            }
            live = k;
        }
        if (best < 0 || top < gain * c) { settled = true; break; }
        const double piv = std::sqrt(v[best]), ip = 1.0 / piv;
        double* const Rp = R + p * m;
        for (std::ptrdiff_t q = 0; q < p; ++q) Rp[q] = Lc[q * n + best];
        Rp[p] = piv;
        y[p] = g[best] * ip;
        nbr[p] = node[best];
        if (picked != nullptr) picked[p] = rank[best];
        const double xb = gx[best], zb = gz[best], sb = gs[best];
        // The pick leaves the live candidates: the last one takes its place.
        const std::ptrdiff_t last = live - 1;
        gx[best] = gx[last]; gz[best] = gz[last]; gs[best] = gs[last]; v[best] = v[last];
        g[best] = g[last]; gq[best] = gq[last]; thr[best] = thr[last]; rank[best] = rank[last];
        node[best] = node[last];
        for (std::ptrdiff_t q = 0; q < p; ++q) Lc[q * n + best] = Lc[q * n + last];
        live = last;
        ++p;
        if (p == m || live == 0) break;
        // The pick's column of the factor over the live candidates: its
        // covariances less the earlier columns, four columns per pass.
        if constexpr (Exact)
            covariance_segment<M>(xb, zb, sb, gx, gz, gs, live, theta, row);
        else
            quick_covariances<M>(xb, zb, sb, gx, gz, gs, live, theta, row);
        std::ptrdiff_t q = 0;
        for (; q + 4 < p; q += 4) {
            const double *const l0 = Lc + q * n, *const l1 = l0 + n, *const l2 = l1 + n,
                         *const l3 = l2 + n;
            const double r0 = Rp[q], r1 = Rp[q + 1], r2 = Rp[q + 2], r3 = Rp[q + 3];
            for (std::ptrdiff_t a = 0; a < live; ++a)
                row[a] = (((row[a] - l0[a] * r0) - l1[a] * r1) - l2[a] * r2) - l3[a] * r3;
        }
        for (; q + 1 < p; ++q) {
            const double* const lq = Lc + q * n;
            const double r = Rp[q];
            for (std::ptrdiff_t a = 0; a < live; ++a) row[a] = row[a] - lq[a] * r;
        }
        double* const col = Lc + (p - 1) * n;
        const double yb = y[p - 1];
        for (std::ptrdiff_t a = 0; a < live; ++a) {
            const double l = row[a] * ip;
            col[a] = l;
            const double va = v[a] - l * l, ga = g[a] - l * yb;
            v[a] = va;
            g[a] = ga;
            const double qa = ga * ga / va;
            gq[a] = va > thr[a] ? qa : -HUGE_VAL;
        }
    }
    // b = R^-T y over the picks, d^2 = c - |y|^2 (+ the nugget's share).
    double rest = c - dot(y, y, p);
    for (std::ptrdiff_t q = p - 1; q >= 0; --q) {
        double b = y[q];
        for (std::ptrdiff_t t = q + 1; t < p; ++t) b -= R[t * m + q] * w[t];
        w[q] = b / R[q * m + q];
    }
    if (nugget > 0.0)
        for (std::ptrdiff_t q = 0; q < p; ++q) {
            const std::int32_t i = nbr[q];
            const double sq = sigma[i];
            if (data.datum(i))
                rest += dnug * ((sq * sq + data.error(i)) * (w[q] * w[q]));
            else
                rest += nugget * ((sq * sq) * (w[q] * w[q]));
        }
    *count = static_cast<std::int32_t>(p);
    *scale = rest > 0.0 ? std::sqrt(rest) : 0.0;
    return settled;
}

template <Model M>
void factor_node(const double* x, const double* z, const double* sigma, double theta, double tol,
                 double nugget,
                 std::int32_t target, std::int32_t below, std::ptrdiff_t m_chol,
                 std::ptrdiff_t candidates, double gain,
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
    // The greedy selection (without Cholesky neighbours) picks up to m of
    // more node candidates than the nodes' slots, and of the data.
    const bool greedy = mc == 0 && candidates > mn;
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
        grid.nearest(x[target], z[target], below,
                     greedy ? first_pool(mn, candidates, gain) : mn, s.found);
    }
    // Where the greedy selection looks among all its candidates: the first
    // ones did not settle it, or they lie lopsided around the node.
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(s.found.size());
    bool lop = false;
    if (greedy) {
        double ux = 0.0, uz = 0.0;
        for (const Found& g : s.found) {
            if (!(g.dist > 0.0)) continue;
            const std::int32_t i = node_of_rank[g.rank];
            ux += (x[i] - x[target]) / g.dist;
            uz += (z[i] - z[target]) / g.dist;
        }
        lop = std::sqrt(ux * ux + uz * uz) > lopsided * static_cast<double>(first);
    }
    if (md > 0 && data.grid != nullptr) {
        // Of the candidates * md nearest data, the md that a greedy
        // conditional selection picks (a dense line of data would otherwise
        // give its nearest stretch only), in nearest-first order.
        data.grid->nearest(x[target], z[target], data.ranks, data.candidates * md, s.data_found);
        for (Found& g : s.data_found) g.rank -= data.ranks;
        const auto nd = static_cast<std::ptrdiff_t>(s.data_found.size());
        if (nd > md) {
            s.dpick.resize(static_cast<std::size_t>(md));
            s.dnbr.resize(static_cast<std::size_t>(md));
            s.dw.resize(static_cast<std::size_t>(md));
            std::swap(s.found, s.data_found);
            std::int32_t picks = 0;
            double unused = 0.0;
            Measured pick = data;
            pick.tol = pick_tol;
            greedy_factor<M, true>(x, z, sigma, theta, tol, nugget, 0.0, target, md, node_of_rank,
                                   s.dnbr.data(), s.dw.data(), &picks, &unused, s, pick,
                                   std::min(nugget, data.nugget), s.dpick.data());
            std::swap(s.found, s.data_found);
            std::sort(s.dpick.begin(), s.dpick.begin() + picks);
            for (std::int32_t q = 0; q < picks; ++q)
                s.data_found[static_cast<std::size_t>(q)] =
                    s.data_found[static_cast<std::size_t>(s.dpick[static_cast<std::size_t>(q)])];
            s.data_found.resize(static_cast<std::size_t>(picks));
        }
    }
    // The data picked join the nodes, in distance order (after the nodes
    // when the Cholesky nodes come first).
    const auto with_data = [&]() {
        if (s.data_found.empty() || md == 0 || data.grid == nullptr) return;
        const auto before = static_cast<std::ptrdiff_t>(s.found.size());
        s.found.insert(s.found.end(), s.data_found.begin(), s.data_found.end());
        if (mc == 0) std::inplace_merge(s.found.begin(), s.found.begin() + before, s.found.end());
    };
    with_data();
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
    if (greedy) {
        // Data take no nugget unless the weights of the drawn neighbours
        // come out wild without it (as below).
        double dnug = std::min(nugget, data.nugget);
        const double c = sigma[target] * sigma[target];
        const auto solve = [&]() {
            bool settled = false;
            for (int attempt = 0;; ++attempt) {
                for (std::ptrdiff_t q = 0; q < m; ++q) { nbr[q] = 0; w[q] = 0.0; }
                settled = greedy_factor<M>(x, z, sigma, theta, tol, nugget, gain, target, m,
                                           node_of_rank, nbr, w, &f.count[j], &f.scale[j], s,
                                           data, dnug);
                if (attempt > 0 || !(dnug < nugget)) break;
                double drawn = 0.0;
                bool any = false;
                for (std::ptrdiff_t q = 0; q < f.count[j]; ++q) {
                    if (data.datum(nbr[q])) any = true;
                    else drawn += std::fabs(w[q]);
                }
                const double rest = f.scale[j] * f.scale[j];
                if (!(any && (drawn > data.wild || !(rest <= c * (1.0 + 1e-9))))) break;
                dnug = nugget;
            }
            return settled;
        };
        // A lopsided node looks among all its candidates whatever the first
        // ones give: the first look is skipped where it would leave nothing
        // behind (it may leave the data's nugget on).
        const bool wider = first == first_pool(mn, candidates, gain) && first < candidates;
        const bool settled = (lop && wider && !(dnug < nugget)) || solve();
        if ((lop || !settled) && wider) {
            grid.nearest(x[target], z[target], below, candidates, s.found);
            with_data();
            solve();
        }
        return;
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

// Drops the unused slots of the factors in place: node j's count[j] used
// slots follow node j-1's, start[0..Nkrig] becomes the packed offsets.
// Each move goes down (or nowhere), node by node, so never over slots still
// to be read. Returns the slots used. The caller has checked that start
// rises from 0 and that every count fits its slots.
inline std::int64_t pack_factors(std::ptrdiff_t Nkrig, std::int64_t* start,
                                 const std::int32_t* count, std::int32_t* nbr, double* weight) {
    std::int64_t used = 0;
    for (std::ptrdiff_t j = 0; j < Nkrig; ++j) {
        const std::int64_t s0 = start[j];
        const auto k = static_cast<std::size_t>(count[j]);
        if (s0 != used && k > 0) {
            std::memmove(nbr + used, nbr + s0, k * sizeof *nbr);
            std::memmove(weight + used, weight + s0, k * sizeof *weight);
        }
        start[j] = used;
        used += count[j];
    }
    start[Nkrig] = used;
    return used;
}

// Builds the factors of every kriged node. node_of_rank lists all N nodes
// in drawing order: the Nchol Cholesky nodes first (after the data, nodes
// data.first and above, when there are any), then f.node[0..Nkrig).
// `done` counts the finished blocks, for progress reports.
template <class Interrupted>
bool build_factors(const double* x, const double* z, const double* sigma, std::ptrdiff_t N,
                   std::ptrdiff_t Nchol, const std::int32_t* node_of_rank, double theta,
                   int model, double tol, double nugget, std::ptrdiff_t m_chol,
                   std::ptrdiff_t candidates, double gain, const Factors& f,
                   std::atomic<std::ptrdiff_t>& done,
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
                                                  m_chol, candidates, gain, Nchol, j, grid, ranked, f, s, with);
            else
                detail::factor_node<Model::expo>(x, z, sigma, theta, tol, nugget, f.node[j], below,
                                                 m_chol, candidates, gain, Nchol, j, grid, ranked, f, s, with);
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
