// get_COV and get_C_chol_krig: argument handling around the covariance fills.
#include "binding.h"
#include "covariance.h"
#include "functions.h"

namespace random_field {

namespace {

// np.zeros((rows, cols), dtype="float64"), looked up through the module.
Ref new_matrix(PyObject* module, Py_ssize_t rows, Py_ssize_t cols) {
    Ref zeros = np_attr(module, names.zeros);
    if (!zeros) return Ref();
    Ref shape = Ref::steal(PyTuple_New(2));
    if (!shape) return Ref();
    for (Py_ssize_t k = 0; k < 2; ++k) {
        PyObject* n = PyLong_FromSsize_t(k == 0 ? rows : cols);
        if (n == nullptr) return Ref();
        PyTuple_SET_ITEM(shape.get(), k, n);
    }
    return call(zeros.get(), {shape.get(), names.float64}, names.dtype_kw);
}

bool zero_theta(double theta) {
    if (theta != 0.0) return false;
    PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    return true;
}

// Asked between blocks of a fill: true when a signal handler raised.
bool signalled() { return PyErr_CheckSignals() != 0; }

// np.asarray(C) of the filled matrix, once its buffer is released.
PyObject* finish(PyObject* module, Ref matrix) {
    Ref asarray = np_attr(module, names.asarray);
    if (!asarray) return nullptr;
    return call(asarray.get(), {matrix.get()}).release();
}

const char* const COV_params[] = {"x", "z", "theta", "model", "sigma"};
const Signature COV_sig{"get_COV", COV_params, 5};

const char* const cross_params[] = {"xchol", "zchol",      "xkrig",      "zkrig",
                                    "theta", "model",      "sigma_chol", "sigma_krig"};
const Signature cross_sig{"get_C_chol_krig", cross_params, 8};

}  // namespace

PyObject* py_get_COV(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref a[5];
        if (!bind(COV_sig, args, kwargs, a)) return nullptr;
        ArrayArg x, z, sigma;
        double theta;
        int model;
        if (!x.convert(a[0].get()) || !z.convert(a[1].get()) ||
            !convert_real(a[2].get(), &theta) || !convert_int(a[3].get(), &model) ||
            !sigma.convert(a[4].get()))
            return nullptr;
        const Py_ssize_t N = x.size();
        if (!check_same_length("get_COV", "x, z and sigma", {N, z.size(), sigma.size()}))
            return nullptr;

        Ref C = new_matrix(module, N, N);
        if (!C) return nullptr;
        {
            MatrixArg out;
            if (!out.convert(C.get(), "get_COV", N, N)) return nullptr;
            // Python code may have run since the arrays were first acquired.
            if (!x.refresh(a[0].get(), "get_COV") || !z.refresh(a[1].get(), "get_COV") ||
                !sigma.refresh(a[4].get(), "get_COV"))
                return nullptr;
            if (N > 0 && zero_theta(theta)) return nullptr;
            if (!fill_COV(x.view(), z.view(), sigma.view(), theta, model, out.view(),
                          signalled))
                return nullptr;
        }
        return finish(module, std::move(C));
    });
}

PyObject* py_get_C_chol_krig(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref a[8];
        if (!bind(cross_sig, args, kwargs, a)) return nullptr;
        ArrayArg xchol, zchol, xkrig, zkrig, sigma_chol, sigma_krig;
        double theta;
        int model;
        if (!xchol.convert(a[0].get()) || !zchol.convert(a[1].get()) ||
            !xkrig.convert(a[2].get()) || !zkrig.convert(a[3].get()) ||
            !convert_real(a[4].get(), &theta) || !convert_int(a[5].get(), &model) ||
            !sigma_chol.convert(a[6].get()) || !sigma_krig.convert(a[7].get()))
            return nullptr;
        const Py_ssize_t Nchol = xchol.size(), Nkrig = xkrig.size();
        if (!check_same_length("get_C_chol_krig", "xchol, zchol and sigma_chol",
                               {Nchol, zchol.size(), sigma_chol.size()}) ||
            !check_same_length("get_C_chol_krig", "xkrig, zkrig and sigma_krig",
                               {Nkrig, zkrig.size(), sigma_krig.size()}))
            return nullptr;

        Ref C = new_matrix(module, Nchol, Nkrig);
        if (!C) return nullptr;
        {
            MatrixArg out;
            if (!out.convert(C.get(), "get_C_chol_krig", Nchol, Nkrig)) return nullptr;
            // Python code may have run since the arrays were first acquired.
            const char* const f = "get_C_chol_krig";
            if (!xchol.refresh(a[0].get(), f) || !zchol.refresh(a[1].get(), f) ||
                !xkrig.refresh(a[2].get(), f) || !zkrig.refresh(a[3].get(), f) ||
                !sigma_chol.refresh(a[6].get(), f) || !sigma_krig.refresh(a[7].get(), f))
                return nullptr;
            if (Nchol > 0 && Nkrig > 0 && zero_theta(theta)) return nullptr;
            if (!fill_C_chol_krig(xchol.view(), zchol.view(), xkrig.view(), zkrig.view(),
                                  sigma_chol.view(), sigma_krig.view(), theta, model,
                                  out.view(), signalled))
                return nullptr;
        }
        return finish(module, std::move(C));
    });
}

}  // namespace random_field
