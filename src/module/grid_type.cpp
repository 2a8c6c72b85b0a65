// The Grid type: construction from the seven grid arguments and destruction.
#include <new>
#include <vector>

#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/grid_object.hpp"
#include "module/methods.hpp"

namespace tovrana::py {
namespace {

PyObject* grid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using Sig = Signature<"Grid.__new__", "nx", "ny", "nz", "blocked", "pad_owner", "via_blocked", "via_index">;
    return guarded([&]() -> PyObject* {
        // Lay the call out as a fast call: positionals, then keyword values.
        std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + PyTuple_GET_SIZE(args));
        Ref kwnames;
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
            kwnames = Ref::check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            PyObject *key = nullptr, *value = nullptr;
            Py_ssize_t pos = 0, k = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                flat.push_back(value);
            }
        }
        const Args<Sig> a(flat.data(), PyTuple_GET_SIZE(args), kwnames.get());
        const auto nx = a.get<int32_t, "nx">();
        const auto ny = a.get<int32_t, "ny">();
        const auto nz = a.get<int32_t, "nz">();
        const auto blocked = a.get<std::vector<BlockedEntry>, "blocked">();
        const auto pad_owner = a.get<std::vector<PadEntry>, "pad_owner">();
        const auto via_blocked = a.get<std::vector<Column>, "via_blocked">();
        auto via_index = a.get<std::vector<ViaRule>, "via_index">();

        auto grid = std::make_unique<Grid>(nx, ny, nz, blocked, pad_owner, via_blocked, std::move(via_index));
        Ref self = Ref::check(type->tp_alloc(type, 0));
        auto* obj = reinterpret_cast<GridObject*>(self.get());
        new (&obj->borrow) std::atomic<int64_t>(0);
        obj->grid = grid.release();
        return self.release();
    });
}

void grid_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<GridObject*>(self);
    delete obj->grid;
    obj->grid = nullptr;
    obj->borrow.~atomic();
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject GridType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

bool init_grid_type(PyObject* module) {
    GridType.tp_name = "tovrana.Grid";
    GridType.tp_basicsize = sizeof(GridObject);
    GridType.tp_flags = Py_TPFLAGS_DEFAULT;
    GridType.tp_doc = "Grid(nx, ny, nz, blocked, pad_owner, via_blocked, via_index)\n--\n\n";
    GridType.tp_new = grid_new;
    GridType.tp_dealloc = grid_dealloc;
    GridType.tp_methods = grid_methods;
    if (PyType_Ready(&GridType) < 0) return false;
    Py_INCREF(&GridType);
    if (PyModule_AddObject(module, "Grid", reinterpret_cast<PyObject*>(&GridType)) < 0) {
        Py_DECREF(&GridType);
        return false;
    }
    return true;
}

}  // namespace tovrana::py
