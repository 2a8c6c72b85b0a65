#pragma once
#include "module/py_ref.hpp"

namespace tovrana::py {

// The Grid method table, in the documented order.
extern PyMethodDef grid_methods[];

}  // namespace tovrana::py
