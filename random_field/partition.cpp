// get_chol_krig_nodes and sort_nodes: argument handling around the node
// partition, and the node ordering through numpy's record sort.
#include "binding.h"
#include "functions.h"
#include "partition.h"

namespace random_field {

namespace {

const char* const nodes_params[] = {"x", "z", "dist_max"};
const Signature nodes_sig{"get_chol_krig_nodes", nodes_params, 3};

const char* const sort_params[] = {"x", "z"};
const Signature sort_sig{"sort_nodes", sort_params, 2};

// Asked between blocks of work: true when a signal handler raised.
bool signalled() { return PyErr_CheckSignals() != 0; }

// np.asarray(seq) of a new list holding make(v) for every v of `values`.
template <class T, class Make>
Ref as_array(PyObject* module, const std::vector<T>& values, const Make& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return Ref();
    for (std::size_t k = 0; k < values.size(); ++k) {
        if ((k & 0xFFFF) == 0xFFFF && signalled()) return Ref();
        PyObject* item = make(values[k]);
        if (item == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    Ref asarray = np_attr(module, names.asarray);
    if (!asarray) return Ref();
    return call(asarray.get(), {list.get()});
}

// The six arrays of a partition, each made by np.asarray from a list of
// Python ints (indices) or floats (the coordinates as read from the inputs).
PyObject* partition_result(PyObject* module, const Partition& p, const std::vector<double>& x,
                           const std::vector<double>& z) {
    auto index = [](std::ptrdiff_t i) { return PyLong_FromSsize_t(i); };
    auto x_of = [&](std::ptrdiff_t i) { return PyFloat_FromDouble(x[static_cast<std::size_t>(i)]); };
    auto z_of = [&](std::ptrdiff_t i) { return PyFloat_FromDouble(z[static_cast<std::size_t>(i)]); };
    Ref result = Ref::steal(PyList_New(6));
    if (!result) return nullptr;
    const std::vector<std::ptrdiff_t>* sets[2] = {&p.chol_ind, &p.krig_ind};
    for (int s = 0; s < 2; ++s) {
        Ref a[3] = {as_array(module, *sets[s], index), Ref(), Ref()};
        if (!a[0]) return nullptr;
        a[1] = as_array(module, *sets[s], x_of);
        if (!a[1]) return nullptr;
        a[2] = as_array(module, *sets[s], z_of);
        if (!a[2]) return nullptr;
        for (int k = 0; k < 3; ++k) PyList_SET_ITEM(result.get(), 3 * s + k, a[k].release());
    }
    return result.release();
}

}  // namespace

PyObject* py_get_chol_krig_nodes(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref a[3];
        if (!bind(nodes_sig, args, kwargs, a)) return nullptr;
        ArrayArg x, z;
        double dist_max;
        if (!x.convert(a[0].get()) || !z.convert(a[1].get()) ||
            !convert_real(a[2].get(), &dist_max))
            return nullptr;
        // dist_max's __float__ may have run Python code since x and z were acquired.
        if (!x.refresh(a[0].get(), nodes_sig.name) || !z.refresh(a[1].get(), nodes_sig.name))
            return nullptr;
        if (!check_same_length("get_chol_krig_nodes", "x and z", {x.size(), z.size()}))
            return nullptr;
        if (x.size() == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "get_chol_krig_nodes(): no nodes (x and z are empty)");
            return nullptr;
        }
        // Copies: the partition and the result lists work on memory of their
        // own (see VecView::copy).
        const std::vector<double> xs = x.view().copy(), zs = z.view().copy();
        Partition p;
        if (!chol_krig_nodes(xs.data(), zs.data(), x.size(), dist_max, p, signalled))
            return nullptr;
        return partition_result(module, p, xs, zs);
    });
}

PyObject* py_sort_nodes(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Ref a[2];
        if (!bind(sort_sig, args, kwargs, a)) return nullptr;
        ArrayArg x, z;
        if (!x.convert(a[0].get()) || !z.convert(a[1].get())) return nullptr;
        if (!check_same_length("sort_nodes", "x and z", {x.size(), z.size()})) return nullptr;
        // Copies, before the records allocate Python objects (see VecView::copy).
        const std::vector<double> xcopy = x.view().copy(), zcopy = z.view().copy();
        const double* const xv = xcopy.data();
        const double* const zv = zcopy.data();
        const Py_ssize_t N = x.size();

        // One record (position from 1, distance from node 0, x, z) per node.
        Ref values = Ref::steal(PyList_New(N));
        if (!values) return nullptr;
        for (Py_ssize_t k = 0; k < N; ++k) {
            PyObject* const items[4] = {PyLong_FromSsize_t(k + 1),
                                        PyFloat_FromDouble(distance_from_first(xv, zv, k)),
                                        PyFloat_FromDouble(xv[k]), PyFloat_FromDouble(zv[k])};
            Ref record = Ref::steal(PyTuple_New(4));
            bool ok = static_cast<bool>(record);
            for (Py_ssize_t f = 0; f < 4; ++f) {
                ok = ok && items[f] != nullptr;
                if (ok)
                    PyTuple_SET_ITEM(record.get(), f, items[f]);
                else
                    Py_XDECREF(items[f]);
            }
            if (!ok) return nullptr;
            PyList_SET_ITEM(values.get(), k, record.release());
        }

        Ref sort = np_attr(module, names.sort);
        if (!sort) return nullptr;
        Ref array = np_attr(module, names.array);
        if (!array) return nullptr;
        PyObject* const int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
        PyObject* const float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
        Ref dtype = Ref::steal(Py_BuildValue("[(sO)(sO)(sO)(sO)]", "ind", int_type, "dist",
                                             float_type, "xv", float_type, "zv", float_type));
        if (!dtype) return nullptr;
        Ref records = call(array.get(), {values.get(), dtype.get()}, names.dtype_kw);
        if (!records) return nullptr;
        Ref dist = Ref::steal(PyUnicode_FromString("dist"));
        Ref order_kw = Ref::steal(PyTuple_Pack(1, names.order));
        if (!dist || !order_kw) return nullptr;
        Ref sort_mat = call(sort.get(), {records.get(), dist.get()}, order_kw.get());
        if (!sort_mat) return nullptr;

        // The coordinate fields, taken as float64 arrays, then through np.asarray.
        const char* const fields[2] = {"xv", "zv"};
        Ref field[2];
        ArrayArg checked[2];
        for (int f = 0; f < 2; ++f) {
            field[f] = Ref::steal(PyMapping_GetItemString(sort_mat.get(), fields[f]));
            if (!field[f] || !checked[f].convert(field[f].get())) return nullptr;
        }
        Ref result = Ref::steal(PyList_New(2));
        if (!result) return nullptr;
        for (int f = 0; f < 2; ++f) {
            Ref asarray = np_attr(module, names.asarray);
            if (!asarray) return nullptr;
            Ref out = call(asarray.get(), {field[f].get()});
            if (!out) return nullptr;
            PyList_SET_ITEM(result.get(), f, out.release());
        }
        return result.release();
    });
}

}  // namespace random_field
