// Module initialisation: once per process, refused in a second interpreter.
#include "module/errors.hpp"
#include "module/grid_object.hpp"

namespace tovrana::py {
namespace {

// m_size 0, not -1: with -1 the interpreter keeps a copy of the module's dict and serves
// every later import (in this interpreter after the module left sys.modules, or in another
// one) from that copy without calling PyInit_tovrana, so the checks there would never run.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tovrana", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

PyObject* create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !create_panic_type() || !init_grid_type(module.get())) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "PanicException", panic_type()) < 0) return nullptr;
    Ref all = Ref::steal(Py_BuildValue("[s]", "Grid"));
    if (!all || PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    all.release();
    return module.release();
}

}  // namespace
}  // namespace tovrana::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tovrana() {
    using namespace tovrana::py;
    PyInterpreterState* current = PyInterpreterState_Get();
    if (g_module) {
        if (current != g_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "tovrana does not support being initialised more than once per process");
            return nullptr;
        }
        return Py_NewRef(g_module);
    }
    PyObject* module = create_module();
    if (!module) return nullptr;
    g_module = Py_NewRef(module);
    g_interpreter = current;
    return module;
}
