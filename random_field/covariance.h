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
#include <cstring>
#include <memory>
#include <vector>

namespace random_field {

enum class Model { gauss, expo };

inline Model model_of(int code) { return code == 0 ? Model::gauss : Model::expo; }

// exp(a), without calling exp below -746: there the platform exp returns
// exactly +0.0 under round-to-nearest (exp(-745.14) is already below half
// the smallest subnormal), and the call is slow in that range.
inline double exp_or_zero(double a) { return a < -746.0 ? 0.0 : std::exp(a); }

// The argument of exp in the correlation function of distance `dist`.
template <Model M>
inline double exponent(double dist, double theta) {
    if constexpr (M == Model::gauss) {
        const double q = dist / theta;
        const double s = q * q;
        return s * -3.141592653589793;
    } else {
        return (std::fabs(dist) * -2.0) / theta;
    }
}

// Covariances of one node (xi, zi, si) with n nodes (x, z, sigma), into out:
// out[k] = (correlation * si) * sigma[k]. The work is done in three passes
// over the segment, the same operations per element as a single loop: the
// distance and exponent pass and the scaling pass are plain arithmetic that
// the compiler may vectorise (IEEE vector square roots and quotients round
// exactly like scalar ones), and the exp calls in between do not wait on
// one another.
template <Model M>
inline void covariance_segment(double xi, double zi, double si, const double* __restrict x,
                               const double* __restrict z, const double* __restrict sigma,
                               std::ptrdiff_t n, double theta, double* __restrict out) {
    for (std::ptrdiff_t k = 0; k < n; ++k)
        out[k] = exponent<M>(node_distance(xi, zi, x[k], z[k]), theta);
    for (std::ptrdiff_t k = 0; k < n; ++k) out[k] = exp_or_zero(out[k]);
    for (std::ptrdiff_t k = 0; k < n; ++k) out[k] = (out[k] * si) * sigma[k];
}

// Side of the square tiles that the fills hand out as blocks of work. Large
// tiles make the mirrored writes long runs along rows of C.
constexpr std::ptrdiff_t tile = 256;
// Fills smaller than this many elements stay on the calling thread, so that
// small calls pay nothing for threads (nor for asking how many there are).
constexpr std::ptrdiff_t parallel_threshold = 1 << 15;

inline int threads_for(std::ptrdiff_t elements) {
    return elements >= parallel_threshold ? configured_threads() : 1;
}

// Doubles of working memory for one fill: on the stack when few (so that
// small calls allocate nothing), else on the heap (threads may have small
// stacks). Uninitialised.
class Workspace {
public:
    explicit Workspace(std::size_t n)
        : heap_(n > inline_size ? new double[n] : nullptr),
          data_(heap_ ? heap_.get() : inline_) {}
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    double* data() const { return data_; }
private:
    static constexpr std::size_t inline_size = 512;
    double inline_[inline_size];
    std::unique_ptr<double[]> heap_;
    double* data_;
};

// Copies a strided view to contiguous memory: the inner loops then read
// plain arrays whatever the caller's strides. Returns the end of the copy.
inline double* gather(const VecView& v, double* out) {
    for (std::ptrdiff_t i = 0; i < v.n; ++i) out[i] = v[i];
    return out + v.n;
}

// Writes n values to row i of C from column j on.
inline void store_row(const MatView& C, std::ptrdiff_t i, std::ptrdiff_t j,
                      const double* values, std::ptrdiff_t n) {
    if (C.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        std::memcpy(C.base + i * C.row_stride + j * C.col_stride, values,
                    static_cast<std::size_t>(n) * sizeof(double));
    } else {
        for (std::ptrdiff_t k = 0; k < n; ++k) C.set(i, j + k, values[k]);
    }
}

// Fills the symmetric N x N matrix C of nodes (x, z) with standard
// deviations sigma: each pair j >= i is evaluated once, with sigma[i] applied
// before sigma[j], and written to C[i][j] and C[j][i]. The blocks of work are
// the tiles on and above the diagonal; a tile is computed into a local
// buffer and then written out row by row, once as it stands and once
// transposed, so that no write runs down a column of C.
template <Model M, class Interrupted>
bool fill_COV_model(const VecView& x_view, const VecView& z_view, const VecView& sigma_view,
                    double theta, const MatView& C, const Interrupted& interrupted) {
    const std::ptrdiff_t N = x_view.n;
    const std::ptrdiff_t nt = (N + tile - 1) / tile;
    const std::ptrdiff_t nblocks = nt * (nt + 1) / 2;
    const int threads = threads_for(N * (N + 1) / 2);
    // Tile row I holds the blocks row_start[I] .. row_start[I + 1] - 1.
    std::vector<std::ptrdiff_t> row_start;
    if (nt > 1) {
        row_start.assign(static_cast<std::size_t>(nt) + 1, 0);
        for (std::ptrdiff_t I = 0; I < nt; ++I) row_start[I + 1] = row_start[I] + (nt - I);
    }
    // The nodes, then one tile (rows ts apart) and one column per thread.
    const std::ptrdiff_t ts = std::min(N, tile);
    const std::ptrdiff_t per_thread = ts * ts + ts;
    const std::ptrdiff_t nscratch = std::min<std::ptrdiff_t>(threads, nblocks);
    Workspace memory(static_cast<std::size_t>(3 * N + nscratch * per_thread));
    double* const x = memory.data();
    double* const z = gather(x_view, x);
    double* const sigma = gather(z_view, z);
    double* const scratch = gather(sigma_view, sigma);

    auto work = [&](std::ptrdiff_t b, int w) {
        std::ptrdiff_t I = 0, J = 0;
        if (nt > 1) {
            I = std::upper_bound(row_start.begin(), row_start.end(), b) - row_start.begin() - 1;
            J = I + (b - row_start[I]);
        }
        const std::ptrdiff_t i0 = I * tile, i1 = std::min(N, i0 + tile);
        const std::ptrdiff_t j0 = J * tile, j1 = std::min(N, j0 + tile);
        double* const buf = scratch + w * per_thread;
        double* const column = buf + ts * ts;
        for (std::ptrdiff_t i = i0; i < i1; ++i) {
            const double xi = x[i], zi = z[i], si = sigma[i];
            const std::ptrdiff_t j = std::max(i, j0);
            covariance_segment<M>(xi, zi, si, x + j, z + j, sigma + j, j1 - j, theta,
                                  buf + (i - i0) * ts + (j - j0));
        }
        for (std::ptrdiff_t i = i0; i < i1; ++i) {
            const std::ptrdiff_t j = std::max(i, j0);
            if (j < j1) store_row(C, i, j, buf + (i - i0) * ts + (j - j0), j1 - j);
        }
        for (std::ptrdiff_t j = j0; j < j1; ++j) {
            const std::ptrdiff_t i_end = std::min(i1, j + 1);  // rows i <= j hold C[i][j]
            for (std::ptrdiff_t i = i0; i < i_end; ++i) column[i - i0] = buf[(i - i0) * ts + (j - j0)];
            if (i_end > i0) store_row(C, j, i0, column, i_end - i0);
        }
    };
    return run_blocks(nblocks, threads, work, interrupted);
}

template <class Interrupted>
bool fill_COV(const VecView& x, const VecView& z, const VecView& sigma, double theta,
              int model, const MatView& C, const Interrupted& interrupted) {
    if (model_of(model) == Model::gauss)
        return fill_COV_model<Model::gauss>(x, z, sigma, theta, C, interrupted);
    return fill_COV_model<Model::expo>(x, z, sigma, theta, C, interrupted);
}

// Fills the Nchol x Nkrig matrix C between Cholesky nodes (rows) and kriged
// nodes (columns): C[i][j] = (r * sigma_chol[i]) * sigma_krig[j]. The blocks
// are row segments of a few rows each.
template <Model M, class Interrupted>
bool fill_C_chol_krig_model(const VecView& xchol_view, const VecView& zchol_view,
                            const VecView& xkrig_view, const VecView& zkrig_view,
                            const VecView& sigma_chol_view, const VecView& sigma_krig_view,
                            double theta, const MatView& C, const Interrupted& interrupted) {
    const std::ptrdiff_t Nchol = xchol_view.n, Nkrig = xkrig_view.n;
    Workspace memory(static_cast<std::size_t>(3 * (Nchol + Nkrig)));
    double* const xc = memory.data();
    double* const zc = gather(xchol_view, xc);
    double* const sc = gather(zchol_view, zc);
    double* const xk = gather(sigma_chol_view, sc);
    double* const zk = gather(xkrig_view, xk);
    double* const sk = gather(zkrig_view, zk);
    gather(sigma_krig_view, sk);
    constexpr std::ptrdiff_t rows = 16, cols = 512;
    const std::ptrdiff_t nr = (Nchol + rows - 1) / rows, nc = (Nkrig + cols - 1) / cols;

    auto work = [&](std::ptrdiff_t b, int) {
        const std::ptrdiff_t I = b / nc, J = b % nc;
        const std::ptrdiff_t i_end = std::min(Nchol, (I + 1) * rows);
        const std::ptrdiff_t j0 = J * cols, j1 = std::min(Nkrig, j0 + cols);
        double segment[cols];
        for (std::ptrdiff_t i = I * rows; i < i_end; ++i) {
            covariance_segment<M>(xc[i], zc[i], sc[i], xk + j0, zk + j0, sk + j0, j1 - j0,
                                  theta, segment);
            store_row(C, i, j0, segment, j1 - j0);
        }
    };
    return run_blocks(nr * nc, threads_for(Nchol * Nkrig), work, interrupted);
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
