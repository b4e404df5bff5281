// How both native modules hold Python objects: an owning reference (`Ref`), so that every early
// return releases what a function holds; a borrowed one for arguments (`Handle`); a buffer view
// released on every exit (`Buffer`). Header-only on purpose: it is compiled with each module's own
// API level (the limited API for vantrel._chips, the full one for the reader module), so it uses
// only what the limited API offers outside the debug check.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace py {

// In debug builds, a count changed without the interpreter's lock stops the process at once,
// instead of corrupting an object some time later.
#ifndef NDEBUG
inline void lock_held() noexcept {
#ifdef Py_LIMITED_API
    (void)PyThreadState_Get();  // a fatal error naming the lock when this thread does not hold it
#else
    if (!PyGILState_Check()) Py_FatalError("a reference count changed without the interpreter's lock");
#endif
}
#else
inline void lock_held() noexcept {}
#endif

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : p_(new_ref(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() {
        if (p_) {
            lock_held();
            Py_DECREF(p_);
        }
    }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (a result of the C API); null stays null.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(new_ref(p)); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to a caller or to an API that steals it.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    static PyObject* new_ref(PyObject* p) noexcept {
        if (p) lock_held();
        return Py_XNewRef(p);
    }
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
        if (view_.obj) {
            lock_held();
            PyBuffer_Release(&view_);
        }
    }
    // False with the exception set when the object offers no such buffer.
    bool acquire(PyObject* obj, int flags) noexcept { return PyObject_GetBuffer(obj, &view_, flags) == 0; }
    void* data() const noexcept { return view_.buf; }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
};

}  // namespace py
