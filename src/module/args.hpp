#pragma once
// Matching of fast-call arguments to parameter names, worded as the interpreter
// words these errors for its own functions, and conversion of each argument with
// the "argument 'x': " prefix on plain TypeErrors.
#include <array>
#include <cstddef>

#include "module/convert.hpp"

namespace tovrana::py {

class ArgSpec {
public:
    // `qualname` names the function in messages, e.g. "Grid.box_maze".
    ArgSpec(const char* qualname, std::initializer_list<const char*> names);

    // Fills `out` (one borrowed object per parameter, in parameter order) or throws
    // with a TypeError set. Every parameter is required.
    void match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

    std::size_t size() const { return count_; }
    const char* name(std::size_t i) const { return names_[i]; }

private:
    static constexpr std::size_t kMaxParams = 16;
    const char* qualname_;
    std::array<const char*, kMaxParams> names_{};
    std::size_t count_ = 0;
    Ref interned_[kMaxParams];
};

// Re-raises a pending exception of exactly TypeError as "argument '<name>': <msg>",
// keeping its cause; other exception types pass unchanged.
void prefix_type_error(const char* name);

// The matched arguments of one call, converted on demand in signature order.
template <std::size_t N>
class Args {
public:
    Args(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : spec_(signature) {
        signature.match(args, nargs, kwnames, objects_.data());
    }
    template <class T>
    T get(std::size_t i) const {
        try {
            return From<T>::get(objects_[i]);
        } catch (const ErrorAlreadySet&) {
            prefix_type_error(spec_.name(i));
            throw;
        }
    }

private:
    const ArgSpec& spec_;
    std::array<PyObject*, N> objects_{};
};

}  // namespace tovrana::py
