#include "errors.h"

#include <cstring>

#include "classdef.h"
#include "watch.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/errors.cpp";

struct ExceptionClass {
    const char *name;
    const char *doc;
};

// In creation order; QELError first, every other class derives from it.
const ExceptionClass kExceptionClasses[] = {
    {"QELError", "Base exception class for all QEL errors."},
    {"QELSuccess", "QEL operation completed successfully."},
    {"QELInvalidIndex", "Invalid index: No camera connected or index value out of boundary."},
    {"QELInvalidID", "Invalid camera ID provided."},
    {"QELCameraClosed", "Failed to open camera: Camera is closed."},
    {"QELCameraRemoved", "Camera removed: Failed to find the camera, it might have been disconnected."},
    {"QELTimeout", "Operation timed out."},
    {"QELGeneralError", "General error: Value is out of valid range."},
    {"QELInvalidControlType", "Invalid control type provided."},
    {"QELInvalidPath", "Invalid file path provided."},
    {"QELInvalidFileFormat", "Invalid file format provided."},
    {"QELInvalidSize", "Invalid video format size."},
    {"QELInvalidImageType", "Unsupported image format."},
    {"QELOutOfBoundary", "The start position is out of boundary."},
    {"QELInvalidSequence", "Stop capture first: Invalid sequence of operations."},
    {"QELBufferTooSmall", "Buffer size is too small for the operation."},
    {"QELVideoModeActive", "Operation failed because video mode is currently active."},
    {"QELExposureInProgress", "Cannot perform operation while exposure is in progress."},
    {"QELInvalidMode", "The current mode is incorrect for this operation."},
    {"QELGPSNotSupported", "GPS is not supported by this camera."},
    {"QELGPSVersionError", "The FPGA GPS version is too low for the requested operation."},
    {"QELGPSFPGAError", "Failed to read or write data to FPGA for GPS."},
    {"QELGPSParamOutOfRange",
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."},
    {"QELGPSDataInvalid", "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."},
    {"QELErrorEnd", "End of QEL error codes."},
    {"QELUnknownErrorCode", "End of QEL error codes."},
};

// Class of each result code 0 to 29.
const char *const kCodeClasses[] = {
    "QELSuccess",          "QELInvalidIndex",       "QELInvalidID",       "QELCameraClosed",
    "QELCameraRemoved",    "QELTimeout",            "QELGeneralError",    "QELInvalidIndex",
    "QELInvalidID",        "QELInvalidControlType", "QELCameraClosed",    "QELCameraRemoved",
    "QELInvalidPath",      "QELInvalidFileFormat",  "QELInvalidSize",     "QELInvalidImageType",
    "QELOutOfBoundary",    "QELTimeout",            "QELInvalidSequence", "QELBufferTooSmall",
    "QELVideoModeActive",  "QELExposureInProgress", "QELGeneralError",    "QELInvalidMode",
    "QELGPSNotSupported",  "QELGPSVersionError",    "QELGPSFPGAError",    "QELGPSParamOutOfRange",
    "QELGPSDataInvalid",   "QELErrorEnd",
};

// Lookups of handle_error_code, remembered against the namespace version.
GlobalCache table_cache, success_cache, unknown_cache;

// `raise obj`: a class is called without arguments, an instance is raised as it is.
void raise_object(PyObject *obj) {
    if (PyExceptionClass_Check(obj)) {
        Ref instance(PyObject_CallNoArgs(obj));
        if (!instance) return;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                         Py_TYPE(instance.get()));
            return;
        }
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(instance.get())), instance.get());
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    }
}

// True when calling `cls` and raising what it returns would make and raise a QELSuccess exactly as
// the module made it: the same class object, of metaclass type, unmodified since import (no
// attribute set on it or its bases, so no __new__, __init__ or base of anyone else's).
bool is_plain_success(PyObject *cls) {
    return cls == success.cls && Py_IS_TYPE(cls, &PyType_Type) && success.stamp != 0 &&
           type_stamp(reinterpret_cast<PyTypeObject *>(cls)) == success.stamp;
}

// Every key an exact int: looking a key up cannot run Python code.
bool int_keys_only(PyObject *dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyLong_CheckExact(key)) return false;
    return true;
}

// `QEL_ERROR_CODE_TO_EXCEPTION[code]`, or nullptr with the error.
PyObject *entry_for(PyObject *code) {
    Ref table(load_global(names.QEL_ERROR_CODE_TO_EXCEPTION, table_cache));
    if (!table) return nullptr;
    if (!PyDict_CheckExact(table.get())) return PyObject_GetItem(table.get(), code);
    // The subscript of a dict, without its detour through the mapping protocol.
    if (PyObject *entry = PyDict_GetItemWithError(table.get(), code)) return Py_NewRef(entry);
    if (!PyErr_Occurred()) {
        Ref key(PyTuple_Pack(1, code));  // the key as KeyError's only argument, even a tuple
        if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    }
    return nullptr;
}

// Always returns with an exception set: what `raise entry()` raises, or the error that `entry` (the
// table's value, nullptr when looking it up failed) left.
void raise_entry(PyObject *entry) {
    if (!entry) return;
    Ref made(PyObject_CallNoArgs(entry));
    if (!made) return;
    raise_object(made.get());
}

