// The function type: one object per module function, made from its table entry.
#include "function.h"

#include <cstddef>
#include <cstring>

#include <frameobject.h>

namespace qel {

namespace {

// What a function annotated to return int or a list hands back.
PyObject *check_return(ReturnCheck check, PyObject *result) {
    if (result == Py_None) return result;
    if (check == ReturnCheck::Int) {
        if (PyLong_CheckExact(result)) return result;
        if (PyNumber_Check(result)) {
            PyObject *number = PyNumber_Long(result);
            Py_DECREF(result);
            return number;
        }
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(result)->tp_name);
    } else {
        if (PyList_CheckExact(result)) return result;
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result)->tp_name);
    }
    Py_DECREF(result);
    return nullptr;
}

// The exception being raised, taken aside while Python code may run, and put back.
#if PY_VERSION_HEX >= 0x030C0000
struct PendingException {
    PyObject *value = PyErr_GetRaisedException();
    void restore() { PyErr_SetRaisedException(value); }
    // Raises the error now set with the pending exception as its context.
    void chain() {
        PyObject *failure = PyErr_GetRaisedException();
        PyException_SetContext(failure, value);
        PyErr_SetRaisedException(failure);
    }
};
#else
struct PendingException {
    PyObject *type, *value, *traceback;
    PendingException() { PyErr_Fetch(&type, &value, &traceback); }
    void restore() { PyErr_Restore(type, value, traceback); }
    void chain() {
        PyObject *ftype, *failure, *ftraceback;
        PyErr_Fetch(&ftype, &failure, &ftraceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback) PyException_SetTraceback(value, traceback);
        PyErr_NormalizeException(&ftype, &failure, &ftraceback);
        PyException_SetContext(failure, value);
        Py_DECREF(type);
        Py_XDECREF(traceback);
        PyErr_Restore(ftype, failure, ftraceback);
    }
};
#endif

}  // namespace

// Adds an entry naming the function to the traceback of the exception being raised, as the frame of a
// Python function would. Making the code object may run Python code (the codec of the file system
// encoding), so the exception waits aside meanwhile; if the entry cannot be made, the error that
// stopped it is raised with the function's exception as its context.
void add_traceback_entry(const FunctionSpec &spec) {
    PendingException pending;
    PyFrameObject *frame = nullptr;
    Ref globals(PyDict_New());
    if (globals) {
        Ref code(reinterpret_cast<PyObject *>(PyCode_NewEmpty(spec.file, spec.name, spec.line)));
        if (code) {
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals.get(),
                                nullptr);
        }
    }
    if (!frame) {
        pending.chain();
        return;
    }
    pending.restore();
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

namespace {

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    // A handler or a table entry that calls a module function again recurses here in C, where the
    // interpreter's depth check of Python frames never runs: count this call as built-in functions do,
    // so that runaway recursion raises RecursionError instead of overflowing the stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result = nullptr;
    {
        Call call(fn);
        if (call.parse(args, PyVectorcall_NARGS(nargsf), kwnames)) result = fn->spec->body(call);
    }
    if (result && fn->return_check != ReturnCheck::None) result = check_return(fn->return_check, result);
    if (!result) add_traceback_entry(*fn->spec);
    Py_LeaveRecursiveCall();
    return result;
}

