#pragma once
// Work done with the interpreter lock released: it must not touch Python objects.
// A failure inside is raised once the lock is back, so the error boundary sees it
// as it would any other.
#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace tovrana::py {

template <class Work>
auto without_interpreter_lock(Work&& work) {
    std::optional<decltype(work())> out;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        out.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return std::move(*out);
}

}  // namespace tovrana::py
