// The stamps of watch.h: dict and type versions on CPython 3.11, dict and type watchers on 3.12+.
#include "watch.h"

#include "state.h"

namespace qel {

PyObject *class_attribute(PyTypeObject *type, PyObject *name) {
    PyObject *mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        // A built-in class keeps its dict per interpreter from 3.12; this call finds the right one.
        Ref dict(PyType_GetDict(base));
#else
        Ref dict(Py_XNewRef(base->tp_dict));
#endif
        if (!dict) continue;
        // The class holds its dict, and the dict the value.
        if (PyObject *value = PyDict_GetItemWithError(dict.get(), name)) return value;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

#if PY_VERSION_HEX >= 0x030C0000

// Watchers belong to the interpreter, and the module lives in one interpreter per process: each
// watcher is added once, at the first import, and serves every later import attempt.

namespace watch_detail {
uint64_t namespace_changes = 1;
uint64_t type_changes = 1;
PyObject *namespace_dict = nullptr;
int type_watcher = -1;
uint64_t dict_changes = 1;
int dict_watcher = -1;
}  // namespace watch_detail

using namespace watch_detail;

namespace {

int namespace_watcher = -1;

// Called before every change to a watched dict; ours count the changes to the namespace.
int namespace_changed(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    if (dict != namespace_dict) return 0;  // a namespace of an import that failed
    ++namespace_changes;
    if (event == PyDict_EVENT_DEALLOCATED) namespace_dict = nullptr;
    return 0;
}

// Called before every change to a dict given to watch_dict().
int dict_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++dict_changes;
    return 0;
}

int type_changed(PyTypeObject *) {
    ++type_changes;
    return 0;
}

}  // namespace

bool watch_namespace(PyObject *dict) {
    unwatch_namespace();
    if (namespace_watcher < 0 && (namespace_watcher = PyDict_AddWatcher(namespace_changed)) < 0) {
        // Every watcher of the interpreter is taken: the stamps then change at every question,
        // which is slower but still right.
        PyErr_Clear();
        return true;
    }
    if (PyDict_Watch(namespace_watcher, dict) < 0) return false;
    namespace_dict = dict;
    ++namespace_changes;
    return true;
}

void unwatch_namespace() {
    if (!namespace_dict) return;
    // Cannot fail: the watcher id is ours and the namespace is a dict. Runs with the exception of a
    // failed import set, which it leaves alone.
    (void)PyDict_Unwatch(namespace_watcher, namespace_dict);
    namespace_dict = nullptr;
    ++namespace_changes;
}

bool watch_dict(PyObject *dict) {
    if (dict_watcher < 0 && (dict_watcher = PyDict_AddWatcher(dict_changed)) < 0) {
        PyErr_Clear();  // no watcher left: dict_stamp() cannot tell
        return true;
    }
    return PyDict_Watch(dict_watcher, dict) == 0;
}

bool watch_type(PyTypeObject *type) {
    if (type_watcher < 0 && (type_watcher = PyType_AddWatcher(type_changed)) < 0) {
        PyErr_Clear();  // as for the namespace: no watcher left, so type_stamp() cannot tell
        return true;
    }
    return PyType_Watch(type_watcher, reinterpret_cast<PyObject *>(type)) == 0;
}

#else

namespace watch_detail {
PyObject *namespace_dict = nullptr;
uint64_t unwatched_stamps = 0;

uint64_t type_stamp_refresh(PyTypeObject *type) {
    // A class that was modified lost its version tag; a lookup through the interpreter's attribute
    // cache gives it a new one when it can have one. The lookup must not meet a pending exception.
    if (PyErr_Occurred() || !make_names()) return 0;
    (void)_PyType_Lookup(type, names.__module__);
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}
}  // namespace watch_detail

bool watch_namespace(PyObject *dict) {
    watch_detail::namespace_dict = dict;
    return true;
}

void unwatch_namespace() { watch_detail::namespace_dict = nullptr; }

bool watch_dict(PyObject *) { return true; }  // every dict keeps a version

bool watch_type(PyTypeObject *type) {
    (void)type_stamp(type);  // versions are kept for every class; make sure this one holds one
    return true;
}

#endif

}  // namespace qel
