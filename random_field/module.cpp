// The module: its initialisation (numpy bound to `np`, then the seven
// functions, then `__test__`), and the random-field driver, which runs one
// whole realisation by calling the other functions by name.
#include "binding.h"
#include "functions.h"

#include <string>

namespace random_field {

namespace {

// print(line) through the interpreter's built-in print.
bool print_line(const char* line) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* print = builtins != nullptr ? PyDict_GetItemWithError(builtins, names.print)
                                          : nullptr;
    if (print == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.print);
        return false;
    }
    Ref keep = Ref::borrow(print);
    Ref text = Ref::steal(PyUnicode_FromString(line));
    if (!text) return false;
    return static_cast<bool>(call(print, {text.get()}));
}

// Prints `line` and ends the call with None (or with print's own error).
PyObject* report(const char* line) {
    if (!print_line(line)) return nullptr;
    Py_RETURN_NONE;
}

// `dict[key]` for a key known to be present.
Ref item(PyObject* dict, const char* key) {
    PyObject* v = PyDict_GetItemString(dict, key);
    if (v == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, key);
        return Ref();
    }
    return Ref::borrow(v);
}

// 1 when `key` is among the keys, 0 when not, -1 on error.
int has_key(PyObject* dict, const char* key) {
    Ref k = Ref::steal(PyUnicode_FromString(key));
    if (!k) return -1;
    return PyDict_Contains(dict, k.get());
}

Py_ssize_t length(PyObject* o) { return PyObject_Length(o); }

// np.full(n, value, dtype=np.float64) when np.isscalar(value), else
// `otherwise(value)`; returns the normalised value.
template <class Otherwise>
Ref spread_scalar(PyObject* module, PyObject* value, Py_ssize_t n, const Otherwise& otherwise) {
    Ref isscalar = np_attr(module, names.isscalar);
    if (!isscalar) return Ref();
    Ref test = call(isscalar.get(), {value});
    if (!test) return Ref();
    const int scalar = PyObject_IsTrue(test.get());
    if (scalar < 0) return Ref();
    if (!scalar) return otherwise(value);
    Ref full = np_attr(module, names.full);
    if (!full) return Ref();
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    if (!count) return Ref();
    Ref float64 = np_attr(module, names.float64);
    if (!float64) return Ref();
    return call(full.get(), {count.get(), value, float64.get()}, names.dtype_kw);
}

// np.asarray(value, dtype=np.float64)
Ref as_float64(PyObject* module, PyObject* value) {
    Ref asarray = np_attr(module, names.asarray);
    if (!asarray) return Ref();
    Ref float64 = np_attr(module, names.float64);
    if (!float64) return Ref();
    return call(asarray.get(), {value, float64.get()}, names.dtype_kw);
}

// The module function `name`, resolved now, called with positional arguments.
Ref call_stage(PyObject* module, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref f = lookup_global(module, name);
    if (!f) return Ref();
    return call(f.get(), args);
}

