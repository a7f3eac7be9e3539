// random_field_sampler._kernels: the glue around the conditional fill's
// kernels (neighbours.h, vecchia.h). Thin: it checks the buffers it is given
// (type, shape, contiguity, writability; every size is taken from them and
// checked against the others), runs the kernel on them with the interpreter
// lock held, and reports progress and signals between blocks of work. The arrays are allocated by the caller, in Python, which accounts
// for their memory.
#include "pyref.h"
#include "vecchia.h"

#include <chrono>
#include <cmath>
#include <cstring>

namespace random_field {
namespace {

// An array argument: a buffer of float64 ('d'), int32 ('i') or int64 ('q') elements of
// `ndim` dimensions (1 or 2), read through the extensions' one reader
// (pyref.h). Its sizes are its shape; C-contiguous unless rows may stand
// apart (`rows_apart`: rows of contiguous elements, `row_stride` elements
// from one to the next, as in a column slice of a larger array).
class Arr {
public:
    bool get(PyObject* obj, char type, int ndim, bool writable, const char* name,
             bool rows_apart = false) {
        int flags = PyBUF_STRIDES | PyBUF_FORMAT;
        if (writable) flags |= PyBUF_WRITABLE;
        const char* kind = type == 'd' ? "float64" : type == 'q' ? "int64" : "int32";
        const char* dims = ndim == 1 ? "one-dimensional" : "two-dimensional";
        if (!buf_.acquire(obj, flags)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s: a %s%s %s array is needed", name, dims,
                         writable ? ", writable" : "", kind);
            return false;
        }
        const Py_buffer& v = buf_.view();
        const char* f = v.format ? v.format : "B";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        const Py_ssize_t size = type == 'i' ? 4 : 8;
        const bool same = f[0] == type || (type == 'q' && f[0] == 'l');  // int64 is 'l' or 'q'
        if (!same || f[1] != '\0' || v.itemsize != size || v.ndim != ndim) {
            PyErr_Format(PyExc_TypeError, "%s: a %s %s array is needed", name, dims, kind);
            return false;
        }
        Py_ssize_t strides[2];
        if (!buf_.layout(ndim, shape_, strides)) return false;
        if (ndim == 1) shape_[1] = 1;
        Py_ssize_t count = 0, bytes = 0;
        if (__builtin_mul_overflow(shape_[0], shape_[1], &count) ||
            __builtin_mul_overflow(count, size, &bytes)) {
            PyErr_Format(PyExc_ValueError, "%s: too many elements", name);
            return false;
        }
        const Py_ssize_t cols = shape_[1], rows = shape_[0];
        const Py_ssize_t s0 = strides[0], s1 = ndim == 2 ? strides[1] : size;
        const bool packed = (cols <= 1 || s1 == size) && (rows <= 1 || s0 == cols * size);
        if (packed && v.len != bytes) {
            PyErr_Format(PyExc_ValueError, "%s: the buffer's length does not match its shape", name);
            return false;
        }
        if (!packed && !(rows_apart && (cols <= 1 || s1 == size) && s0 >= cols * size &&
                         s0 % size == 0)) {
            PyErr_Format(PyExc_ValueError, "%s: %s are needed", name,
                         rows_apart ? "rows of contiguous elements" : "C-contiguous elements");
            return false;
        }
        row_stride_ = rows > 1 ? s0 / size : cols;
        return true;
    }
    // Extent of dimension k (1 for the second of a one-dimensional array).
    Py_ssize_t n(int k = 0) const { return shape_[k]; }
    Py_ssize_t row_stride() const { return row_stride_; }
    double* d() const { return static_cast<double*>(buf_.view().buf); }
    std::int32_t* i() const { return static_cast<std::int32_t*>(buf_.view().buf); }
    std::int64_t* q() const { return static_cast<std::int64_t*>(buf_.view().buf); }
    // True when every element lies in [0, limit).
    bool within(Py_ssize_t limit) const {
        const std::int32_t* a = i();
        for (Py_ssize_t k = 0, n = shape_[0] * shape_[1]; k < n; ++k)
            if (a[k] < 0 || a[k] >= limit) return false;
        return true;
    }
private:
    Buffer buf_;
    Py_ssize_t shape_[2] = {0, 1};
    Py_ssize_t row_stride_ = 0;
};

// ValueError "<kernel>: <what>" unless `ok`.
bool require(bool ok, const char* kernel, const char* what) {
    if (!ok) PyErr_Format(PyExc_ValueError, "%s: %s", kernel, what);
    return ok;
}

// The nodes a kernel takes at most: their indices are int32.
constexpr Py_ssize_t max_nodes = 2147483647;

// Between blocks, on the calling thread: true when a signal handler raised
// or the progress callable did (its error is then set).
class Between {
public:
    Between(PyObject* progress, const char* stage, std::ptrdiff_t total,
            const std::atomic<std::ptrdiff_t>* done)
        : progress_(progress == Py_None ? nullptr : progress), stage_(stage), total_(total),
          done_(done), last_(std::chrono::steady_clock::now()) {}
    bool operator()() const {
        if (PyErr_CheckSignals() != 0) return true;
        if (progress_ == nullptr || done_ == nullptr) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(200)) return false;
        last_ = now;
        return !report(done_->load(std::memory_order_relaxed));
    }
    bool report(std::ptrdiff_t done) const {
        if (progress_ == nullptr) return true;
        Ref r = Ref::steal(PyObject_CallFunction(progress_, "snn", stage_, done, total_));
        return static_cast<bool>(r);
    }
private:
    PyObject* progress_;
    const char* stage_;
    std::ptrdiff_t total_;
    const std::atomic<std::ptrdiff_t>* done_;
    mutable std::chrono::steady_clock::time_point last_;
};

