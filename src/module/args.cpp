#include "module/args.hpp"

#include <string>

#include "grid/panic.hpp"

namespace tovrana::py {

ArgSpec::ArgSpec(const char* qualname, std::span<const char* const> names, std::size_t required)
    : qualname_(qualname), required_(required) {
    if (names.size() > kMaxParams) throw Panic(std::string(qualname) + ": more parameters than ArgSpec holds");
    for (const char* n : names) {
        PyObject* name = PyUnicode_InternFromString(n);
        if (!name) throw ErrorAlreadySet{};  // MemoryError set; a later call tries again
        names_[count_] = n;
        interned_[count_] = name;
        ++count_;
    }
}

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw ErrorAlreadySet{};
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

void ArgSpec::match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    const std::string fn = std::string(qualname_) + "()";
    const auto n_pos = static_cast<std::size_t>(nargs);
    if (n_pos > count_) {
        const std::string takes = required_ == count_ ? plural(count_, "positional argument")
                                                      : "from " + std::to_string(required_) + " to " +
                                                            plural(count_, "positional argument");
        raise_type_error(fn + " takes " + takes + " but " + std::to_string(n_pos) +
                         (n_pos == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < count_; ++i) out[i] = i < n_pos ? args[i] : nullptr;

    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < count_ && key != interned(i)) ++i;
        if (i == count_) {  // not interned-identical: compare by value
            i = 0;
            while (i < count_) {
                const int eq = PyUnicode_Compare(key, interned(i));
                if (eq == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
                if (eq == 0) break;
                ++i;
            }
        }
        if (i == count_) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", fn.c_str(), key);
            throw ErrorAlreadySet{};
        }
        if (out[i]) raise_type_error(fn + " got multiple values for argument '" + names_[i] + "'");
        out[i] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required_; ++i)
        if (!out[i]) missing.push_back(names_[i]);
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += std::string("'") + missing[i] + "'";
    }
    raise_type_error(fn + " missing " + plural(missing.size(), "required positional argument") + ": " + list);
}

void prefix_type_error(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    const Ref owned_type = Ref::steal(type), original = Ref::steal(value), owned_tb = Ref::steal(tb);
    const Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;  // str() of the error failed: that failure stands
    const Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    const Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tovrana::py