// Unpacks exactly `n` items of `seq` into out[0..n).
bool unpack(PyObject* seq, Ref* out, Py_ssize_t n) {
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        out[k] = Ref::steal(PyIter_Next(it.get()));
        if (!out[k]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", k,
                             k == 1 ? "" : "s");
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

// values[list(ind)]
Ref gather(PyObject* values, PyObject* ind) {
    Ref list = Ref::steal(PySequence_List(ind));
    if (!list) return Ref();
    return Ref::steal(PyObject_GetItem(values, list.get()));
}

// rf[ind] = field[i] for the i-th element ind of `ind`.
bool scatter(PyObject* rf, PyObject* ind, PyObject* field) {
    Ref it = Ref::steal(PyObject_GetIter(ind));
    if (!it) return false;
    for (Py_ssize_t i = 0;; ++i) {
        Ref node = Ref::steal(PyIter_Next(it.get()));
        if (!node) return !PyErr_Occurred();
        Ref position = Ref::steal(PyLong_FromSsize_t(i));
        if (!position) return false;
        Ref value = Ref::steal(PyObject_GetItem(field, position.get()));
        if (!value || PyObject_SetItem(rf, node.get(), value.get()) < 0) return false;
    }
}

// np.zeros(n)
Ref zeros(PyObject* module, Py_ssize_t n) {
    Ref f = np_attr(module, names.zeros);
    if (!f) return Ref();
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    if (!count) return Ref();
    return call(f.get(), {count.get()});
}

PyObject* driver(PyObject* module, PyObject* kwargs) {
    // 1. The required keys, in this order; the first one missing is reported.
    static const char* const required[] = {"x", "z", "theta_z", "mu", "sigma"};
    for (const char* r : required) {
        const int present = has_key(kwargs, r);
        if (present < 0) return nullptr;
        if (!present) {
            const std::string line =
                std::string(r) + " must be included like this \"" + r + "= value\"";
            return report(line.c_str());
        }
    }

    // 2-3. Node coordinates as arrays, of one length.
    Ref asarray = np_attr(module, names.asarray);
    if (!asarray) return nullptr;
    Ref x_in = item(kwargs, "x");
    if (!x_in) return nullptr;
    Ref x = call(asarray.get(), {x_in.get()});
    if (!x) return nullptr;
    asarray = np_attr(module, names.asarray);
    if (!asarray) return nullptr;
    Ref z_in = item(kwargs, "z");
    if (!z_in) return nullptr;
    Ref z = call(asarray.get(), {z_in.get()});
    if (!z) return nullptr;
    const Py_ssize_t N = length(x.get());
    if (N < 0) return nullptr;
    const Py_ssize_t Nz = length(z.get());
    if (Nz < 0) return nullptr;
    if (N != Nz) return report("x and z arrays must have the same number of elements");

    // 4-8. Parameters; sigma and mu spread over the nodes when scalar.
    Ref theta_z = item(kwargs, "theta_z");
    Ref mu = item(kwargs, "mu");
    Ref sigma = item(kwargs, "sigma");
    if (!theta_z || !mu || !sigma) return nullptr;
    sigma = spread_scalar(module, sigma.get(), N,
                          [&](PyObject* v) { return as_float64(module, v); });
    if (!sigma) return nullptr;
    const Py_ssize_t Nsigma = length(sigma.get());
    if (Nsigma < 0) return nullptr;
    if (Nsigma != N) return report("sigma array must be same length as x- ans z- arrays");
    mu = spread_scalar(module, mu.get(), N, [](PyObject* v) { return Ref::borrow(v); });
    if (!mu) return nullptr;
    if (PyList_Check(mu.get())) {
        mu = as_float64(module, mu.get());
        if (!mu) return nullptr;
    }
    const Py_ssize_t Nmu = length(mu.get());
    if (Nmu < 0) return nullptr;
    if (Nmu != N) return report("mu array must be same length as x- and z- arrays");

    // 9. Defaults, decided by the presence of each key.
    Ref model, theta_x, Dhchol;
    int present = has_key(kwargs, "model");
    if (present < 0) return nullptr;
    model = present ? item(kwargs, "model") : Ref::steal(PyLong_FromLong(0));
    if (!model) return nullptr;
    present = has_key(kwargs, "theta_x");
    if (present < 0) return nullptr;
    theta_x = present ? item(kwargs, "theta_x") : Ref::borrow(theta_z.get());
    if (!theta_x) return nullptr;
    present = has_key(kwargs, "Dhchol");
    if (present < 0) return nullptr;
    if (present) {
        Dhchol = item(kwargs, "Dhchol");
    } else {
        // np.sqrt(2.0 * np.pi) * theta_z / 4.0
        Ref sqrt = np_attr(module, names.sqrt);
        if (!sqrt) return nullptr;
        Ref pi = np_attr(module, names.pi);
        Ref two = Ref::steal(PyFloat_FromDouble(2.0));
        if (!pi || !two) return nullptr;
        Ref two_pi = Ref::steal(PyNumber_Multiply(two.get(), pi.get()));
        if (!two_pi) return nullptr;
        Ref root = call(sqrt.get(), {two_pi.get()});
        if (!root) return nullptr;
        Ref scaled = Ref::steal(PyNumber_Multiply(root.get(), theta_z.get()));
        Ref four = Ref::steal(PyFloat_FromDouble(4.0));
        if (!scaled || !four) return nullptr;
        Dhchol = Ref::steal(PyNumber_TrueDivide(scaled.get(), four.get()));
    }
    if (!Dhchol) return nullptr;

    // 10. Stretch x so that the correlation becomes isotropic with theta_z.
    {
        Ref product = Ref::steal(PyNumber_Multiply(x.get(), theta_z.get()));
        if (!product) return nullptr;
        x = Ref::steal(PyNumber_TrueDivide(product.get(), theta_x.get()));
        if (!x) return nullptr;
    }
    // No nodes: an empty field, and no random numbers drawn.
    if (N == 0) return zeros(module, 0).release();

    // 11. Node partition.
    Ref partition = call_stage(module, names.get_chol_krig_nodes, {x.get(), z.get(), Dhchol.get()});
    if (!partition) return nullptr;
    Ref parts[6];
    if (!unpack(partition.get(), parts, 6)) return nullptr;
    PyObject* const chol_ind = parts[0].get();
    PyObject* const xvchol = parts[1].get();
    PyObject* const zvchol = parts[2].get();
    PyObject* const krig_ind = parts[3].get();
    PyObject* const xvkrig = parts[4].get();
    PyObject* const zvkrig = parts[5].get();

    // 12. Gathers.
    Ref sigma_chol = gather(sigma.get(), chol_ind);
    if (!sigma_chol) return nullptr;
    Ref sigma_krig = gather(sigma.get(), krig_ind);
    if (!sigma_krig) return nullptr;
    Ref mu_chol = gather(mu.get(), chol_ind);
    if (!mu_chol) return nullptr;

    // 13-16. The stages.
    Ref COV = call_stage(module, names.get_COV,
                         {xvchol, zvchol, theta_z.get(), model.get(), sigma_chol.get()});
    if (!COV) return nullptr;
    Ref chol_field = call_stage(module, names.get_chol_field, {COV.get(), mu_chol.get()});
    if (!chol_field) return nullptr;
    Ref C_chol_krig = call_stage(module, names.get_C_chol_krig,
                                 {xvchol, zvchol, xvkrig, zvkrig, theta_z.get(), model.get(),
                                  sigma_chol.get(), sigma_krig.get()});
    if (!C_chol_krig) return nullptr;
    Ref krig_field = call_stage(module, names.get_krig_field,
                                {COV.get(), C_chol_krig.get(), chol_field.get()});
    if (!krig_field) return nullptr;

    // 17-20. Assembly.
    Ref rf = zeros(module, N);
    if (!rf) return nullptr;
    if (!scatter(rf.get(), chol_ind, chol_field.get())) return nullptr;
    if (!scatter(rf.get(), krig_ind, krig_field.get())) return nullptr;
    return rf.release();
}

}  // namespace