// The arrays of an ordering call, checked: x and z of N nodes, the Cholesky
// and kriged node indices (each in 0 .. N-1) and the output, one rank per
// kriged node.
struct OrderArgs {
    Arr x, z, chol, krig, out;

    bool get(const char* name, PyObject* xo, PyObject* zo, PyObject* co, PyObject* ko,
             PyObject* oo) {
        if (!x.get(xo, 'd', 1, false, "x") || !z.get(zo, 'd', 1, false, "z") ||
            !chol.get(co, 'i', 1, false, "chol_ind") || !krig.get(ko, 'i', 1, false, "krig_ind") ||
            !out.get(oo, 'i', 1, true, "out"))
            return false;
        const Py_ssize_t N = x.n();
        return require(z.n() == N, name, "x and z differ in length") &&
               require(N <= max_nodes, name, "more than 2**31 - 1 nodes") &&
               require(out.n() == krig.n(), name, "out and krig_ind differ in length") &&
               require(chol.within(N) && krig.within(N), name, "an index is out of range") &&
               require(distinct(N), name, "a node is listed twice in chol_ind and krig_ind");
    }

    // Whether no node appears twice among chol_ind and krig_ind (the cells
    // list each node once).
    bool distinct(Py_ssize_t N) const {
        std::vector<char> seen(static_cast<std::size_t>(N), 0);
        for (const Arr* a : {&chol, &krig})
            for (Py_ssize_t k = 0; k < a->n(); ++k) {
                char& s = seen[static_cast<std::size_t>(a->i()[k])];
                if (s) return false;
                s = 1;
            }
        return true;
    }

    template <class Order>
    PyObject* run(const Order& order) const {
        Between between(Py_None, "neighbours", 0, nullptr);
        std::vector<std::int32_t> drawn;
        if (!order(drawn, between)) return nullptr;
        if (!drawn.empty()) std::memcpy(out.i(), drawn.data(), drawn.size() * sizeof(std::int32_t));
        Py_RETURN_NONE;
    }
};

PyObject* py_order(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kw[] = {"x", "z", "chol_ind", "krig_ind", "out", "dist", nullptr};
        PyObject *xo, *zo, *co, *ko, *oo;
        double dist;
        OrderArgs a;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOd:order", const_cast<char**>(kw),
                                         &xo, &zo, &co, &ko, &oo, &dist) ||
            !a.get("order", xo, zo, co, ko, oo))
            return nullptr;
        return a.run([&](std::vector<std::int32_t>& drawn, const Between& between) {
            return coarse_to_fine(a.x.d(), a.z.d(), a.x.n(), a.chol.i(), a.chol.n(), a.krig.i(),
                                  a.krig.n(), dist, drawn, between);
        });
    });
}

