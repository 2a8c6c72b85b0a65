#pragma once
// The Python object behind a Grid, and the borrow rules every method follows:
// shared borrows may overlap; an exclusive borrow needs the object to itself.
#include <atomic>
#include <memory>

#include "state/grid.hpp"
#include "module/py_ref.hpp"

namespace tovrana::py {

struct GridObject {
    PyObject_HEAD
    Grid* grid;                   // owned; never null once __new__ returned
    std::atomic<int64_t> borrow;  // 0 free, -1 exclusive, n > 0 shared by n calls
};

extern PyTypeObject GridType;

class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self);
    ~SharedBorrow() { obj_->borrow.fetch_sub(1); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const Grid& grid() const { return *obj_->grid; }

private:
    GridObject* obj_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* self);
    ~ExclusiveBorrow() { obj_->borrow.store(0); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    Grid& grid() const { return *obj_->grid; }

private:
    GridObject* obj_;
};

bool init_grid_type(PyObject* module);

}  // namespace tovrana::py
