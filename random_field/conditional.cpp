// random_field_sampler._kernels: the glue around the conditional fill's
// kernels (neighbours.h, vecchia.h). Thin: it checks the buffers it is given
// (type, size, contiguity, writability), runs the kernel on them with the
// interpreter lock held, and reports progress and signals between blocks of
// work. The arrays are allocated by the caller, in Python, which accounts
// for their memory.
#include "pyref.h"
#include "vecchia.h"

#include <chrono>
#include <cstring>

namespace random_field {
namespace {

// A C-contiguous buffer of n elements of type 'd' (float64) or 'i' (int32).
class Arr {
public:
    bool get(PyObject* obj, char type, Py_ssize_t n, bool writable, const char* name) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
        if (writable) flags |= PyBUF_WRITABLE;
        if (!buf_.acquire(obj, flags)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s: a C-contiguous%s array is needed", name,
                         writable ? ", writable" : "");
            return false;
        }
        const Py_buffer& v = buf_.view();
        const char* f = v.format ? v.format : "B";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        const Py_ssize_t size = type == 'd' ? 8 : 4;
        if (f[0] != type || f[1] != '\0' || v.itemsize != size) {
            PyErr_Format(PyExc_TypeError, "%s: %s elements are needed", name,
                         type == 'd' ? "float64" : "int32");
            return false;
        }
        if (v.len != n * size) {
            PyErr_Format(PyExc_ValueError, "%s: %zd elements are needed, not %zd", name, n,
                         v.len / size);
            return false;
        }
        return true;
    }
    // A two-dimensional float64 array of shape (rows, cols) whose rows are
    // contiguous and start `row_stride` elements apart (a column slice of
    // a larger C-contiguous array, for example).
    bool get_rows(PyObject* obj, Py_ssize_t rows, Py_ssize_t cols, const char* name,
                  Py_ssize_t* row_stride) {
        if (!buf_.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s: a two-dimensional float64 array is needed", name);
            return false;
        }
        const Py_buffer& v = buf_.view();
        const char* f = v.format ? v.format : "B";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        if (f[0] != 'd' || f[1] != '\0' || v.itemsize != 8 || v.ndim != 2) {
            PyErr_Format(PyExc_TypeError, "%s: a two-dimensional float64 array is needed", name);
            return false;
        }
        if (v.shape[0] != rows || v.shape[1] != cols) {
            PyErr_Format(PyExc_ValueError, "%s: shape (%zd, %zd) is needed, not (%zd, %zd)", name,
                         rows, cols, v.shape[0], v.shape[1]);
            return false;
        }
        // An exporter may leave the steps out (ctypes does): the buffer is
        // then C-contiguous.
        const Py_ssize_t s0 = v.strides != nullptr ? v.strides[0] : 8 * cols;
        const Py_ssize_t s1 = v.strides != nullptr ? v.strides[1] : 8;
        if ((cols > 1 && s1 != 8) || (rows > 1 && (s0 < 8 * cols || s0 % 8 != 0))) {
            PyErr_Format(PyExc_ValueError, "%s: rows of contiguous elements are needed", name);
            return false;
        }
        *row_stride = rows > 1 ? s0 / 8 : cols;
        return true;
    }
    double* d() const { return static_cast<double*>(buf_.view().buf); }
    std::int32_t* i() const { return static_cast<std::int32_t*>(buf_.view().buf); }
private:
    Buffer buf_;
};


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
// and kriged node indices (each in 0 .. N-1) and the output of Nkrig ranks.
struct OrderArgs {
    Py_ssize_t N = 0, Nchol = 0, Nkrig = 0;
    Arr x, z, chol, krig, out;

    bool get(const char* name, PyObject* xo, PyObject* zo, PyObject* co, PyObject* ko,
             PyObject* oo) {
        if (N < 0 || Nchol < 0 || Nkrig < 0 || Nchol + Nkrig > N || N > 2147483647) {
            PyErr_Format(PyExc_ValueError, "%s: inconsistent sizes", name);
            return false;
        }
        if (!x.get(xo, 'd', N, false, "x") || !z.get(zo, 'd', N, false, "z") ||
            !chol.get(co, 'i', Nchol, false, "chol_ind") ||
            !krig.get(ko, 'i', Nkrig, false, "krig_ind") || !out.get(oo, 'i', Nkrig, true, "out"))
            return false;
        auto bad = [this](const std::int32_t* a, Py_ssize_t n) {
            for (Py_ssize_t k = 0; k < n; ++k)
                if (a[k] < 0 || a[k] >= N) return true;
            return false;
        };
        if (bad(chol.i(), Nchol) || bad(krig.i(), Nkrig)) {
            PyErr_Format(PyExc_ValueError, "%s: an index is out of range", name);
            return false;
        }
        return true;
    }