PyObject* py_maxmin(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kw[] = {"x", "z", "chol_ind", "krig_ind", "out", nullptr};
        PyObject *xo, *zo, *co, *ko, *oo;
        OrderArgs a;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:maxmin", const_cast<char**>(kw),
                                         &xo, &zo, &co, &ko, &oo) ||
            !a.get("maxmin", xo, zo, co, ko, oo))
            return nullptr;
        return a.run([&](std::vector<std::int32_t>& drawn, const Between& between) {
            return maxmin_order(a.x.d(), a.z.d(), a.chol.i(), a.chol.n(), a.krig.i(), a.krig.n(),
                                drawn, between);
        });
    });
}

PyObject* py_neighbours(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kw[] = {"x", "z", "node_of_rank", "out", nullptr};
        PyObject *xo, *zo, *ro, *oo;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:neighbours", const_cast<char**>(kw),
                                         &xo, &zo, &ro, &oo))
            return nullptr;
        Arr x, z, rank, out;
        if (!x.get(xo, 'd', 1, false, "x") || !z.get(zo, 'd', 1, false, "z") ||
            !rank.get(ro, 'i', 1, false, "node_of_rank") || !out.get(oo, 'i', 2, true, "out"))
            return nullptr;
        const Py_ssize_t N = x.n(), m = out.n(1);
        if (!require(z.n() == N && rank.n() == N && out.n(0) == N, "neighbours",
                     "x, z, node_of_rank and the rows of out differ in length") ||
            !require(N <= max_nodes, "neighbours", "more than 2**31 - 1 nodes") ||
            !require(rank.within(N), "neighbours", "node_of_rank holds a bad index"))
            return nullptr;
        const RankedGrid grid(x.d(), z.d(), rank.i(), N);
        const Between between(Py_None, "neighbours", 0, nullptr);
        std::vector<Found> found;
        for (Py_ssize_t r = 0; r < N; ++r) {
            if ((r & (interrupt_every - 1)) == interrupt_every - 1 && between()) return nullptr;
            const std::int32_t i = rank.i()[r];
            grid.nearest(x.d()[i], z.d()[i], static_cast<std::int32_t>(r), m, found);
            std::int32_t* const o = out.i() + r * m;
            for (Py_ssize_t k = 0; k < m; ++k)
                o[k] = k < static_cast<Py_ssize_t>(found.size()) ? found[static_cast<std::size_t>(k)].rank : -1;
        }
        Py_RETURN_NONE;
    });
}

// The factors' arrays, checked against Nkrig kriged nodes: start (Nkrig +
// 1, int64: 0, then non-decreasing, the last the length of nbr and weight),
// nbr and weight (the slots of all nodes, packed), count and scale (Nkrig).
struct FactorArgs {
    Arr start, nbr, weight, count, scale;

    bool get(const char* name, PyObject* sto, PyObject* no, PyObject* wo, PyObject* co,
             PyObject* so, bool writable) {
        if (!start.get(sto, 'q', 1, false, "start") || !nbr.get(no, 'i', 1, writable, "nbr") ||
            !weight.get(wo, 'd', 1, writable, "weight") ||
            !count.get(co, 'i', 1, writable, "count") || !scale.get(so, 'd', 1, writable, "scale"))
            return false;
        const Py_ssize_t Nkrig = count.n();
        if (!require(scale.n() == Nkrig && start.n() == Nkrig + 1 && weight.n() == nbr.n(), name,
                     "start, nbr, weight, count and scale disagree on the kriged nodes or slots"))
            return false;
        const std::int64_t* st = start.q();
        bool ok = st[0] == 0 && st[Nkrig] == nbr.n();
        for (Py_ssize_t j = 0; ok && j < Nkrig; ++j) ok = st[j] <= st[j + 1];
        return require(ok, name, "start must rise from 0 to the length of nbr");
    }

    // True when every count fits its slots.
    bool counts_fit() const {
        const std::int64_t* st = start.q();
        const std::int32_t* c = count.i();
        for (Py_ssize_t j = 0; j < count.n(); ++j)
            if (c[j] < 0 || c[j] > st[j + 1] - st[j]) return false;
        return true;
    }

