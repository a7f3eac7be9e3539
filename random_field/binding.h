// The calling conventions shared by the module's functions: one table-driven
// binder for positional and keyword arguments, converters for the four kinds
// of parameter (float64 array, real, integer, object), name resolution
// through the module namespace, and the boundary that keeps C++ exceptions
// out of the interpreter. Every message text of argument handling is here.
#pragma once

#include "pyref.h"
#include "strided.h"

#include <exception>
#include <initializer_list>
#include <new>

namespace random_field {

// A function's name and its parameters in order; all of them are required.
struct Signature {
    const char* name;
    const char* const* params;
    Py_ssize_t count;
};

constexpr Py_ssize_t max_params = 8;

// Binds the call's arguments to the parameters of `sig`: out[i] receives a
// strong reference to the argument of parameter i. Raises the count message,
// "keywords must be strings", "got multiple values" or "got an unexpected
// keyword argument" exactly as the binding rules order them.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* out);

// Binding of the keyword-only driver: no positional argument, string keys
// only. Returns a new dict holding every keyword (empty when none).
Ref bind_keywords_only(const char* name, PyObject* args, PyObject* kwargs);

// A float64 array parameter: a one-dimensional strided view of native
// doubles over the argument's buffer, held until the object is destroyed.
// None gives the empty view.
class ArrayArg {
public:
    bool convert(PyObject* obj);
    // Acquires the buffer of `obj` (the object converted before) afresh.
    // Python code that ran since the conversion (a __float__ or __int__ of a
    // later argument, a replaced np.zeros) may have moved or freed the
    // memory of the first view, which numpy does not protect while exported
    // (`resize(..., refcheck=False)`); the new view is what the exporter
    // holds now. A length that changed raises ValueError naming `func`.
    bool refresh(PyObject* obj, const char* func);
    const VecView& view() const { return view_; }
    Py_ssize_t size() const { return view_.n; }
private:
    Buffer buf_;
    VecView view_;
};

// A writable two-dimensional float64 matrix of a given shape, viewed through
// its buffer (the matrices that the covariance builders fill).
class MatrixArg {
public:
    bool convert(PyObject* obj, const char* func, Py_ssize_t rows, Py_ssize_t cols);
    const MatView& view() const { return view_; }
private:
    Buffer buf_;
    MatView view_;
};

bool convert_real(PyObject* obj, double* out);
bool convert_int(PyObject* obj, int* out);

// Raises ValueError naming `func` and the lengths unless all are equal.
// `names` reads like "x, z and sigma".
bool check_same_length(const char* func, const char* names,
                       std::initializer_list<Py_ssize_t> lengths);

// Interned attribute and global names, created once when the module loads.
struct Names {
    PyObject *np, *zeros, *asarray, *array, *sort, *random, *normal, *linalg,
        *cholesky, *min, *identity, *vstack, *hstack, *ones, *transpose, *solve,
        *shape, *isscalar, *full, *float64, *sqrt, *pi, *print, *loc, *scale,
        *size, *dtype, *order, *get_chol_krig_nodes, *get_COV, *get_chol_field,
        *get_C_chol_krig, *get_krig_field;
    PyObject* dtype_kw;  // ("dtype",), keyword names of a call
};
extern Names names;
bool init_names();

// Looks `name` up at the time of use: first in the module namespace, then
// among the builtins. NameError "name '...' is not defined" otherwise.
Ref lookup_global(PyObject* module, PyObject* name);
// `np.<attr>`, with `np` resolved as above.
Ref np_attr(PyObject* module, PyObject* attr);

// Calls `callable` with positional arguments and, optionally, keyword
// arguments named by `kwnames` (a tuple of str) following them in `args`.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         PyObject* kwnames = nullptr);


}  // namespace random_field
