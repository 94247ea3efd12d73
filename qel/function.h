// The module's function type and the road that every call takes: bind the arguments, convert them,
// run the body.
#pragma once

#include "enums.h"
#include "ref.h"
#include "state.h"

namespace qel {

// How a parameter is checked and converted.
enum class Kind : unsigned char {
    Int,     // exact int, or anything int() takes from the number protocol
    Bool,    // any object, by its truth value
    Enum,    // any object; the body reads its `value`
    Str,     // exact str
    Record,  // an instance of a record class or of a subclass
};

struct Param {
    const char *name;
    Kind kind;
    const char *annotation;  // "int", "bool", "str", or an enumeration or record class name
};

constexpr int kMaxParams = 5;

class Call;
using Body = PyObject *(*)(Call &call);

// One module function, as a table entry. Each family file defines its entries; the module creates a
// function object from each at import.
struct FunctionSpec {
    const char *name;
    const char *doc;  // nullptr: no docstring
    const Param *params;
    int nparams;
    const char *const *locals;  // local names after the parameters, for __code__
    int nlocals;
    const char *return_annotation;
    Body body;
    const char *file;  // where tracebacks say the function lives
    int line;
};

template <int N>
constexpr int count_of(const Param (&)[N]) {
    return N;
}
template <int N>
constexpr int count_of(const char *const (&)[N]) {
    return N;
}

enum class ReturnCheck : unsigned char { None, Int, List };

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    ReturnCheck return_check;
    PyObject *param_names[kMaxParams];       // interned
    PyTypeObject *record_types[kMaxParams];  // for record parameters
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *code;
    PyObject *dict;
    GlobalCache handler_cache;  // handle_error_code
    GlobalCache result_cache;   // the enumeration a result is built with
};

extern PyTypeObject FunctionType;

bool ready_function_type();

// New function object for `spec`, or nullptr with an exception.
PyObject *make_function(const FunctionSpec &spec);

// Whether `object` is the module function made from `spec`.
inline bool is_function_of(PyObject *object, const FunctionSpec &spec) {
    return Py_IS_TYPE(object, &FunctionType) && reinterpret_cast<FunctionObject *>(object)->spec == &spec;
}

// Adds the entry that a failed call of the function of `spec` leaves in the traceback of the exception
// being raised.
void add_traceback_entry(const FunctionSpec &spec);

// The arguments of one call, checked and converted by the parser, and the conversions that bodies
// make from them.
class Call {
public:
    explicit Call(FunctionObject *fn) : fn_(fn) {}

    FunctionObject *function() const { return fn_; }
    // Parameter i after parsing: an exact int for int parameters, the argument itself otherwise.
    PyObject *arg(int i) const { return args_[i]; }
    // Parameter i of a bool parameter: 0 or 1.
    int flag(int i) const { return flags_[i]; }

    // Int parameter i as a 32-bit C integer (OverflowError out of range).
    bool c_int(int i, int &out) const;
    // Enumeration parameter i: its `value`, as a 32-bit C integer.
    bool c_enum(int i, int &out) const;

    // The global `name` through this function's result cache.
    PyObject *result_global(PyObject *name) const { return load_global(name, fn_->result_cache); }
    // The member of the enumeration bound to the global `name` with that value, as calling it makes it.
    PyObject *result_member(PyObject *name, int value) const {
        Ref cls(result_global(name));
        return cls ? member_of(cls.get(), value) : nullptr;
    }

    // Binds and converts; false with an exception set on a wrong call.
    bool parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

private:
    bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
    bool arity_error(Py_ssize_t given) const;
    bool convert();

    FunctionObject *fn_;
    PyObject *args_[kMaxParams] = {};
    int flags_[kMaxParams] = {};
    Ref owned_[kMaxParams];
};

// Conversions shared with the record classes.

// Any object to a 32-bit C integer: ints by value, other objects through __int__.
bool to_c_int(PyObject *value, int &out);
// The integer conversion of a non-int through its type's __int__, with the interpreter's rules.
PyObject *int_from_dunder_int(PyObject *value);

}  // namespace qel
