#include "module/errors.hpp"

#include <new>
#include <stdexcept>

#include "grid/panic.hpp"

namespace tovrana::py {
namespace {
PyObject* g_panic_type = nullptr;
}

PyObject* panic_type() { return g_panic_type; }

bool create_panic_type() {
    if (g_panic_type) return true;
    g_panic_type = PyErr_NewExceptionWithDoc(
        "tovrana.PanicException",
        "An internal failure of the routing core (a division by a gcell size of 0, an\n"
        "index out of range, an impossible size). Derived from BaseException.",
        PyExc_BaseException, nullptr);
    return g_panic_type != nullptr;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        // already set
    } catch (const Panic& e) {
        PyErr_SetString(g_panic_type, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_Format(g_panic_type, "index out of range: %s", e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(g_panic_type, e.what());
    } catch (...) {
        PyErr_SetString(g_panic_type, "unknown internal failure");
    }
}

}  // namespace tovrana::py