    void put(const std::vector<std::int32_t>& order) const {
        if (!order.empty())
            std::memcpy(out.i(), order.data(), order.size() * sizeof(std::int32_t));
    }
};

PyObject* py_order(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *xo, *zo, *co, *ko, *oo;
        OrderArgs a;
        double dist;
        if (!PyArg_ParseTuple(args, "OOnOnOnOd:order", &xo, &zo, &a.N, &co, &a.Nchol, &ko,
                              &a.Nkrig, &oo, &dist) ||
            !a.get("order", xo, zo, co, ko, oo))
            return nullptr;
        a.put(coarse_to_fine(a.x.d(), a.z.d(), a.N, a.chol.i(), a.Nchol, a.krig.i(), a.Nkrig,
                             dist));
        Py_RETURN_NONE;
    });
}

PyObject* py_maxmin(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *xo, *zo, *co, *ko, *oo;
        OrderArgs a;
        if (!PyArg_ParseTuple(args, "OOnOnOnO:maxmin", &xo, &zo, &a.N, &co, &a.Nchol, &ko,
                              &a.Nkrig, &oo) ||
            !a.get("maxmin", xo, zo, co, ko, oo))
            return nullptr;
        a.put(maxmin_order(a.x.d(), a.z.d(), a.N, a.chol.i(), a.Nchol, a.krig.i(), a.Nkrig));
        Py_RETURN_NONE;
    });
}

// build(x, z, sigma, N, node_of_rank, Nchol, theta, model, m, tol,
//       nbr, weight, count, scale, progress)
PyObject* py_build(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *xo, *zo, *so, *ro, *no, *wo, *co, *do_, *progress;
        Py_ssize_t N, Nchol, m, m_chol;
        double theta, tol, nugget;
        int model;
        if (!PyArg_ParseTuple(args, "OOOnOndinddnOOOOO:build", &xo, &zo, &so, &N, &ro, &Nchol,
                              &theta, &model, &m, &tol, &nugget, &m_chol, &no, &wo, &co, &do_,
                              &progress))
            return nullptr;
        if (N < 0 || Nchol < 0 || Nchol > N || m < 0 || N > 2147483647) {
            PyErr_SetString(PyExc_ValueError, "build: inconsistent sizes");
            return nullptr;
        }
        const Py_ssize_t Nkrig = N - Nchol;
        Arr x, z, sigma, rank, nbr, weight, count, scale;
        if (!x.get(xo, 'd', N, false, "x") || !z.get(zo, 'd', N, false, "z") ||
            !sigma.get(so, 'd', N, false, "sigma") ||
            !rank.get(ro, 'i', N, false, "node_of_rank") ||
            !nbr.get(no, 'i', Nkrig * m, true, "nbr") ||
            !weight.get(wo, 'd', Nkrig * m, true, "weight") ||
            !count.get(co, 'i', Nkrig, true, "count") ||
            !scale.get(do_, 'd', Nkrig, true, "scale"))
            return nullptr;
        for (Py_ssize_t r = 0; r < N; ++r) {
            const std::int32_t i = rank.i()[r];
            if (i < 0 || i >= N) {
                PyErr_SetString(PyExc_ValueError, "build: node_of_rank holds a bad index");
                return nullptr;
            }
        }
        Factors f;
        f.Nkrig = Nkrig;
        f.m = m;
        f.node = rank.i() + Nchol;
        f.nbr = nbr.i();
        f.weight = weight.d();
        f.count = count.i();
        f.scale = scale.d();
        std::atomic<std::ptrdiff_t> done{0};
        const std::ptrdiff_t total = (Nkrig + 255) / 256;
        Between between(progress, "weights", total, &done);
        std::ptrdiff_t nblocks = 0;
        if (!build_factors(x.d(), z.d(), sigma.d(), N, Nchol, rank.i(), theta, model, tol, nugget, m_chol, f,
                           done, nblocks, between))
            return nullptr;
        if (!between.report(total)) return nullptr;
        Py_RETURN_NONE;
    });
}

