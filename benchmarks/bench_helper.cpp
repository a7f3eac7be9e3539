// Reference loops for benchmarks/bench.py, compiled by it at run time with
//     g++ -O2 -ffp-contract=off -shared -fPIC
// and loaded through ctypes.
//
// Each loop is the obvious single-threaded way to write the computation: the
// same formulas in the same order of operations as the module, over
// contiguous arrays, with no blocking, no threads and no shortcuts. The
// benchmark checks that the covariance loops give the module's bits exactly
// and that the partition scan gives the module's partition.
//
// exp_pass() measures the machine's cost of one exp call on a given list of
// arguments, which is the floor for any covariance fill that calls exp once
// per evaluated element.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr double minus_pi = -3.141592653589793;

// Correlation of two nodes at distance dist: model 0 is the Gaussian model,
// every other code the exponential model.
inline double corr_gauss(double dist, double theta) {
    const double q = dist / theta;
    const double s = q * q;
    return std::exp(s * minus_pi);
}

inline double corr_expo(double dist, double theta) {
    return std::exp((std::fabs(dist) * -2.0) / theta);
}

inline double node_dist(double xa, double za, double xb, double zb) {
    const double dx = xa - xb;
    const double dz = za - zb;
    return std::sqrt(dx * dx + dz * dz);
}

}  // namespace

extern "C" {

// COV of n nodes into the row-major n x n array C: each pair (i, j >= i)
// evaluated once and written to both triangles.
void naive_COV(const double* x, const double* z, const double* sigma, std::ptrdiff_t n,
               double theta, int model, double* C) {
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        for (std::ptrdiff_t j = i; j < n; ++j) {
            const double dist = node_dist(x[i], z[i], x[j], z[j]);
            const double r = model == 0 ? corr_gauss(dist, theta) : corr_expo(dist, theta);
            const double c = (r * sigma[i]) * sigma[j];
            C[i * n + j] = c;
            C[j * n + i] = c;
        }
    }
}

// C_chol_krig into the row-major Nchol x Nkrig array C.
void naive_C_chol_krig(const double* xchol, const double* zchol, std::ptrdiff_t Nchol,
                       const double* xkrig, const double* zkrig, std::ptrdiff_t Nkrig,
                       double theta, int model, const double* sigma_chol,
                       const double* sigma_krig, double* C) {
    for (std::ptrdiff_t i = 0; i < Nchol; ++i) {
        for (std::ptrdiff_t j = 0; j < Nkrig; ++j) {
            const double dist = node_dist(xchol[i], zchol[i], xkrig[j], zkrig[j]);
            const double r = model == 0 ? corr_gauss(dist, theta) : corr_expo(dist, theta);
            C[i * Nkrig + j] = (r * sigma_chol[i]) * sigma_krig[j];
        }
    }
}

// The node partition by the plain scan: node i is tested against the
// Cholesky nodes chosen so far, in the order they were chosen, and stops at
// the first one closer than dist_max. is_chol[i] receives 1 for a Cholesky
// node and 0 for a kriged node; the return value is Nchol. Needs n >= 1.
std::ptrdiff_t naive_chol_krig_nodes(const double* x, const double* z, std::ptrdiff_t n,
                                     double dist_max, unsigned char* is_chol) {
    std::vector<double> xvchol{x[0]}, zvchol{z[0]};
    is_chol[0] = 1;
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        bool kriged = false;
        const std::size_t M = xvchol.size();
        for (std::size_t k = 0; k < M; ++k) {
            if (node_dist(x[i], z[i], xvchol[k], zvchol[k]) < dist_max) {
                kriged = true;
                break;
            }
        }
        is_chol[i] = kriged ? 0 : 1;
        if (!kriged) {
            xvchol.push_back(x[i]);
            zvchol.push_back(z[i]);
        }
    }
    return static_cast<std::ptrdiff_t>(xvchol.size());
}

// Seconds per exp call over the arguments a[0..n): `passes` timed passes,
// each storing exp(a[k]) into out[k]; returns the median pass time divided by
// n. The stores go to the caller's memory and a compiler barrier separates
// the passes, so no call can be removed or hoisted.
double exp_pass(const double* a, std::ptrdiff_t n, double* out, int passes) {
    using clock = std::chrono::steady_clock;
    std::vector<double> t;
    for (int p = 0; p < passes; ++p) {
        const auto t0 = clock::now();
        for (std::ptrdiff_t k = 0; k < n; ++k) out[k] = std::exp(a[k]);
        asm volatile("" ::: "memory");
        const auto t1 = clock::now();
        t.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2] / static_cast<double>(n);
}

}  // extern "C"
