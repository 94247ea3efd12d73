// Binding of positional and keyword arguments, and the conversions of each parameter kind.
#include <climits>
#include <cstring>

#include "enums.h"
#include "function.h"

namespace qel {

namespace {

constexpr const char kIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char kIncorrectTypeSubclass[] =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
    "Subclasses of built-in types are not accepted for this parameter.";

// The value of an int that fits one machine word, read in place; false for a larger one.
inline bool compact_value(PyObject *value, long long &v) {
#if PY_VERSION_HEX >= 0x030C0000
    auto *number = reinterpret_cast<PyLongObject *>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    v = PyUnstable_Long_CompactValue(number);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(value);
    if (size < -1 || size > 1) return false;
    v = size * static_cast<long long>(reinterpret_cast<PyLongObject *>(value)->ob_digit[0]);
    return true;
#endif
}

bool long_to_c_int(PyObject *value, int &out) {
    long long small;
    if (compact_value(value, small) && small >= INT_MIN && small <= INT_MAX) {
        out = static_cast<int>(small);
        return true;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT_MIN || v > INT_MAX) {
        // The SDK's long is 32 bits wide: the interpreter's message for a C long that is too large.
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// A keyword name equal to a parameter name: by hash and content for an exact str, else by ==.
int same_name(PyObject *param, PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
        const Py_hash_t h = PyObject_Hash(key);
        if (h == -1) return -1;
        if (h != PyObject_Hash(param) || PyUnicode_GET_LENGTH(param) != PyUnicode_GET_LENGTH(key)) return 0;
        return PyUnicode_Compare(param, key) == 0;
    }
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

}  // namespace

PyObject *int_from_dunder_int(PyObject *value) {
    PyNumberMethods *nb = Py_TYPE(value)->tp_as_number;
    PyObject *result = (nb && nb->nb_int) ? nb->nb_int(value) : nullptr;
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(result)) return result;
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

bool to_c_int(PyObject *value, int &out) {
    if (PyLong_Check(value)) return long_to_c_int(value, out);
    Ref number(int_from_dunder_int(value));
    return number && long_to_c_int(number.get(), out);
}

bool Call::c_int(int i, int &out) const { return long_to_c_int(args_[i], out); }

bool Call::c_enum(int i, int &out) const {
    Ref value(member_value(args_[i]));
    return value && to_c_int(value.get(), out);
}

bool Call::to_c(const Param &p, int i, Text &out) const {
    if (p.kind != Kind::Str) return wrong_kind(i);
    out.bytes_.reset(PyUnicode_AsUTF8String(args_[i]));
    if (!out.bytes_) return false;
    // The SDK reads a text up to its first NUL: a text holding one would say something else.
    if (std::memchr(out.c_str(), '\0', static_cast<size_t>(PyBytes_GET_SIZE(out.bytes_.get())))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    return true;
}

bool Call::wrong_kind(int i) const {
    PyErr_Format(PyExc_SystemError, "%s(): the body converts parameter '%s' to the wrong C type", fn_->spec->name,
                 fn_->spec->param_list[i].name);
    return false;
}

bool Call::wrong_outputs(size_t count) const {
    PyErr_Format(PyExc_SystemError, "%s(): the body converts %zu of its %d parameters", fn_->spec->name, count,
                 fn_->spec->nparams);
    return false;
}

bool Call::parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return bind(args, nargs, kwnames) && convert();
}

bool Call::arity_error(Py_ssize_t given) const {
    const int n = fn_->spec->nparams;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn_->spec->name,
                 "exactly", static_cast<Py_ssize_t>(n), n == 1 ? "" : "s", given);
    return false;
}

bool Call::bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const FunctionSpec &spec = *fn_->spec;
    const int n = spec.nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
            return false;
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name, "takes no arguments", nargs);
            return false;
        }
        return true;
    }
    if (nkw == 0 ? nargs != n : nargs > n) return arity_error(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) args_[i] = args[i];
    if (nkw == 0) return true;

    PyObject *const *kwvalues = args + nargs;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int found = -1;
        for (int j = static_cast<int>(nargs); j < n; ++j) {
            if (fn_->param_names[j] == key) {
                found = j;
                break;
            }
        }
        if (found < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                return false;
            }
            for (int j = static_cast<int>(nargs); j < n && found < 0; ++j) {
                const int same = same_name(fn_->param_names[j], key);
                if (same < 0) return false;
                if (same) found = j;
            }
        }
        if (found < 0) {
            for (int j = 0; j < nargs; ++j) {
                const int same = fn_->param_names[j] == key ? 1 : same_name(fn_->param_names[j], key);
                if (same < 0) return false;
                if (same) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                                 key);
                    return false;
                }
            }
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
            return false;
        }
        if (args_[found]) {
            // A second keyword for a parameter that a keyword filled already: a str subclass equal to
            // the name but with another hash gets past the dictionary that held both.
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
            return false;
        }
        args_[found] = kwvalues[k];
    }
    for (int i = static_cast<int>(nargs); i < n; ++i)
        if (!args_[i]) return arity_error(i);
    return true;
}

bool Call::convert() {
    const FunctionSpec &spec = *fn_->spec;
    // First the numbers and truth values, in parameter order...
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject *v = args_[i];
        switch (spec.param_list[i].kind) {
        case Kind::Int:
            if (PyLong_CheckExact(v)) break;
            if (!PyNumber_Check(v)) {
                PyErr_Format(PyExc_TypeError, kIncorrectType, spec.param_list[i].name, "int", Py_TYPE(v)->tp_name);
                return false;
            }
            owned_[i].reset(PyNumber_Long(v));
            if (!owned_[i]) return false;
            args_[i] = owned_[i].get();
            break;
        case Kind::Bool:
            if (v == Py_True) {
                flags_[i] = 1;
            } else if (v == Py_False || v == Py_None) {
                flags_[i] = 0;
            } else {
                const int truth = PyObject_IsTrue(v);
                if (truth < 0) return false;
                flags_[i] = truth;
            }
            break;
        default:
            break;
        }
    }
    // ...then the type checks.
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject *v = args_[i];
        switch (spec.param_list[i].kind) {
        case Kind::Str:
            if (!PyUnicode_CheckExact(v)) {
                PyErr_Format(PyExc_TypeError, PyUnicode_Check(v) ? kIncorrectTypeSubclass : kIncorrectType,
                             spec.param_list[i].name, "str", Py_TYPE(v)->tp_name);
                return false;
            }
            break;
        case Kind::Record:
            if (!PyObject_TypeCheck(v, spec.param_list[i].record_class)) {
                PyErr_Format(PyExc_TypeError, kIncorrectType, spec.param_list[i].name,
                             spec.param_list[i].record_class->tp_name, Py_TYPE(v)->tp_name);
                return false;
            }
            break;
        default:
            break;
        }
    }
    return true;
}

}  // namespace qel
