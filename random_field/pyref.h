// Ref and Buffer: RAII over PyObject* references and acquired Py_buffer views.
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
