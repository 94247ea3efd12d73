#include "classdef.h"

#include "state.h"

namespace qel {

PyObject *make_class(const char *name, PyObject *bases, const std::function<bool(PyObject *ns)> &fill) {
    PyTypeObject *meta = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(candidate, meta)) meta = candidate;
    }
    Ref qualname(PyUnicode_FromString(name));
    if (!qualname) return nullptr;
    Ref prepare(PyObject_GetAttr(reinterpret_cast<PyObject *>(meta), names.__prepare__));
    if (!prepare) return nullptr;
    Ref ns(PyObject_CallFunctionObjArgs(prepare.get(), qualname.get(), bases, nullptr));
    if (!ns) return nullptr;
    if (PyObject_SetItem(ns.get(), names.__module__, names.module_name) < 0 ||
        PyObject_SetItem(ns.get(), names.__qualname__, qualname.get()) < 0 || !fill(ns.get()))
        return nullptr;
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(meta), qualname.get(), bases, ns.get(), nullptr);
}

}  // namespace qel