    Factors factors(const std::int32_t* node) const {
        Factors f;
        f.Nkrig = count.n();
        f.start = start.q();
        f.node = node;
        f.nbr = nbr.i();
        f.weight = weight.d();
        f.count = count.i();
        f.scale = scale.d();
        return f;
    }
};

PyObject* py_build(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kw[] = {"x", "z", "sigma", "node_of_rank", "theta", "model", "tol",
                                   "nugget", "chol_neighbours", "start", "nbr", "weight", "count",
                                   "scale", "progress", "candidates", "gain", "noise",
                                   "first_datum", "data_slots", nullptr};
        PyObject *xo, *zo, *so, *ro, *sto, *no, *wo, *co, *do_, *progress = Py_None;
        PyObject* noiseo = Py_None;
        PyObject* slotso = Py_None;
        double theta, tol, nugget;
        int model;
        Py_ssize_t m_chol, candidates = 0, first_datum = -1;
        double gain = 0.0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOdiddnOOOOO|OndOnO:build",
                                         const_cast<char**>(kw), &xo, &zo, &so, &ro, &theta,
                                         &model, &tol, &nugget, &m_chol, &sto, &no, &wo, &co, &do_,
                                         &progress, &candidates, &gain, &noiseo, &first_datum,
                                         &slotso))
            return nullptr;
        Arr x, z, sigma, rank, noise, dslots;
        FactorArgs fa;
        if (!x.get(xo, 'd', 1, false, "x") || !z.get(zo, 'd', 1, false, "z") ||
            !sigma.get(so, 'd', 1, false, "sigma") ||
            !rank.get(ro, 'i', 1, false, "node_of_rank") ||
            !fa.get("build", sto, no, wo, co, do_, true) ||
            (noiseo != Py_None && !noise.get(noiseo, 'd', 1, false, "noise")) ||
            (slotso != Py_None && !dslots.get(slotso, 'i', 1, false, "data_slots")))
            return nullptr;
        const Py_ssize_t N = x.n(), Nkrig = fa.count.n();
        if (!require(z.n() == N && sigma.n() == N && rank.n() == N, "build",
                     "x, z, sigma and node_of_rank differ in length") ||
            !require(N <= max_nodes, "build", "more than 2**31 - 1 nodes") ||
            !require(Nkrig <= N, "build", "more kriged nodes than nodes") ||
            !require(m_chol >= 0, "build", "chol_neighbours is negative") ||
            !require(candidates >= 0 && candidates <= 4096, "build",
                     "candidates must be in [0, 4096]") ||
            !require(gain >= 0.0 && gain < 1.0, "build", "gain must be in [0, 1)") ||
            !require(rank.within(N), "build", "node_of_rank holds a bad index"))
            return nullptr;
        Measured data;
        const double* const noisy = noiseo != Py_None ? noise.d() : nullptr;
        data.noise = noisy;
        if (first_datum >= 0) data.first = first_datum;
        if (first_datum >= 0) {
            // The data, nodes first_datum .. N - 1, must be the lowest ranks.
            bool ok = first_datum >= Nkrig && first_datum <= N;
            const Py_ssize_t nd = N - first_datum;
            for (Py_ssize_t r = 0; ok && r < N; ++r) ok = (rank.i()[r] >= first_datum) == (r < nd);
            if (!require(ok, "build", "the data (nodes first_datum and above) must take the lowest "
                         "ranks, before the kriged nodes"))
                return nullptr;
        }
        if (slotso != Py_None) {
            bool ok = dslots.n() == Nkrig;
            for (Py_ssize_t k = 0; ok && k < Nkrig; ++k) ok = dslots.i()[k] >= 0;
            if (!require(ok, "build", "data_slots must hold a count >= 0 per kriged node"))
                return nullptr;
            data.slots = dslots.i();
        }
        if (noisy != nullptr) {
            bool ok = noise.n() == N;
            for (Py_ssize_t k = 0; ok && k < N; ++k) ok = noisy[k] >= 0.0 && std::isfinite(noisy[k]);
            if (!require(ok, "build", "noise must hold a finite variance >= 0 for every node"))
                return nullptr;
        }
        const Py_ssize_t Nchol = N - Nkrig;
        const Factors f = fa.factors(rank.i() + Nchol);
        std::atomic<std::ptrdiff_t> done{0};
        const std::ptrdiff_t total = (Nkrig + 255) / 256;
        Between between(progress, "weights", total, &done);
        std::ptrdiff_t nblocks = 0;
        if (!build_factors(x.d(), z.d(), sigma.d(), N, Nchol, rank.i(), theta, model, tol, nugget,
                           m_chol, candidates, gain, f, done, nblocks, between, data))
            return nullptr;
        if (!between.report(total)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* py_pack(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kw[] = {"start", "count", "nbr", "weight", nullptr};
        PyObject *sto, *co, *no, *wo;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:pack", const_cast<char**>(kw), &sto,
                                         &co, &no, &wo))
            return nullptr;
        Arr start, count, nbr, weight;
        if (!start.get(sto, 'q', 1, true, "start") || !count.get(co, 'i', 1, false, "count") ||
            !nbr.get(no, 'i', 1, true, "nbr") || !weight.get(wo, 'd', 1, true, "weight"))
            return nullptr;
        const Py_ssize_t Nkrig = count.n();
        if (!require(start.n() == Nkrig + 1 && weight.n() == nbr.n(), "pack",
                     "start, count, nbr and weight disagree on the kriged nodes or slots"))
            return nullptr;
        std::int64_t* const st = start.q();
        const std::int32_t* const c = count.i();
        bool ok = st[0] == 0 && st[Nkrig] == nbr.n();
        for (Py_ssize_t j = 0; ok && j < Nkrig; ++j)
            ok = st[j] <= st[j + 1] && c[j] >= 0 && c[j] <= st[j + 1] - st[j];
        if (!require(ok, "pack", "start must rise from 0 to the length of nbr, and every count "
                     "fit its slots"))
            return nullptr;
        return PyLong_FromLongLong(pack_factors(Nkrig, st, c, nbr.i(), weight.d()));
    });
}