// draw(out, eps, rows, N, mu, chol_ind, Nchol, slot, node, nbr, weight,
//      count, scale, m)
PyObject* py_draw(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *oo, *eo, *muo, *co, *slo, *no, *nbo, *wo, *cto, *sco;
        Py_ssize_t rows, N, Nchol, m;
        if (!PyArg_ParseTuple(args, "OOnnOOnOOOOOOn:draw", &oo, &eo, &rows, &N, &muo, &co,
                              &Nchol, &slo, &no, &nbo, &wo, &cto, &sco, &m))
            return nullptr;
        if (rows < 0 || N < 0 || Nchol < 0 || Nchol > N || m < 0) {
            PyErr_SetString(PyExc_ValueError, "draw: inconsistent sizes");
            return nullptr;
        }
        const Py_ssize_t Nkrig = N - Nchol;
        Arr out, eps, mu, chol, slot, node, nbr, weight, count, scale;
        Py_ssize_t eps_stride = Nkrig;
        if (!out.get(oo, 'd', rows * N, true, "out") ||
            !eps.get_rows(eo, rows, Nkrig, "eps", &eps_stride) || !mu.get(muo, 'd', N, false, "mu") ||
            !chol.get(co, 'i', Nchol, false, "chol_ind") ||
            !slot.get(slo, 'i', Nkrig, false, "slot") || !node.get(no, 'i', Nkrig, false, "node") ||
            !nbr.get(nbo, 'i', Nkrig * m, false, "nbr") ||
            !weight.get(wo, 'd', Nkrig * m, false, "weight") ||
            !count.get(cto, 'i', Nkrig, false, "count") ||
            !scale.get(sco, 'd', Nkrig, false, "scale"))
            return nullptr;
        // Indices are checked once here, so that the kernel may trust them.
        auto bad = [](const std::int32_t* a, Py_ssize_t n, Py_ssize_t limit) {
            for (Py_ssize_t k = 0; k < n; ++k)
                if (a[k] < 0 || a[k] >= limit) return true;
            return false;
        };
        if (bad(chol.i(), Nchol, N) || bad(node.i(), Nkrig, N) || bad(slot.i(), Nkrig, Nkrig) ||
            bad(nbr.i(), Nkrig * m, N) || bad(count.i(), Nkrig, m + 1)) {
            PyErr_SetString(PyExc_ValueError, "draw: an index is out of range");
            return nullptr;
        }
        Factors f;
        f.Nkrig = Nkrig;
        f.m = m;
        f.node = node.i();
        f.nbr = nbr.i();
        f.weight = weight.d();
        f.count = count.i();
        f.scale = scale.d();
        Between between(Py_None, "draw", 0, nullptr);
        if (!draw_rows(out.d(), eps.d(), eps_stride, rows, N, mu.d(), chol.i(), Nchol, slot.i(), f, between))
            return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* py_draw_scratch_bytes(PyObject*, PyObject* args) {
    Py_ssize_t N, rows;
    if (!PyArg_ParseTuple(args, "nn:draw_scratch_bytes", &N, &rows)) return nullptr;
    return PyLong_FromSsize_t(8 * draw_scratch_doubles(N, rows, draw_threads(rows, N)));
}

PyObject* py_threads(PyObject*, PyObject*) { return PyLong_FromLong(configured_threads()); }

PyMethodDef methods[] = {
    {"order", py_order, METH_VARARGS,
     "order(x, z, N, chol_ind, Nchol, krig_ind, Nkrig, out, dist): the kriged nodes, coarse "
     "to fine, into out (int32)."},
    {"maxmin", py_maxmin, METH_VARARGS,
     "maxmin(x, z, N, chol_ind, Nchol, krig_ind, Nkrig, out): the kriged nodes in max-min "
     "order (each the farthest from all before it), into out (int32)."},
    {"build", py_build, METH_VARARGS,
     "build(x, z, sigma, N, node_of_rank, Nchol, theta, model, m, tol, nugget, m_chol, nbr, weight, count, "
     "scale, progress): neighbours, weights and conditional deviations of the kriged nodes."},
    {"draw", py_draw, METH_VARARGS,
     "draw(out, eps, rows, N, mu, chol_ind, Nchol, slot, node, nbr, weight, count, scale, m): "
     "the kriged columns of out from its Cholesky columns and the variates eps."},
    {"draw_scratch_bytes", py_draw_scratch_bytes, METH_VARARGS,
     "draw_scratch_bytes(N, rows): bytes of scratch that draw takes for rows realisations."},
    {"threads", py_threads, METH_NOARGS, "threads(): the number of threads the kernels use."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kernels",
                          "Kernels of the conditional fill (neighbours, factors, draw).", -1,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace random_field

PyMODINIT_FUNC PyInit__kernels(void) { return PyModule_Create(&random_field::module_def); }
