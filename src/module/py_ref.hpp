#pragma once
// Owned Python references and the one C++ signal that a Python error is set.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tovrana::py {

// Thrown after a Python exception has been set; the call boundary returns NULL.
struct ErrorAlreadySet {};

// Owns one strong reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return Ref(o); }
    // Steals `o`, throwing when it is NULL (a Python error is then set).
    static Ref check(PyObject* o) {
        if (!o) throw ErrorAlreadySet{};
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace tovrana::py
