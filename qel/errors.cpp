#include "errors.h"

#include "classdef.h"

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

// Always returns with an exception set: what `raise QEL_ERROR_CODE_TO_EXCEPTION[code]()` raises.
void raise_for_code(PyObject *code) {
    Ref table(load_global(names.QEL_ERROR_CODE_TO_EXCEPTION, table_cache));
    if (!table) return;
    Ref cls(PyObject_GetItem(table.get(), code));
    if (!cls) return;
    Ref made(PyObject_CallNoArgs(cls.get()));
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

PyObject *handle_error_code(Call &call) {
    PyObject *code = call.arg(0);  // an int of any size; never narrowed
    PyObject *saved = PyErr_GetHandledException();

    raise_for_code(code);
    PyObject *result = nullptr;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        raise_unknown_code(code);
    } else {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref success(load_global(names.QELSuccess, success_cache));
        if (success && PyErr_GivenExceptionMatches(type, success.get())) {
            result = none();
        } else if (success) {
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

const Param handle_error_code_params[] = {{"qel_error_code", Kind::Int, "int"}};

}  // namespace

const FunctionSpec handle_error_code_spec = {
    "handle_error_code",  nullptr, handle_error_code_params, count_of(handle_error_code_params), nullptr, 0, "None",
    handle_error_code,    kFile,   __LINE__,
};

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
    }
    return PyDict_SetItem(dict, names.QEL_ERROR_CODE_TO_EXCEPTION, table.get()) == 0;
}

}  // namespace qel
