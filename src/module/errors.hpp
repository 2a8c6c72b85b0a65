#pragma once
// The one boundary where C++ failures become Python exceptions.
#include "module/py_ref.hpp"

namespace tovrana::py {

// The module's PanicException type (derived from BaseException); created once.
PyObject* panic_type();
bool create_panic_type();

// Runs `body`; a C++ exception escaping it becomes the matching Python exception
// and the result is NULL.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

void set_error_from_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tovrana::py
