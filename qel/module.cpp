// The module: its definition, its creation, and the ordered filling of its namespace.
#include "enums.h"
#include "errors.h"
#include "function.h"
#include "functions.h"
#include "records.h"
#include "watch.h"

namespace qel {

// Module functions in binding order.
#define QEL_SPEC_ADDRESS(name) &name##_spec,
const FunctionSpec *const kFunctions[] = {QEL_FUNCTIONS(QEL_SPEC_ADDRESS)};
#undef QEL_SPEC_ADDRESS

namespace {

// Copies spec.<from> to module.<to>; a spec without the attribute is skipped.
bool copy_spec_attribute(PyObject *spec, PyObject *dict, PyObject *from, PyObject *to, bool allow_none) {
    Ref value(PyObject_GetAttr(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItem(dict, to, value.get()) == 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (state.main_interpreter_id == -1) {
        state.main_interpreter_id = id;
    } else if (id != state.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    if (!make_names()) return nullptr;

    Ref name(PyObject_GetAttr(spec, names.name));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, names.loader, names.__loader__, true) ||
        !copy_spec_attribute(spec, dict, names.origin, names.__file__, true) ||
        !copy_spec_attribute(spec, dict, names.parent, names.__package__, true) ||
        !copy_spec_attribute(spec, dict, names.submodule_search_locations, names.__path__, false))
        return nullptr;
    return module.release();
}

bool check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor) == 0;
}

bool register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *existing = PyDict_GetItemWithError(modules, names.module_name);
    if (existing) return true;
    if (PyErr_Occurred()) return false;
    return PyDict_SetItem(modules, names.module_name, module) == 0;
}

// `from <module_name> import <name>` into the namespace.
bool import_from(PyObject *dict, const char *module_name, PyObject *name) {
    Ref fromlist(PyTuple_Pack(1, name));
    if (!fromlist) return false;
    Ref module_str(PyUnicode_FromString(module_name));
    if (!module_str) return false;
    Ref module(PyImport_ImportModuleLevelObject(module_str.get(), dict, nullptr, fromlist.get(), 0));
    if (!module) return false;
    Ref value(PyObject_GetAttr(module.get(), name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        return false;
    }
    return PyDict_SetItem(dict, name, value.get()) == 0;
}

bool add_functions(PyObject *dict) {
    for (const FunctionSpec *spec : kFunctions) {
        Ref fn(make_function(*spec));
        if (!fn || PyDict_SetItemString(dict, spec->name, fn.get()) < 0) return false;
    }
    return true;
}

bool fill_namespace(PyObject *module) {
    PyObject *dict = state.dict;
    if (!state.builtins && !(state.builtins = Py_XNewRef(PyImport_AddModule("builtins")))) return false;
    if (PyObject_SetAttr(module, names.__builtins__, state.builtins) < 0) return false;
    if (!check_version()) return false;
    if (!make_names()) return false;
    if (!register_in_sys_modules(module)) return false;
    if (!state.enumerate) {
        state.enumerate = PyObject_GetAttr(state.builtins, names.enumerate);
        if (!state.enumerate) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.enumerate);
            return false;
        }
    }
    return add_record_classes(dict) && import_from(dict, "typing", names.Optional) &&
           import_from(dict, "enum", names.IntEnum) && add_enumerations(dict) && add_exception_classes(dict) &&
           add_error_table(dict) && ready_function_type() && add_functions(dict);
}

int module_exec(PyObject *module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qel' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.dict = PyModule_GetDict(module);
    if (watch_namespace(state.dict) && fill_namespace(module)) return 0;
    // A later import starts again from a fresh module object.
    unwatch_namespace();
    state.dict = nullptr;
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_gil
    // The stamps and caches behind the shortcuts are plain variables that calls read and write, and
    // the watchers' counters are bumped by whichever thread changes a dict: the module relies on the
    // interpreter lock, and a free-threaded interpreter takes it back while the module is imported.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qel",         /* m_name */
    nullptr,       /* m_doc */
    0,             /* m_size */
    nullptr,       /* m_methods */
    module_slots,  /* m_slots */
    nullptr,       /* m_traverse */
    nullptr,       /* m_clear */
    nullptr,       /* m_free */
};

}  // namespace

}  // namespace qel

PyMODINIT_FUNC PyInit_qel(void) { return PyModuleDef_Init(&qel::module_def); }
