// The covariance models and the two matrix fills. No Python here.
//
// Every element is evaluated with the same operations in the same order,
// whichever thread computes it:
//   dist = sqrt(dx*dx + dz*dz)
//   Gaussian model:    q = dist/theta; s = q*q; r = exp(s * -pi)
//   exponential model: r = exp((|dist| * -2.0) / theta)
//   covariance = (r * sigma_row) * sigma_column
#pragma once

#include "distance.h"
#include "parallel.h"
#include "strided.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace random_field {

enum class Model { gauss, expo };

inline Model model_of(int code) { return code == 0 ? Model::gauss : Model::expo; }

// exp(a), without calling exp below -746: there the platform exp returns
// exactly +0.0 under round-to-nearest (exp(-745.14) is already below half
// the smallest subnormal), and the call is slow in that range.
inline double exp_or_zero(double a) { return a < -746.0 ? 0.0 : std::exp(a); }

template <Model M>
inline double correlation(double dist, double theta) {
    if constexpr (M == Model::gauss) {
        const double q = dist / theta;
        const double s = q * q;
        return exp_or_zero(s * -3.141592653589793);
    } else {
        return exp_or_zero((std::fabs(dist) * -2.0) / theta);
    }
}

// Side of the square tiles that the fills hand out as blocks of work.
constexpr std::ptrdiff_t tile = 64;
// Fills smaller than this many elements stay on the calling thread, so that
// small calls pay nothing for threads (nor for asking how many there are).
constexpr std::ptrdiff_t parallel_threshold = 1 << 15;

inline int threads_for(std::ptrdiff_t elements) {
    return elements >= parallel_threshold ? configured_threads() : 1;
}

// Fills the symmetric N x N matrix C of nodes (x, z) with standard
// deviations sigma: each pair j >= i is evaluated once, with sigma[i] applied
// before sigma[j], and written to C[i][j] and C[j][i]. The upper-triangle
// tiles are the blocks; each mirrors into its transposed tile.
template <Model M, class Interrupted>
bool fill_COV_model(const VecView& x, const VecView& z, const VecView& sigma, double theta,
                    const MatView& C, const Interrupted& interrupted) {
    const std::ptrdiff_t N = x.n;
    const std::ptrdiff_t nt = (N + tile - 1) / tile;
    // Tile row I holds the blocks row_start[I] .. row_start[I + 1] - 1.
    std::vector<std::ptrdiff_t> row_start;
    if (nt > 1) {
        row_start.assign(static_cast<std::size_t>(nt) + 1, 0);
        for (std::ptrdiff_t I = 0; I < nt; ++I) row_start[I + 1] = row_start[I] + (nt - I);
    }
    const std::ptrdiff_t nblocks = nt * (nt + 1) / 2;

    auto work = [&](std::ptrdiff_t b) {
        std::ptrdiff_t I = 0, J = 0;
        if (nt > 1) {
            I = std::upper_bound(row_start.begin(), row_start.end(), b) - row_start.begin() - 1;
            J = I + (b - row_start[I]);
        }
        const std::ptrdiff_t i_end = std::min(N, (I + 1) * tile);
        const std::ptrdiff_t j_end = std::min(N, (J + 1) * tile);
        for (std::ptrdiff_t i = I * tile; i < i_end; ++i) {
            const double xi = x[i], zi = z[i], si = sigma[i];
            for (std::ptrdiff_t j = std::max(i, J * tile); j < j_end; ++j) {
                const double r = correlation<M>(node_distance(xi, zi, x[j], z[j]), theta);
                const double v = (r * si) * sigma[j];
                C.set(i, j, v);
                C.set(j, i, v);
            }
        }
    };
    const std::ptrdiff_t elements = N * (N + 1) / 2;
    return run_blocks(nblocks, threads_for(elements), work, interrupted);
}

template <class Interrupted>
bool fill_COV(const VecView& x, const VecView& z, const VecView& sigma, double theta,
              int model, const MatView& C, const Interrupted& interrupted) {
    if (model_of(model) == Model::gauss)
        return fill_COV_model<Model::gauss>(x, z, sigma, theta, C, interrupted);
    return fill_COV_model<Model::expo>(x, z, sigma, theta, C, interrupted);
}

// Fills the Nchol x Nkrig matrix C between Cholesky nodes (rows) and kriged
// nodes (columns): C[i][j] = (r * sigma_chol[i]) * sigma_krig[j].
template <Model M, class Interrupted>
bool fill_C_chol_krig_model(const VecView& xchol, const VecView& zchol, const VecView& xkrig,
                            const VecView& zkrig, const VecView& sigma_chol,
                            const VecView& sigma_krig, double theta, const MatView& C,
                            const Interrupted& interrupted) {
    const std::ptrdiff_t Nchol = xchol.n, Nkrig = xkrig.n;
    constexpr std::ptrdiff_t rows = 16, cols = 256;
    const std::ptrdiff_t nr = (Nchol + rows - 1) / rows, nc = (Nkrig + cols - 1) / cols;

    auto work = [&](std::ptrdiff_t b) {
        const std::ptrdiff_t I = b / nc, J = b % nc;
        const std::ptrdiff_t i_end = std::min(Nchol, (I + 1) * rows);
        const std::ptrdiff_t j_end = std::min(Nkrig, (J + 1) * cols);
        for (std::ptrdiff_t i = I * rows; i < i_end; ++i) {
            const double xi = xchol[i], zi = zchol[i], si = sigma_chol[i];
            for (std::ptrdiff_t j = J * cols; j < j_end; ++j) {
                const double r = correlation<M>(node_distance(xi, zi, xkrig[j], zkrig[j]), theta);
                C.set(i, j, (r * si) * sigma_krig[j]);
            }
        }
    };
    const std::ptrdiff_t elements = Nchol * Nkrig;
    return run_blocks(nr * nc, threads_for(elements), work, interrupted);
}

template <class Interrupted>
bool fill_C_chol_krig(const VecView& xchol, const VecView& zchol, const VecView& xkrig,
                      const VecView& zkrig, const VecView& sigma_chol, const VecView& sigma_krig,
                      double theta, int model, const MatView& C,
                      const Interrupted& interrupted) {
    if (model_of(model) == Model::gauss)
        return fill_C_chol_krig_model<Model::gauss>(xchol, zchol, xkrig, zkrig, sigma_chol,
                                                    sigma_krig, theta, C, interrupted);
    return fill_C_chol_krig_model<Model::expo>(xchol, zchol, xkrig, zkrig, sigma_chol,
                                               sigma_krig, theta, C, interrupted);
}

}  // namespace random_field
