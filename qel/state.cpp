#include "state.h"

#include "watch.h"

namespace qel {

State state;
Names names;

bool make_names() {
    if (names.module_name) return true;
#define QEL_MAKE_NAME(n) \
    if (!(names.n = PyUnicode_InternFromString(#n))) return false;
    QEL_INTERNED_NAMES(QEL_MAKE_NAME)
#undef QEL_MAKE_NAME
    if (!(names.utf_8 = PyUnicode_InternFromString("utf-8"))) return false;
    if (!(names.empty = PyUnicode_InternFromString(""))) return false;
    names.module_name = PyUnicode_InternFromString(kModuleName);
    return names.module_name != nullptr;
}

PyObject *load_global(PyObject *name, GlobalCache &cache) {
    if (!state.dict) {
        // Only a function left over from an import that failed can get here.
        PyErr_SetString(PyExc_RuntimeError, "module 'qel' is not initialised");
        return nullptr;
    }
    if (cache.value && cache.version == namespace_stamp()) return Py_NewRef(cache.value);
    PyObject *value = PyDict_GetItemWithError(state.dict, name);
    if (value) {
        cache.value = value;
        cache.version = namespace_stamp();
        return Py_NewRef(value);
    }
    cache.value = nullptr;
    if (PyErr_Occurred()) return nullptr;
    // Built-ins are not cached: their namespace has a version of its own.
    value = PyObject_GetAttr(state.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

PyObject *load_global(PyObject *name) {
    GlobalCache uncached;
    return load_global(name, uncached);
}

}  // namespace qel
