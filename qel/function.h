// The module's function type and the road that every call takes: bind the arguments, convert them,
// run the body.
#pragma once

#include <utility>

#include "enums.h"
#include "records.h"
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
    const char *annotation;      // "int", "bool", "str", or the enumeration's name; records: the class's
    PyTypeObject *record_class;  // Record: the module's own class
};

constexpr Param Int(const char *name) { return {name, Kind::Int, "int", nullptr}; }
constexpr Param Bool(const char *name) { return {name, Kind::Bool, "bool", nullptr}; }
constexpr Param Str(const char *name) { return {name, Kind::Str, "str", nullptr}; }
constexpr Param Enum(const char *name, const char *enumeration) { return {name, Kind::Enum, enumeration, nullptr}; }
constexpr Param Record(const char *name, PyTypeObject *cls) { return {name, Kind::Record, nullptr, cls}; }

// The parameter of nearly every camera function.
constexpr Param kCameraId = Int("camera_id");

constexpr int kMaxParams = 5;
constexpr int kMaxLocals = 4;

// What a function whose return annotation is 'int' or a list type checks on what its body returns.
enum class ReturnCheck : unsigned char { None, Int, List };

class Call;
using Body = PyObject *(*)(Call &call);

// One module function, as a table row: `QEL_FUNCTION(name)` (below) starts it, and named steps fill in
// what differs from a function without parameters, locals or docstring that returns None. What a row
// says is fixed public behaviour, docstrings word for word included: see functions.h before changing one.
struct FunctionSpec {
    constexpr FunctionSpec(const char *name_, Body body_, const char *file_, int line_)
        : name(name_), body(body_), file(file_), line(line_) {}

    const char *name;
    Body body;
    const char *file;  // where tracebacks say the function lives
    int line;
    Param param_list[kMaxParams] = {};
    int nparams = 0;
    const char *local_names[kMaxLocals] = {};  // local names after the parameters, for __code__
    int nlocals = 0;
    const char *return_annotation = "None";
    ReturnCheck return_check = ReturnCheck::None;
    const char *docstring = nullptr;  // nullptr: no docstring

    template <int N>
    constexpr FunctionSpec params(const Param (&list)[N]) const {
        static_assert(N <= kMaxParams, "a module function takes at most kMaxParams parameters");
        FunctionSpec spec = *this;
        for (int i = 0; i < N; ++i) spec.param_list[i] = list[i];
        spec.nparams = N;
        return spec;
    }
    template <int N>
    constexpr FunctionSpec locals(const char *const (&list)[N]) const {
        static_assert(N <= kMaxLocals, "a module function has at most kMaxLocals local names");
        FunctionSpec spec = *this;
        for (int i = 0; i < N; ++i) spec.local_names[i] = list[i];
        spec.nlocals = N;
        return spec;
    }
    constexpr FunctionSpec returns(const char *annotation, ReturnCheck check = ReturnCheck::None) const {
        FunctionSpec spec = *this;
        spec.return_annotation = annotation;
        spec.return_check = check;
        return spec;
    }
    constexpr FunctionSpec doc(const char *text) const {
        FunctionSpec spec = *this;
        spec.docstring = text;
        return spec;
    }
};

// Defines `<name>_spec`, the row of the module function `name`, whose body is this file's `name`.
#define QEL_FUNCTION(name) const FunctionSpec name##_spec = FunctionSpec(#name, name, kFile, __LINE__)

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    ReturnCheck return_check;           // spec->return_check, one indirection nearer
    PyObject *param_names[kMaxParams];  // interned
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

// A str parameter encoded as UTF-8, NUL-terminated, kept until `clear` or the end of the body.
class Text {
public:
    const char *c_str() const { return PyBytes_AS_STRING(bytes_.get()); }
    void clear() { bytes_.reset(); }

private:
    friend class Call;
    Ref bytes_;
};

// The arguments of one call, checked and converted by the parser, and their conversion to C values.
class Call {
public:
    explicit Call(FunctionObject *fn) : fn_(fn) {}

    FunctionObject *function() const { return fn_; }
    // Parameter i after parsing: an exact int for int parameters, the argument itself otherwise.
    PyObject *arg(int i) const { return args_[i]; }

    // Converts every parameter to C, in parameter order, into one output each: int parameters to
    // 32-bit C integers, bool parameters to 0 or 1, enumeration parameters through their `value`
    // (all into an int), str parameters into a Text, record parameters into a copy of their record.
    // False with an exception at the first that fails.
    template <typename... Out>
    [[nodiscard]] bool convert(Out &...out) const {
        return convert_each(std::index_sequence_for<Out...>(), out...);
    }

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

    // Int parameter i as a 32-bit C integer (OverflowError out of range).
    bool c_int(int i, int &out) const;
    // Enumeration parameter i: its `value`, as a 32-bit C integer.
    bool c_enum(int i, int &out) const;

    template <size_t... I, typename... Out>
    bool convert_each(std::index_sequence<I...>, Out &...out) const {
        const FunctionSpec &spec = *fn_->spec;
        if (static_cast<int>(sizeof...(Out)) != spec.nparams) return wrong_outputs(sizeof...(Out));
        return (to_c(spec.param_list[I], static_cast<int>(I), out) && ...);
    }
    bool to_c(const Param &p, int i, int &out) const {
        if (p.kind == Kind::Int) return c_int(i, out);
        if (p.kind == Kind::Bool) {
            out = flags_[i];
            return true;
        }
        return p.kind == Kind::Enum ? c_enum(i, out) : wrong_kind(i);
    }
    bool to_c(const Param &p, int i, Text &out) const;
    template <typename R>
    bool to_c(const Param &p, int i, R &out) const {
        if (p.kind != Kind::Record || p.record_class->tp_basicsize != sizeof(RecordObject<R>)) return wrong_kind(i);
        out = *record_of<R>(args_[i]);
        return true;
    }
    bool wrong_kind(int i) const;
    bool wrong_outputs(size_t count) const;

    FunctionObject *fn_;
    PyObject *args_[kMaxParams] = {};
    int flags_[kMaxParams];  // set by the parser for each bool parameter
    Ref owned_[kMaxParams];
};

// Conversions shared with the record classes.

// Any object to a 32-bit C integer: ints by value, other objects through __int__.
bool to_c_int(PyObject *value, int &out);
// The integer conversion of a non-int through its type's __int__, with the interpreter's rules.
PyObject *int_from_dunder_int(PyObject *value);

}  // namespace qel
