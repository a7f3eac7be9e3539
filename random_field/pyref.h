// Ref and Buffer: RAII over PyObject* references and acquired Py_buffer views.
// Buffer is the one buffer reader of both extensions: it acquires a view and
// reads its layout; each caller checks the element type with its own messages.
//
// Every glue function holds its temporaries in these so that each exit path,
// normal or by exception, releases what it took:
//
//     Ref zeros = Ref::steal(PyObject_GetAttrString(np, "zeros"));   // new ref
//     if (!zeros) return nullptr;            // error already set; nothing leaks
//     return call(zeros.get(), ...);         // zeros released on return
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace random_field {

// Owns one strong reference (or none). Move-only.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return Ref(o); }
    Ref(Ref&& r) noexcept : p_(std::exchange(r.p_, nullptr)) {}
    Ref& operator=(Ref&& r) noexcept { Ref t(std::move(r)); std::swap(p_, t.p_); return *this; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }
private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Owns one acquired buffer view (or none); releases it on destruction.
// Neither copyable nor movable: a Py_buffer must not change address while
// acquired, since its exporter may keep pointers into it.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }
    // Acquires a view of `obj`; returns false with the exporter's error set.
    bool acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) { PyBuffer_Release(&view_); held_ = false; }
    }
    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

    // The shape and byte steps of the view, taken as `ndim` dimensions (1 or
    // 2). An exporter may leave out the steps (the buffer is then
    // C-contiguous: they follow from the shape and the item size) and, for
    // one dimension, the shape too (then it is len / itemsize). ValueError
    // when the view has no shape, a negative extent, a size that overflows,
    // or elements but no memory.
    bool layout(int ndim, Py_ssize_t* shape, Py_ssize_t* strides) const {
        const Py_buffer& b = view_;
        if (b.shape != nullptr) {
            for (int k = 0; k < ndim; ++k) shape[k] = b.shape[k];
        } else if (ndim == 1 && b.len >= 0 && b.itemsize > 0 && b.len % b.itemsize == 0) {
            shape[0] = b.len / b.itemsize;
        } else {
            PyErr_SetString(PyExc_ValueError, "Buffer exported without a shape");
            return false;
        }
        for (int k = 0; k < ndim; ++k) {
            if (shape[k] < 0) {
                PyErr_Format(PyExc_ValueError, "Buffer has a negative extent (%zd)", shape[k]);
                return false;
            }
        }
        if (b.strides != nullptr) {
            for (int k = 0; k < ndim; ++k) strides[k] = b.strides[k];
        } else {
            Py_ssize_t step = b.itemsize;
            for (int k = ndim - 1; k >= 0; --k) {
                strides[k] = step;
                if (k > 0 && __builtin_mul_overflow(step, shape[k], &step)) {
                    PyErr_SetString(PyExc_ValueError, "Buffer too large");
                    return false;
                }
            }
        }
        bool empty = false;
        for (int k = 0; k < ndim; ++k) empty = empty || shape[k] == 0;
        if (b.buf == nullptr && !empty) {
            PyErr_SetString(PyExc_ValueError, "Buffer exported without memory");
            return false;
        }
        return true;
    }
private:
    Py_buffer view_{};
    bool held_ = false;
};

// Runs a function body so that no C++ exception reaches the interpreter:
// exhausted memory becomes MemoryError, anything else SystemError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

}  // namespace random_field
