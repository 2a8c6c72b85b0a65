#pragma once
// Matching of fast-call arguments to parameter names, worded as the interpreter
// words these errors for its own functions, and conversion of each argument with
// the "argument 'x': " prefix on plain TypeErrors.
//
// A method names itself and its parameters once, as a type:
//     using Sig = Signature<"Grid.routes_update", "net", "cells", "edges">;
//     const Args<Sig> a(args, nargs, kwnames);
//     const auto net = a.get<int32_t, "net">();
// A name that is not in the list does not compile, so reordering a list can never
// bind an argument to the wrong parameter.
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "module/convert.hpp"

namespace tovrana::py {

// A string literal as a template argument.
template <std::size_t N>
struct TextLiteral {
    char text[N]{};
    consteval TextLiteral(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

class ArgSpec {
public:
    static constexpr std::size_t kMaxParams = 16;

    // `qualname` names the function in messages, e.g. "Grid.box_maze". The first
    // `required` parameters are required, the others optional. Interns every name;
    // throws ErrorAlreadySet (MemoryError set) when interning fails, or Panic for more
    // than kMaxParams names.
    ArgSpec(const char* qualname, std::span<const char* const> names, std::size_t required);

    // Fills `out` (one borrowed object per parameter, in parameter order; null for an
    // optional one not given) or throws with a TypeError set.
    void match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

    std::size_t size() const { return count_; }
    const char* name(std::size_t i) const { return names_.at(i); }

private:
    // Matched against keyword names, first by identity. Interned names live as long
    // as the process and are never released here: a static ArgSpec outlives the
    // interpreter.
    PyObject* interned(std::size_t i) const { return interned_[i]; }

    const char* qualname_;
    std::size_t required_ = 0;
    std::array<const char*, kMaxParams> names_{};
    std::array<PyObject*, kMaxParams> interned_{};
    std::size_t count_ = 0;
};

// One function's name (for messages) and parameter names, in signature order,
// with the matcher built from them. The last `Optional` parameters may be left out.
template <std::size_t Optional, TextLiteral Qualname, TextLiteral... Names>
struct SignatureWithOptional {
    static constexpr std::size_t size = sizeof...(Names);
    static_assert(Optional <= size, "more optional parameters than parameters");
    static constexpr std::array<const char*, size> names{Names.text...};
    static_assert(size <= ArgSpec::kMaxParams, "more parameters than ArgSpec holds");

    // Position of `Name` in the list; a name not in the list, or listed twice, does
    // not compile.
    template <TextLiteral Name>
    static consteval std::size_t index() {
        constexpr std::string_view wanted(Name.text);
        constexpr std::array<std::string_view, size> all{std::string_view(Names.text)...};
        std::size_t found = size, hits = 0;
        for (std::size_t i = 0; i < size; ++i) {
            if (all[i] == wanted) {
                found = i;
                ++hits;
            }
        }
        if (hits != 1) throw "parameter name not in the list exactly once";
        return found;
    }

    // Built on the first call; when interning fails, the next call tries again.
    static const ArgSpec& matcher() {
        static const ArgSpec built(Qualname.text, names, size - Optional);
        return built;
    }
};

template <TextLiteral Qualname, TextLiteral... Names>
using Signature = SignatureWithOptional<0, Qualname, Names...>;

// Re-raises a pending exception of exactly TypeError as "argument '<name>': <msg>",
// keeping its cause; other exception types pass unchanged.
void prefix_type_error(const char* name);

// The matched arguments of one call, converted on demand by name. Callers convert
// in signature order, so the first failing argument is the one reported.
template <class Sig>
class Args {
public:
    Args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        Sig::matcher().match(args, nargs, kwnames, objects_.data());
    }

    template <class T, TextLiteral Name>
    T get() const {
        constexpr std::size_t i = Sig::template index<Name>();
        try {
            return From<T>::get(objects_[i]);
        } catch (const ErrorAlreadySet&) {
            prefix_type_error(Sig::names[i]);
            throw;
        }
    }

    // An optional argument, or `fallback` when it was not given.
    template <class T, TextLiteral Name>
    T get_or(T fallback) const {
        return objects_[Sig::template index<Name>()] ? get<T, Name>() : fallback;
    }

private:
    std::array<PyObject*, Sig::size> objects_{};
};

}  // namespace tovrana::py