PyObject* py_get_random_field(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref dict = bind_keywords_only("get_random_field", args, kwargs);
        if (!dict) return nullptr;
        return driver(module, dict.get());
    });
}

namespace {

#define RF_METHOD(name)                                                             \
    {                                                                               \
        #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_##name)), \
            METH_VARARGS | METH_KEYWORDS, nullptr                                   \
    }

PyMethodDef functions[] = {
    RF_METHOD(get_COV),
    RF_METHOD(get_C_chol_krig),
    RF_METHOD(get_chol_krig_nodes),
    RF_METHOD(get_chol_field),
    RF_METHOD(get_krig_field),
    RF_METHOD(sort_nodes),
    RF_METHOD(get_random_field),
    {nullptr, nullptr, 0, nullptr},
};

#undef RF_METHOD

// numpy first, so that a failed numpy import fails the import; then the
// functions, in order; then __test__.
int exec_module(PyObject* module) {
    if (!init_names()) return -1;
    Ref np = Ref::steal(PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0));
    if (!np) return -1;
    if (PyModule_AddObject(module, "np", np.get()) < 0) return -1;
    np.release();
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    if (PyModule_AddObject(module, "__test__", test.get()) < 0) return -1;
    test.release();
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The interned names are shared process-wide: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "random_field",
    nullptr,  // no docstring
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace random_field

PyMODINIT_FUNC PyInit_random_field(void) { return PyModuleDef_Init(&random_field::module_def); }