// The exception being raised, taken out of the thread state and normalised.
PyObject *take_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// The `except KeyError:` clause: raise QELUnknownErrorCode with the code in its message while the
// KeyError is the exception being handled, so that it becomes the new exception's context.
void raise_unknown_code(PyObject *code) {
    Ref key_error(take_exception());
    PyErr_SetHandledException(key_error.get());
    Ref digits(PyObject_Str(code));
    if (digits) {
        Ref message(PyUnicode_FromFormat("Unknown error code %U. Update wrapper.", digits.get()));
        Ref cls(message ? load_global(names.QELUnknownErrorCode, unknown_cache) : nullptr);
        Ref made(cls ? PyObject_CallOneArg(cls.get(), message.get()) : nullptr);
        if (made) raise_object(made.get());
    }
}

}  // namespace

Success success;

bool zero_is_plain_success_after_change() {
    if (!success.table || !is_plain_success(success.cls)) return false;
    const uint64_t namespace_now = namespace_stamp();
    const uint64_t table_now = dict_stamp(success.table);
    if (table_now == 0) return false;
    if (namespace_now == success.namespace_seen && table_now == success.table_seen) return true;
    // Look again, without running any Python code.
    if (!state.dict) return false;
    PyObject *table = PyDict_GetItemWithError(state.dict, names.QEL_ERROR_CODE_TO_EXCEPTION);
    PyObject *bound = table ? PyDict_GetItemWithError(state.dict, names.QELSuccess) : nullptr;
    if (!bound) {
        PyErr_Clear();  // a name missing or a lookup that failed: the full way tells
        return false;
    }
    if (table != success.table || bound != success.cls || !int_keys_only(table) ||
        PyDict_GetItemWithError(table, success.zero) != success.cls)
        return false;
    success.namespace_seen = namespace_now;
    success.table_seen = table_now;
    return true;
}

PyObject *respond_to_code(PyObject *code) {
    if (code == success.zero && zero_is_plain_success()) return none();
    Ref entry(entry_for(code));
    if (entry && is_plain_success(entry.get())) {
        // `raise QELSuccess()` would be caught by `except QELSuccess` and nothing else would happen:
        // with the name still bound to that class, the answer is None, without making anything.
        Ref bound(load_global(names.QELSuccess, success_cache));
        if (bound.get() == entry.get()) return none();
        PyErr_Clear();  // the full way below says what is missing, in its own order
    }
    PyObject *saved = PyErr_GetHandledException();

    raise_entry(entry.get());
    entry.reset();
    PyObject *result = nullptr;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        raise_unknown_code(code);
    } else {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref bound(load_global(names.QELSuccess, success_cache));
        if (bound && PyErr_GivenExceptionMatches(type, bound.get())) {
            result = none();
        } else if (bound) {
            PyErr_Restore(type, value, traceback);  // propagates unchanged
            type = value = traceback = nullptr;
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    PyErr_SetHandledException(saved);
    Py_XDECREF(saved);
    return result;
}

bool Handler::respond_directly(int code) {
    Ref number(PyLong_FromLong(code));  // the result codes are small ints: nothing is made
    if (!number) return false;
    Ref result(respond_to_code(number.get()));
    if (!result) add_traceback_entry(handle_error_code_spec);
    return static_cast<bool>(result);
}

namespace {

PyObject *handle_error_code(Call &call) {
    return respond_to_code(call.arg(0));  // an int of any size; never narrowed
}

}  // namespace

QEL_FUNCTION(handle_error_code).params({Int("qel_error_code")});

bool add_exception_classes(PyObject *dict) {
    bool first = true;
    for (const ExceptionClass &c : kExceptionClasses) {
        Ref base(first ? Py_NewRef(PyExc_Exception) : load_global(names.QELError));
        first = false;
        if (!base) return false;
        Ref bases(PyTuple_Pack(1, base.get()));
        if (!bases) return false;
        Ref doc(PyUnicode_FromString(c.doc));
        if (!doc) return false;
        Ref cls(make_class(c.name, bases.get(),
                           [&](PyObject *ns) { return PyObject_SetItem(ns, names.__doc__, doc.get()) == 0; }));
        if (!cls || PyDict_SetItemString(dict, c.name, cls.get()) < 0) return false;
        if (std::strcmp(c.name, "QELSuccess") == 0) {
            auto *type = reinterpret_cast<PyTypeObject *>(cls.get());
            if (!watch_type(type)) return false;
            Py_XSETREF(success.cls, Py_NewRef(cls.get()));
            success.stamp = type_stamp(type);
            success.namespace_seen = success.table_seen = 0;
        }
    }
    return true;
}

bool add_error_table(PyObject *dict) {
    constexpr int n = sizeof kCodeClasses / sizeof kCodeClasses[0];
#if PY_VERSION_HEX < 0x030E0000
    Ref table(_PyDict_NewPresized(n));  // room for every entry from the start
#else
    Ref table(PyDict_New());  // no public call sizes a dict in advance
#endif
    if (!table) return false;
    for (int code = 0; code < n; ++code) {
        Ref key(PyLong_FromLong(code));
        Ref name(PyUnicode_InternFromString(kCodeClasses[code]));
        if (!key || !name) return false;
        Ref cls(load_global(name.get()));
        if (!cls || PyDict_SetItem(table.get(), key.get(), cls.get()) < 0) return false;
        if (code == 0) Py_XSETREF(success.zero, key.release());
    }
    if (!watch_dict(table.get())) return false;
    Py_XSETREF(success.table, Py_NewRef(table.get()));
    success.namespace_seen = success.table_seen = 0;
    return PyDict_SetItem(dict, names.QEL_ERROR_CODE_TO_EXCEPTION, table.get()) == 0;
}

}  // namespace qel
