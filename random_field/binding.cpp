#include "binding.h"

#include <climits>
#include <cstring>

namespace random_field {

Names names;

// ---------------------------------------------------------------------------
// Binding

static bool count_error(const char* func, Py_ssize_t required, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, "exactly", required, required == 1 ? "" : "s", given);
    return false;
}

// The argument stored under the string key equal to `param`, or null.
// Compares keys as strings without calling any Python-level __eq__.
static PyObject* find_keyword(PyObject* kwargs, const char* param) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, param) == 0)
            return value;
    }
    return nullptr;
}

static Py_ssize_t param_index(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
    return -1;
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    const Py_ssize_t P = sig.count;
    const bool have_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;

    if (!have_keywords || n > P) {
        if (n != P) return count_error(sig.name, P, n);
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (!have_keywords) return true;

    // Parameters after the positional ones come from the keywords; the first
    // one missing is reported with the number of parameters before it.
    for (Py_ssize_t i = n; i < P; ++i) {
        PyObject* value = find_keyword(kwargs, sig.params[i]);
        if (value == nullptr) return count_error(sig.name, P, i);
        out[i] = Ref::borrow(value);
    }
    if (PyDict_GET_SIZE(kwargs) <= P - n) return true;

    // More keywords than were used: report the first offending one.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        const Py_ssize_t i = param_index(sig, key);
        if (i >= 0 && i < n) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'", sig.name, key);
            return false;
        }
        if (i < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'", sig.name, key);
            return false;
        }
    }
    return true;
}

Ref bind_keywords_only(const char* name, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n != 0) {
        count_error(name, 0, n);
        return Ref();
    }
    if (kwargs == nullptr) return Ref::steal(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return Ref();
        }
    }
    return Ref::steal(PyDict_Copy(kwargs));
}

// ---------------------------------------------------------------------------
// Float64 array parameters

// How a format character that is not a double is named in the mismatch
// message; null for a character that is not a type character at all.
static const char* describe_type(char c) {
    switch (c) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'O': return "Python object";
        case 's':
        case 'p': return "a string";
        default: return nullptr;
    }
}

static const char* describe_complex(char c) {
    switch (c) {
        case 'f': return "'complex float'";
        case 'd': return "'complex double'";
        case 'g': return "'complex long double'";
        default: return nullptr;
    }
}

static bool mismatch(const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                 "'", "double", "'", got);
    return false;
}

static bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r'; }

// Accepts exactly one native double per element; raises ValueError otherwise.
static bool check_double_format(const Py_buffer& b) {
    const char* const format = b.format != nullptr ? b.format : "B";
    const char* f = format;
    for (;; ++f) {
        if (is_space(*f) || *f == '@' || *f == '=' || *f == '^' || *f == '<') continue;
        if (*f == '>' || *f == '!') {
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        }
        break;
    }
    if (*f >= '0' && *f <= '9') {
        // A repeat count: only a count of 1 describes a single element.
        const char* digits = f;
        while (*f >= '0' && *f <= '9') ++f;
        if (f - digits != 1 || *digits != '1') {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch, expected 'double' but got the format "
                         "string '%s' with a repeat count",
                         format);
            return false;
        }
    }
    const char c = *f;
    if (c == '\0') {
        return mismatch("an empty format string");
    }
    if (c == 'Z') {
        const char* what = describe_complex(f[1]);
        if (what == nullptr) {
            PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", 'Z');
            return false;
        }
        return mismatch(what);
    }
    if (c == 'T') {
        PyErr_Format(PyExc_ValueError,
                     "Buffer dtype mismatch, expected 'double' but got the structure '%s'",
                     format);
        return false;
    }
    const char* what = describe_type(c);
    if (what == nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "Does not understand character buffer dtype format string ('%c')", c);
        return false;
    }
    if (c != 'd') return mismatch(what);
    for (++f; *f != '\0'; ++f) {
        if (!is_space(*f)) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch, expected 'double' but got the format "
                         "string '%s'",
                         format);
            return false;
        }
    }
    if (b.itemsize != static_cast<Py_ssize_t>(sizeof(double))) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer dtype mismatch, expected 'double' of %zd bytes but got an "
                     "item size of %zd",
                     static_cast<Py_ssize_t>(sizeof(double)), b.itemsize);
        return false;
    }
    return true;
}

// The checks common to the vector and matrix views, after the buffer was
// acquired: dimensions first, then the element type, then the layout.
static bool check_buffer(const Py_buffer& b, int ndim) {
    if (b.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     b.ndim);
        return false;
    }
    if (!check_double_format(b)) return false;
    if (b.suboffsets != nullptr) {
        for (int k = 0; k < b.ndim; ++k) {
            if (b.suboffsets[k] >= 0) {
                PyErr_SetString(PyExc_ValueError,
                                "Buffer with sub-offsets (an indirect buffer) not supported");
                return false;
            }
        }
    }
    // A writable buffer was asked for; an exporter that hands out a
    // read-only one anyway is refused as if it had said no.
    if (b.readonly) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return false;
    }
    return true;
}

