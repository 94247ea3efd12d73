// How the module tells that its namespace, a dict or a class it made, is unchanged since it last looked.
//
// This pair of files is the only place that knows how: CPython 3.11 gives every dict a version that
// changes with each change and every class a version tag; 3.12 and later give dict and type watchers
// instead (the dict version is deprecated there and goes away later). Everything else asks for a
// stamp, remembers it, and trusts what it remembered only while the stamp it gets back is equal.
#pragma once

#include <cstdint>

#include "ref.h"

namespace qel {

// Start watching the module namespace; called by the execute step once the dict exists. A failed
// import calls unwatch_namespace(), and the next attempt watches its own fresh dict.
[[nodiscard]] bool watch_namespace(PyObject *dict);
void unwatch_namespace();

// A stamp that changes whenever the watched namespace dict changes (any set, delete or clear).
// Never 0. Without a watched namespace every call returns a new stamp.
inline uint64_t namespace_stamp();

// Start watching a dict that the module made and keeps a reference to (the error table).
[[nodiscard]] bool watch_dict(PyObject *dict);

// A stamp that changes whenever a dict given to watch_dict() changes. 0 means "cannot tell". It
// says nothing about any other dict: the caller makes sure that it asks about the dict it watched.
inline uint64_t dict_stamp(PyObject *dict);

// Start watching a class the module made (exception classes, enumerations, record classes).
[[nodiscard]] bool watch_type(PyTypeObject *type);

// A stamp that changes whenever `type` is modified: an attribute set or deleted on it or on one of
// its bases, or its __bases__ assigned. 0 means "cannot tell" and must never be taken as equal to a
// remembered stamp. Assigning __class__ on the class object itself is not a modification of the
// type; a caller that depends on the metaclass checks Py_TYPE itself.
inline uint64_t type_stamp(PyTypeObject *type);

// The attribute `name` as the class's MRO finds it in the classes' own dicts, without calling a
// descriptor: borrowed (the class keeps it), nullptr if none. Called with no exception set, and
// leaves none.
PyObject *class_attribute(PyTypeObject *type, PyObject *name);

namespace watch_detail {
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t namespace_changes;
extern uint64_t type_changes;
extern PyObject *namespace_dict;  // borrowed; cleared when that dict goes away
extern int type_watcher;          // -1: none could be had
extern uint64_t dict_changes;     // changes to every dict given to watch_dict()
extern int dict_watcher;          // the watcher of those dicts; -1: none could be had
#else
extern PyObject *namespace_dict;  // borrowed; the module keeps it alive
extern uint64_t unwatched_stamps;
uint64_t type_stamp_refresh(PyTypeObject *type);
#endif
}  // namespace watch_detail

inline uint64_t namespace_stamp() {
    using namespace watch_detail;
#if PY_VERSION_HEX >= 0x030C0000
    // The watcher counts every event on the dict; with no dict watched, count each question as one.
    return namespace_dict ? namespace_changes : ++namespace_changes;
#else
    // Every change to a dict takes a new version number, unique in the process and never 0. The
    // stamps handed out without a dict have the top bit set, so they never equal a version.
    if (namespace_dict) return reinterpret_cast<PyDictObject *>(namespace_dict)->ma_version_tag;
    return ++unwatched_stamps | (uint64_t{1} << 63);
#endif
}

inline uint64_t dict_stamp(PyObject *dict) {
    using namespace watch_detail;
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return dict_watcher < 0 ? 0 : dict_changes;
#else
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

inline uint64_t type_stamp(PyTypeObject *type) {
    using namespace watch_detail;
#if PY_VERSION_HEX >= 0x030C0000
    // The type watcher hears of a modification only while the type holds a valid version tag (a
    // type without one is already marked as changed and is not reported again), so make sure it
    // holds one before the stamp is handed out.
    if (type_watcher < 0 || !(type->tp_watched & (1 << type_watcher))) return 0;
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
    return type_changes;
#else
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) return type->tp_version_tag;
    return type_stamp_refresh(type);
#endif
}

}  // namespace qel