// A code object whose variable names are the parameters, then the function's local names, so that
// introspection and tracebacks see the function as it is described.
PyObject *make_code(const FunctionSpec &spec) {
    Ref empty(reinterpret_cast<PyObject *>(PyCode_NewEmpty(spec.file, spec.name, spec.line)));
    if (!empty) return nullptr;
    const int total = spec.nparams + spec.nlocals;
    Ref varnames(PyTuple_New(total));
    if (!varnames) return nullptr;
    for (int i = 0; i < total; ++i) {
        const char *n = i < spec.nparams ? spec.param_list[i].name : spec.local_names[i - spec.nparams];
        PyObject *s = PyUnicode_InternFromString(n);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, s);
    }
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs(Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:i}", "co_argcount", spec.nparams, "co_posonlyargcount", 0,
                             "co_kwonlyargcount", 0, "co_nlocals", total, "co_varnames", varnames.get(), "co_flags",
                             CO_OPTIMIZED | CO_NEWLOCALS));
    if (!kwargs) return nullptr;
    Ref noargs(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

PyObject *make_annotations(const FunctionSpec &spec) {
    Ref annotations(PyDict_New());
    if (!annotations) return nullptr;
    for (int i = 0; i < spec.nparams; ++i) {
        const Param &p = spec.param_list[i];
        // A record parameter is annotated with its class's name, the last part of the type's name.
        const char *annotation = p.record_class ? std::strrchr(p.record_class->tp_name, '.') + 1 : p.annotation;
        Ref text(PyUnicode_FromString(annotation));
        if (!text || PyDict_SetItemString(annotations.get(), p.name, text.get()) < 0) return nullptr;
    }
    Ref text(PyUnicode_FromString(spec.return_annotation));
    if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return nullptr;
    return annotations.release();
}

void function_dealloc(PyObject *self) {
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    PyObject_GC_UnTrack(self);
    for (PyObject *&p : fn->param_names) Py_CLEAR(p);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->dict);
    PyObject_GC_Del(self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject *self) {
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    return 0;
}

// Stored in a class, a module function stays itself, as a built-in function does. Having __get__ also
// makes introspection tools treat it as a function.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *) { return Py_NewRef(self); }

PyObject *function_repr(PyObject *self) {
    auto *fn = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

// Pickled by reference, like any module-level function.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

PyObject *get_or_none(PyObject *value) { return Py_NewRef(value ? value : Py_None); }

int set_str(PyObject *&slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) { return set_str(as_function(self)->name, value, "__name__"); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str(as_function(self)->qualname, value, "__qualname__");
}
PyObject *get_module(PyObject *self, void *) { return get_or_none(as_function(self)->module); }
int set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}
PyObject *get_doc(PyObject *self, void *) { return get_or_none(as_function(self)->doc); }
int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *fn = as_function(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}
PyObject *get_code(PyObject *self, void *) { return Py_NewRef(as_function(self)->code); }
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_globals(PyObject *, void *) { return get_or_none(state.dict); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

QEL_STATIC_TYPE(FunctionType, "qel_function", sizeof(FunctionObject))

bool ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_descr_get = function_descr_get;
    return PyType_Ready(&FunctionType) == 0;
}

PyObject *make_function(const FunctionSpec &spec) {
    auto *fn = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!fn) return nullptr;
    // Fill every slot before anything can fail, so that dealloc sees a consistent object.
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->return_check = spec.return_check;
    for (PyObject *&p : fn->param_names) p = nullptr;
    fn->name = fn->qualname = fn->module = fn->doc = fn->annotations = fn->code = fn->dict = nullptr;
    fn->handler_cache = GlobalCache();
    fn->result_cache = GlobalCache();
    Ref self(reinterpret_cast<PyObject *>(fn));
    PyObject_GC_Track(fn);

    for (int i = 0; i < spec.nparams; ++i)
        if (!(fn->param_names[i] = PyUnicode_InternFromString(spec.param_list[i].name))) return nullptr;
    if (!(fn->name = PyUnicode_InternFromString(spec.name))) return nullptr;
    fn->qualname = Py_NewRef(fn->name);
    fn->module = Py_NewRef(names.module_name);
    fn->doc = spec.docstring ? PyUnicode_FromString(spec.docstring) : Py_NewRef(Py_None);
    if (!fn->doc) return nullptr;
    if (!(fn->annotations = make_annotations(spec))) return nullptr;
    if (!(fn->code = make_code(spec))) return nullptr;
    return self.release();
}

}  // namespace qel