bool ArrayArg::convert(PyObject* obj) {
    buf_.release();
    view_ = VecView{};
    if (obj == Py_None) return true;
    if (!buf_.acquire(obj, PyBUF_RECORDS)) return false;
    const Py_buffer& b = buf_.view();
    Py_ssize_t shape[1], strides[1];
    if (!check_buffer(b, 1) || !buf_.layout(1, shape, strides)) {
        buf_.release();
        return false;
    }
    view_.base = static_cast<char*>(b.buf);
    view_.n = shape[0];
    view_.stride = strides[0];
    return true;
}

bool ArrayArg::refresh(PyObject* obj, const char* func) {
    const Py_ssize_t n = view_.n;
    if (!convert(obj)) return false;
    if (view_.n != n) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): an array argument changed its length (from %zd to %zd) while "
                     "the arguments were converted",
                     func, n, view_.n);
        return false;
    }
    return true;
}

bool MatrixArg::convert(PyObject* obj, const char* func, Py_ssize_t rows, Py_ssize_t cols) {
    if (!buf_.acquire(obj, PyBUF_RECORDS)) return false;
    const Py_buffer& b = buf_.view();
    Py_ssize_t shape[2], strides[2];
    if (!check_buffer(b, 2) || !buf_.layout(2, shape, strides)) return false;
    if (shape[0] != rows || shape[1] != cols) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): the result matrix has shape (%zd, %zd), expected (%zd, %zd)",
                     func, shape[0], shape[1], rows, cols);
        return false;
    }
    view_.base = static_cast<char*>(b.buf);
    view_.rows = rows;
    view_.cols = cols;
    view_.row_stride = strides[0];
    view_.col_stride = strides[1];
    return true;
}

// ---------------------------------------------------------------------------
// Real and integer parameters

bool convert_real(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool convert_int(PyObject* obj, int* out) {
    Ref converted;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted = Ref::steal(nb->nb_int(obj));
        if (!converted) return false;
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(converted.get())->tp_name);
            return false;
        }
        obj = converted.get();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        // Outside the 64-bit range: the interpreter's own conversion error.
        (void)PyLong_AsLongLong(obj);
        return false;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool check_same_length(const char* func, const char* names_text,
                       std::initializer_list<Py_ssize_t> lengths) {
    const Py_ssize_t* l = lengths.begin();
    bool equal = true;
    for (const Py_ssize_t* p = l; p != lengths.end(); ++p) equal = equal && *p == l[0];
    if (equal) return true;
    if (lengths.size() == 2) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): %s must have the same length (got %zd and %zd)", func,
                     names_text, l[0], l[1]);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "%s(): %s must have the same length (got %zd, %zd and %zd)", func,
                     names_text, l[0], l[1], l[2]);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Names and calls

bool init_names() {
    static bool done = false;
    if (done) return true;
    struct Entry { PyObject** slot; const char* text; };
    const Entry entries[] = {
        {&names.np, "np"}, {&names.zeros, "zeros"}, {&names.asarray, "asarray"},
        {&names.array, "array"}, {&names.sort, "sort"}, {&names.random, "random"},
        {&names.normal, "normal"}, {&names.linalg, "linalg"},
        {&names.cholesky, "cholesky"}, {&names.min, "min"}, {&names.identity, "identity"},
        {&names.vstack, "vstack"}, {&names.hstack, "hstack"}, {&names.ones, "ones"},
        {&names.transpose, "transpose"}, {&names.solve, "solve"}, {&names.shape, "shape"},
        {&names.isscalar, "isscalar"}, {&names.full, "full"}, {&names.float64, "float64"},
        {&names.sqrt, "sqrt"}, {&names.pi, "pi"}, {&names.print, "print"},
        {&names.loc, "loc"}, {&names.scale, "scale"}, {&names.size, "size"},
        {&names.dtype, "dtype"}, {&names.order, "order"},
        {&names.get_chol_krig_nodes, "get_chol_krig_nodes"}, {&names.get_COV, "get_COV"},
        {&names.get_chol_field, "get_chol_field"},
        {&names.get_C_chol_krig, "get_C_chol_krig"},
        {&names.get_krig_field, "get_krig_field"},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr) {
            *e.slot = PyUnicode_InternFromString(e.text);
            if (*e.slot == nullptr) return false;
        }
    }
    if (names.dtype_kw == nullptr) {
        names.dtype_kw = PyTuple_Pack(1, names.dtype);
        if (names.dtype_kw == nullptr) return false;
    }
    done = true;
    return true;
}

Ref lookup_global(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* value = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) return Ref();
    PyObject* builtins = PyEval_GetBuiltins();
    value = builtins != nullptr ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref np_attr(PyObject* module, PyObject* attr) {
    Ref np = lookup_global(module, names.np);
    if (!np) return Ref();
    return Ref::steal(PyObject_GetAttr(np.get(), attr));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const size_t nargs = args.size() - static_cast<size_t>(nkw);
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          nargs, kwnames));
}

}  // namespace random_field
