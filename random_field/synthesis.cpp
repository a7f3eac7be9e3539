// get_chol_field and get_krig_field: the field on the Cholesky nodes and its
// kriged values elsewhere, computed by numpy. Each numpy facility is looked up
// through `np` at the moment of use, in the order the steps below need them,
// and every exception that numpy or the interpreter raises passes through.
#include "binding.h"
#include "functions.h"

namespace random_field {

namespace {

const char* const chol_params[] = {"COV", "mu"};
const Signature chol_sig{"get_chol_field", chol_params, 2};

const char* const krig_params[] = {"COV", "C_chol_krig", "chol_field"};
const Signature krig_sig{"get_krig_field", krig_params, 3};

// np.<outer>.<inner>, e.g. np.linalg.solve.
Ref np_attr2(PyObject* module, PyObject* outer, PyObject* inner) {
    Ref o = np_attr(module, outer);
    if (!o) return Ref();
    return Ref::steal(PyObject_GetAttr(o.get(), inner));
}

Ref ssize(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }

}  // namespace

PyObject* py_get_chol_field(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref a[2];
        if (!bind(chol_sig, args, kwargs, a)) return nullptr;
        PyObject* const COV = a[0].get();
        PyObject* const mu = a[1].get();

        const Py_ssize_t n = PyObject_Length(COV);
        if (n < 0) return nullptr;
        Ref Nchol = ssize(n);
        if (!Nchol) return nullptr;

        // rv = np.random.normal(loc=0, scale=1, size=Nchol): drawn first.
        Ref normal = np_attr2(module, names.random, names.normal);
        if (!normal) return nullptr;
        Ref zero = ssize(0), one = ssize(1);
        Ref kw = Ref::steal(PyTuple_Pack(3, names.loc, names.scale, names.size));
        if (!zero || !one || !kw) return nullptr;
        Ref rv = call(normal.get(), {zero.get(), one.get(), Nchol.get()}, kw.get());
        if (!rv) return nullptr;

        // A = COV + (0.0001 * np.min(COV)) * np.identity(Nchol)
        Ref cholesky = np_attr2(module, names.linalg, names.cholesky);
        if (!cholesky) return nullptr;
        Ref min = np_attr(module, names.min);
        if (!min) return nullptr;
        Ref m = call(min.get(), {COV});
        if (!m) return nullptr;
        Ref factor = Ref::steal(PyFloat_FromDouble(0.0001));
        if (!factor) return nullptr;
        Ref t = Ref::steal(PyNumber_Multiply(factor.get(), m.get()));
        if (!t) return nullptr;
        Ref identity = np_attr(module, names.identity);
        if (!identity) return nullptr;
        Ref I = call(identity.get(), {Nchol.get()});
        if (!I) return nullptr;
        Ref J = Ref::steal(PyNumber_Multiply(t.get(), I.get()));
        if (!J) return nullptr;
        Ref A = Ref::steal(PyNumber_Add(COV, J.get()));
        if (!A) return nullptr;
        Ref L_chol = call(cholesky.get(), {A.get()});
        if (!L_chol) return nullptr;

        // chol_field = mu + (L_chol @ rv)
        Ref product = Ref::steal(PyNumber_MatrixMultiply(L_chol.get(), rv.get()));
        if (!product) return nullptr;
        return PyNumber_Add(mu, product.get());
    });
}

