// How the module holds Python objects: an owning reference (`Ref`), so that every early return
// releases what a function holds; a borrowed one for arguments (`Handle`); a buffer view released
// on every exit (`Buffer`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace mstar {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (a result of the C API); null stays null.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to a caller or to an API that steals it.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

// An object lent to a call, made from a Ref or a PyObject*, so that calls read like the Python
// they mirror: `call_method(f, k.readline)`. A parameter type only: it must not outlive what it
// was made from.
class Handle {
public:
    Handle(PyObject* p) noexcept : p_(p) {}
    Handle(const Ref& ref) noexcept : p_(ref.get()) {}

    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

// A Py_buffer released on every exit.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    // False with the exception set when the object offers no such buffer.
    bool acquire(PyObject* obj, int flags) noexcept { return PyObject_GetBuffer(obj, &view_, flags) == 0; }
    void* data() const noexcept { return view_.buf; }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
};

}  // namespace mstar