PyObject* py_draw(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kw[] = {"out", "eps", "mu", "chol_ind", "slot", "node", "start", "nbr",
                                   "weight", "count", "scale", "fixed", nullptr};
        PyObject *oo, *eo, *muo, *co, *slo, *no, *sto, *nbo, *wo, *cto, *sco, *fxo = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOO|O:draw", const_cast<char**>(kw),
                                         &oo, &eo, &muo, &co, &slo, &no, &sto, &nbo, &wo, &cto,
                                         &sco, &fxo))
            return nullptr;
        Arr out, eps, mu, chol, slot, node, fixed;
        FactorArgs fa;
        if (!out.get(oo, 'd', 2, true, "out") || !eps.get(eo, 'd', 2, false, "eps", true) ||
            !mu.get(muo, 'd', 1, false, "mu") || !chol.get(co, 'i', 1, false, "chol_ind") ||
            !slot.get(slo, 'i', 1, false, "slot") || !node.get(no, 'i', 1, false, "node") ||
            !fa.get("draw", sto, nbo, wo, cto, sco, false) ||
            (fxo != Py_None && !fixed.get(fxo, 'd', 1, false, "fixed")))
            return nullptr;
        const Py_ssize_t rows = out.n(0), N = out.n(1), Nkrig = node.n();
        const Py_ssize_t nfixed = fxo != Py_None ? fixed.n() : 0;
        // Indices are checked once here, so that the kernel may trust them.
        if (!require(N <= max_nodes - nfixed, "draw", "more than 2**31 - 1 nodes and data") ||
            !require(mu.n() == N, "draw", "mu and the rows of out differ in length") ||
            !require(eps.n(0) == rows && eps.n(1) == Nkrig, "draw",
                     "eps must have a row per row of out and a column per kriged node") ||
            !require(slot.n() == Nkrig && fa.count.n() == Nkrig, "draw",
                     "slot, node and the factors disagree on the kriged nodes") ||
            !require(chol.within(N) && node.within(N) && slot.within(Nkrig) &&
                         fa.nbr.within(N + nfixed) && fa.counts_fit(),
                     "draw", "an index is out of range"))
            return nullptr;
        const Factors f = fa.factors(node.i());
        Between between(Py_None, "draw", 0, nullptr);
        if (!draw_rows(out.d(), eps.d(), eps.row_stride(), rows, N, mu.d(), chol.i(), chol.n(),
                       slot.i(), f, between, nfixed ? fixed.d() : nullptr, nfixed))
            return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* py_draw_scratch_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"N", "rows", nullptr};
    Py_ssize_t N, rows;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nn:draw_scratch_bytes", const_cast<char**>(kw),
                                     &N, &rows))
        return nullptr;
    if (!require(N >= 0 && rows >= 0, "draw_scratch_bytes", "N and rows must be >= 0"))
        return nullptr;
    // threads x N x group doubles, the group at most draw_group rows.
    const std::ptrdiff_t threads = draw_threads(rows, N);
    std::ptrdiff_t bytes;
    if (__builtin_mul_overflow(threads * draw_group * 8, N, &bytes)) {
        PyErr_Format(PyExc_OverflowError, "draw_scratch_bytes: the scratch of %zd nodes overflows",
                     N);
        return nullptr;
    }
    return PyLong_FromSsize_t(8 * draw_scratch_doubles(N, rows, static_cast<int>(threads)));
}

