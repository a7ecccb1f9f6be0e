// An owning reference to one Python object.
//
// Every function that makes or keeps a reference holds it in a Ref, so each
// return path, success or failure, releases what it made without a hand-written
// release. Copying is deleted: ownership moves, it is never shared by accident.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brindova {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.obj_);
        other.obj_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Adopts a new reference returned by the C API (null stays null).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Keeps a borrowed pointer alive for as long as this Ref lives.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference over to the caller (normally the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Takes ownership of `obj`. The new value is stored before the old one is
    // released, because the release can run arbitrary Python code that may
    // look at this Ref again.
    void reset(PyObject* obj = nullptr) noexcept
    {
        PyObject* old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace brindova
