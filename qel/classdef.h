// Classes made the way a class statement makes them.
#pragma once

#include <functional>

#include "ref.h"

namespace qel {

// New class `name` with `bases`: the metaclass is worked out from the bases, the namespace comes from
// its __prepare__ and receives `__module__` and `__qualname__`, then whatever `fill` stores.
PyObject *make_class(const char *name, PyObject *bases, const std::function<bool(PyObject *ns)> &fill);

}  // namespace qel