PyObject* py_get_krig_field(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref a[3];
        if (!bind(krig_sig, args, kwargs, a)) return nullptr;
        PyObject* const chol_field = a[2].get();

        const Py_ssize_t n = PyObject_Length(a[0].get());
        if (n < 0) return nullptr;
        Ref Nchol = ssize(n);
        if (!Nchol) return nullptr;
        Ref shape = Ref::steal(PyObject_GetAttr(a[1].get(), names.shape));
        if (!shape) return nullptr;
        Ref one = ssize(1);
        if (!one) return nullptr;
        Ref Nkrig = Ref::steal(PyObject_GetItem(shape.get(), one.get()));
        if (!Nkrig) return nullptr;

        // C_chol_krig = np.vstack((C_chol_krig, np.ones(Nkrig)))
        Ref vstack = np_attr(module, names.vstack);
        if (!vstack) return nullptr;
        Ref ones = np_attr(module, names.ones);
        if (!ones) return nullptr;
        Ref ones_row = call(ones.get(), {Nkrig.get()});
        if (!ones_row) return nullptr;
        Ref pair = Ref::steal(PyTuple_Pack(2, a[1].get(), ones_row.get()));
        if (!pair) return nullptr;
        Ref C_chol_krig = call(vstack.get(), {pair.get()});
        if (!C_chol_krig) return nullptr;

        // COV = np.hstack((COV, np.transpose([np.ones(Nchol)])))
        Ref hstack = np_attr(module, names.hstack);
        if (!hstack) return nullptr;
        Ref transpose = np_attr(module, names.transpose);
        if (!transpose) return nullptr;
        ones = np_attr(module, names.ones);
        if (!ones) return nullptr;
        Ref ones_col = call(ones.get(), {Nchol.get()});
        if (!ones_col) return nullptr;
        Ref wrapped = Ref::steal(PyList_New(1));
        if (!wrapped) return nullptr;
        PyList_SET_ITEM(wrapped.get(), 0, ones_col.release());
        Ref column = call(transpose.get(), {wrapped.get()});
        if (!column) return nullptr;
        pair = Ref::steal(PyTuple_Pack(2, a[0].get(), column.get()));
        if (!pair) return nullptr;
        Ref COV = call(hstack.get(), {pair.get()});
        if (!COV) return nullptr;

        // COV = np.vstack((COV, np.ones(Nchol + 1))); COV[Nchol, Nchol] = 0.0
        vstack = np_attr(module, names.vstack);
        if (!vstack) return nullptr;
        ones = np_attr(module, names.ones);
        if (!ones) return nullptr;
        Ref count = Ref::steal(PyNumber_Add(Nchol.get(), one.get()));
        if (!count) return nullptr;
        ones_row = call(ones.get(), {count.get()});
        if (!ones_row) return nullptr;
        pair = Ref::steal(PyTuple_Pack(2, COV.get(), ones_row.get()));
        if (!pair) return nullptr;
        COV = call(vstack.get(), {pair.get()});
        if (!COV) return nullptr;
        Ref corner = Ref::steal(PyTuple_Pack(2, Nchol.get(), Nchol.get()));
        Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
        if (!corner || !zero) return nullptr;
        if (PyObject_SetItem(COV.get(), corner.get(), zero.get()) < 0) return nullptr;

        // krig = np.linalg.solve(COV, C_chol_krig); W = krig[0:Nchol, 0:Nkrig]
        Ref solve = np_attr2(module, names.linalg, names.solve);
        if (!solve) return nullptr;
        Ref krig = call(solve.get(), {COV.get(), C_chol_krig.get()});
        if (!krig) return nullptr;
        Ref start = ssize(0);
        if (!start) return nullptr;
        Ref rows = Ref::steal(PySlice_New(start.get(), Nchol.get(), nullptr));
        Ref cols = Ref::steal(PySlice_New(start.get(), Nkrig.get(), nullptr));
        if (!rows || !cols) return nullptr;
        Ref index = Ref::steal(PyTuple_Pack(2, rows.get(), cols.get()));
        if (!index) return nullptr;
        Ref W = Ref::steal(PyObject_GetItem(krig.get(), index.get()));
        if (!W) return nullptr;

        // krig_field = np.transpose(W) @ chol_field
        transpose = np_attr(module, names.transpose);
        if (!transpose) return nullptr;
        Ref Wt = call(transpose.get(), {W.get()});
        if (!Wt) return nullptr;
        return PyNumber_MatrixMultiply(Wt.get(), chol_field);
    });
}

}  // namespace random_field