PyObject* py_threads(PyObject*, PyObject*) { return PyLong_FromLong(configured_threads()); }

#define KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)), METH_VARARGS | METH_KEYWORDS

PyMethodDef methods[] = {
    {"order", KW(py_order),
     "order($module, /, x, z, chol_ind, krig_ind, out, dist)\n--\n\n"
     "The kriged nodes, coarse to fine, into out (int32)."},
    {"maxmin", KW(py_maxmin),
     "maxmin($module, /, x, z, chol_ind, krig_ind, out)\n--\n\n"
     "The kriged nodes in max-min order (each the farthest from all before it), into out "
     "(int32)."},
    {"neighbours", KW(py_neighbours),
     "neighbours($module, /, x, z, node_of_rank, out)\n--\n\n"
     "For every rank r, the ranks of the out.shape[1] nodes nearest to the node of rank r among those of lower rank, nearest first (ties to "
     "the lower rank), -1 past the last, into the row r of out (int32)."},
    {"build", KW(py_build),
     "build($module, /, x, z, sigma, node_of_rank, theta, model, tol, nugget, chol_neighbours, "
     "start, nbr, weight, count, scale, progress=None, candidates=0, gain=0.0, noise=None, "
     "first_datum=-1, data_slots=None)\n--\n\n"
     "Neighbours, weights and conditional deviations of the "
     "kriged nodes, the last len(count) of node_of_rank; node j looks for start[j+1] - start[j] "
     "neighbours, into its slots start[j] .. start[j+1] of nbr and weight; candidates above "
     "that number: the neighbours are picked from that many nearest ones by what they add "
     "(greedy conditional selection; without chol_neighbours), stopping early when the best "
     "pick would take less than gain times the node's variance off its conditional variance; "
     "noise: a variance per node added to its own diagonal when it is a neighbour (measured "
     "data); nodes first_datum and above (when >= 0) are data, which take no nugget and the "
     "lowest ranks; data_slots: how many of each kriged node's slots hold its nearest data."},
    {"pack", KW(py_pack),
     "pack($module, /, start, count, nbr, weight)\n--\n\n"
     "Drops the unused slots of the factors in place: node j's count[j] used slots move down "
     "to follow node j-1's, start becomes the packed offsets; returns the slots used (the "
     "length to which nbr and weight are then cut)."},
    {"draw", KW(py_draw),
     "draw($module, /, out, eps, mu, chol_ind, slot, node, start, nbr, weight, count, scale, "
     "fixed=None)\n--\n\n"
     "The kriged columns of out from its Cholesky columns and the variates eps; neighbours "
     "N .. N + len(fixed) - 1 are data whose deviations from the mean are fixed."},
    {"draw_scratch_bytes", KW(py_draw_scratch_bytes),
     "draw_scratch_bytes($module, /, N, rows)\n--\n\nBytes of scratch that draw takes for rows realisations."},
    {"threads", py_threads, METH_NOARGS, "threads($module, /)\n--\n\nThe number of threads the kernels use."},
    {nullptr, nullptr, 0, nullptr}};
#undef KW

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kernels",
                          "Kernels of the conditional fill (neighbours, factors, draw).", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace random_field

PyMODINIT_FUNC PyInit__kernels(void) { return PyModule_Create(&random_field::module_def); }
