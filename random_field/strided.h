// Strided float64 views over memory owned elsewhere. No Python here: the
// numeric kernels see only these.
//
// A view is a base address, an element count and a byte step between
// elements. Any step is allowed (negative, zero, not a multiple of 8) and the
// data need not be aligned: every access goes through memcpy, which compiles
// to one plain load or store on the platforms we build for.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace random_field {

struct VecView {
    char* base = nullptr;
    std::ptrdiff_t n = 0;
    std::ptrdiff_t stride = 0;

    double operator[](std::ptrdiff_t i) const {
        double v;
        std::memcpy(&v, base + i * stride, sizeof v);
        return v;
    }

    // The elements, copied into memory of the caller's own, so that no
    // Python code that runs meanwhile (a signal handler, a finaliser run by
    // an allocation) can pull the viewed memory away under a long kernel.
    std::vector<double> copy() const {
        std::vector<double> out(static_cast<std::size_t>(n));
        for (std::ptrdiff_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = (*this)[i];
        return out;
    }
};

// A two-dimensional float64 view with independent row and column steps.
struct MatView {
    char* base = nullptr;
    std::ptrdiff_t rows = 0, cols = 0;
    std::ptrdiff_t row_stride = 0, col_stride = 0;

    double get(std::ptrdiff_t i, std::ptrdiff_t j) const {
        double v;
        std::memcpy(&v, base + i * row_stride + j * col_stride, sizeof v);
        return v;
    }
    void set(std::ptrdiff_t i, std::ptrdiff_t j, double v) const {
        std::memcpy(base + i * row_stride + j * col_stride, &v, sizeof v);
    }
};

}  // namespace random_field
